"""User code whose frames hold a large object graph: a checker that walks a
syntax tree with its state (handlers, a stack of scopes full of bindings,
messages) in `self`, as a linter does. Every kept frame has that state in
its locals, so what a value costs to record, not the event, dominates."""

import ast
import os

SOURCE = open(os.path.join(os.path.dirname(ast.__file__), "textwrap.py")).read()


class Binding:
    def __init__(self, name, source):
        self.name = name
        self.source = source
        self.used = False


class Scope(dict):
    pass


class Checker:
    def __init__(self, tree):
        self.handlers = {}
        self.scopes = [Scope((name, Binding(name, None)) for name in dir(__builtins__))]
        self.messages = []
        self.root = tree

    def handler_for(self, node_class):
        handler = self.handlers.get(node_class)
        if handler is None:
            handler = getattr(self, node_class.__name__.upper(), self.children)
            self.handlers[node_class] = handler
        return handler

    def visit(self, node):
        self.handler_for(node.__class__)(node)

    def children(self, node):
        for child in ast.iter_child_nodes(node):
            self.visit(child)

    def NAME(self, node):
        binding = self.lookup(node.id)
        if binding is None and isinstance(node.ctx, ast.Load):
            self.report("undefined name", node)
        elif isinstance(node.ctx, ast.Store):
            self.scopes[-1][node.id] = Binding(node.id, node)

    def lookup(self, name):
        for scope in reversed(self.scopes):
            if name in scope:
                scope[name].used = True
                return scope[name]
        return None

    def FUNCTIONDEF(self, node):
        self.scopes[-1][node.name] = Binding(node.name, node)
        self.scopes.append(Scope((arg.arg, Binding(arg.arg, arg)) for arg in node.args.args))
        self.children(node)
        self.scopes.pop()

    def report(self, message, node):
        self.messages.append((message, getattr(node, "lineno", 0)))


def run(scale=1):
    found = 0
    for _ in range(scale):
        checker = Checker(ast.parse(SOURCE))
        checker.visit(checker.root)
        found += len(checker.messages)
    return found
