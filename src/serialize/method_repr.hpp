// A bound method's repr as the Python half writes it
// ("<bound method Q of S>", cut like any repr), made here when the object
// it is bound to is shown in object's own form: the commonest case (a
// method of the program's own class held in a local or a dict) then costs
// no call into Python.
#pragma once

#include <Python.h>

#include <string>

#include "utils/ref.hpp"

namespace sarn::serialize {

// What stands for the bound object in the text: "<T object at 0x...>" for
// `type_name` (the writer's name of its type) and its address.
std::string unrun_object_repr(std::string_view type_name, PyObject* value);

// The method's repr with `self_text` standing for its object, cut to
// `max_repr` characters; null with no exception when the method's function
// is not a plain Python function (the Python half then decides), null with
// an exception set when memory ran out.
Ref bound_method_repr(PyObject* method, std::string_view self_text, Py_ssize_t max_repr);

}  // namespace sarn::serialize
