"""A workload that spends nearly all its calls in pure-Python library code.

About a million call and return events, of which only a few hundred belong
to this file: what recording a real program looks like, where the user's
code drives the standard library.
"""
import ast
import difflib
import email.message
import email.parser
import pprint
import string
import textwrap

TEXT = " ".join("word%d" % i for i in range(400))
SOURCE = "\n".join("def f%d(a, b):\n    return [a + i * b for i in range(%d)]" % (i, i) for i in range(40))
LINES_A = ["line %d\n" % i for i in range(300)]
LINES_B = [line if i % 7 else "changed %d\n" % i for i, line in enumerate(LINES_A)]
MESSAGE = "From: a@example.com\nTo: b@example.com\nSubject: report\n\n" + TEXT


def wrap_text():
    return textwrap.fill(TEXT, width=50)


def format_structure():
    return pprint.pformat({"key%d" % i: list(range(i % 10)) for i in range(150)})


def parse_source():
    return ast.dump(ast.parse(SOURCE))


def compare_lines():
    return list(difflib.unified_diff(LINES_A, LINES_B))


def read_message():
    message = email.parser.Parser().parsestr(MESSAGE)
    reply = email.message.Message()
    reply["Subject"] = "Re: " + message["Subject"]
    return reply.as_string()


def fill_template():
    return string.Template("$who likes $what").substitute(who="user", what="tea")


def run(scale=1):
    size = 0
    for _ in range(scale):
        for task in (wrap_text, format_structure, parse_source, compare_lines, read_message, fill_template):
            size += len(task())
    return size
