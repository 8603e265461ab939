#include "utils/qualified_name.hpp"

#include <cstring>

#include "utils/convert.hpp"
#include "utils/host_import.hpp"
#include "utils/names.hpp"

namespace sarn {

namespace {

using Name = std::optional<std::string>;

// The interned names; checked once at the entry of `qualified_name`.
const Names& name_table() { return *names(); }

Result<Ref> attr(PyObject* obj, PyObject* name) { return checked(PyObject_GetAttr(obj, name)); }

// obj.name, or nothing when there is no such attribute. Unlike getattr with
// AttributeError caught, no exception object is made for a missing name.
Result<Ref> optional_attr(PyObject* obj, PyObject* name) {
    PyObject* found = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    if (PyObject_GetOptionalAttr(obj, name, &found) < 0) return fail_fetch();
#else
    if (_PyObject_LookupAttr(obj, name, &found) < 0) return fail_fetch();
#endif
    return Ref::steal(found);
}

// str(obj); a failing str() is reported as unraisable and replaced by a marker.
std::string printable(PyObject* obj) {
    Ref text = Ref::steal(PyObject_Str(obj));
    if (text) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size)) return std::string(utf8, size);
    }
    PyErr_WriteUnraisable(obj);
    const char* type_name = Py_TYPE(obj)->tp_name;
    if (type_name == nullptr) return "<unprintable object>";
    return std::string("<unprintable ") + type_name + " object>";
}

std::string join(PyObject* left, PyObject* right) { return printable(left) + "." + printable(right); }

// join(obj.__module__, obj.__qualname__)
Result<Name> module_and_qualname(PyObject* obj) {
    auto module = attr(obj, name_table().__module__);
    if (!module) return fail(std::move(module.error()));
    auto qualname = attr(obj, name_table().__qualname__);
    if (!qualname) return fail(std::move(qualname.error()));
    return Name(join(module->get(), qualname->get()));
}

// mapping[key]: a value, or an error (KeyError when the key is missing).
Result<Ref> item(PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping)) {
        if (PyObject* value = PyDict_GetItemWithError(mapping, key)) return Ref::borrow(value);
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
        return fail_fetch();
    }
    return checked(PyObject_GetItem(mapping, key));
}

Result<Ref> module_name_of(PyFrameObject* frame) {
    auto globals = attr(reinterpret_cast<PyObject*>(frame), name_table().f_globals);
    if (!globals) return fail(std::move(globals.error()));
    return item(globals->get(), name_table().__name__);
}

// mapping[key]: a value, nothing for a KeyError, or an error for anything else.
// A plain dict (what frames give for their locals) is read without making a
// KeyError for a missing key: a dict has no __missing__ to consult.
Result<Ref> lookup(PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping)) {
        if (PyObject* value = PyDict_GetItemWithError(mapping, key)) return Ref::borrow(value);
        if (PyErr_Occurred()) return fail_fetch();
        return Ref();
    }
    Ref value = Ref::steal(PyObject_GetItem(mapping, key));
    if (value) return value;
    if (PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyErr_Clear();
        return Ref();
    }
    return fail_fetch();
}

Result<Ref> getattr_static(PyObject* obj, PyObject* name) {
    auto function = import_attribute(name_table().inspect, name_table().getattr_static);
    if (!function) return fail(std::move(function.error()));
    return checked(PyObject_CallFunctionObjArgs(function->get(), obj, name, nullptr));
}

// Unwraps a property to its getter.
Result<Ref> property_getter(Ref found) {
    auto property = import_attribute(name_table().builtins, name_table().property);
    if (!property) return fail(std::move(property.error()));
    int is_property = PyObject_IsInstance(found.get(), property->get());
    if (is_property < 0) return fail_fetch();
    if (is_property == 0) return found;
    return attr(found.get(), name_table().fget);
}

// The fallbacks, tried in order; the first that finds something decides.
Result<Name> from_surroundings(PyFrameObject* frame, PyObject* name) {
    PyObject* frame_obj = reinterpret_cast<PyObject*>(frame);
    auto back = attr(frame_obj, name_table().f_back);
    if (!back) return fail(std::move(back.error()));
    if (back->get() == Py_None) return Name();

    // A local of the caller under the function's name (nested functions).
    auto caller_locals = attr(back->get(), name_table().f_locals);
    if (!caller_locals) return fail(std::move(caller_locals.error()));
    auto in_caller = lookup(caller_locals->get(), name);
    if (!in_caller) return Name();
    if (*in_caller) return module_and_qualname(in_caller->get());

    auto locals = attr(frame_obj, name_table().f_locals);
    if (!locals) return fail(std::move(locals.error()));

    // A method, through `self`.
    auto self = lookup(locals->get(), name_table().self);
    if (!self) return Name();
    if (*self) {
        auto found = getattr_static(self->get(), name);
        if (!found) return fail(std::move(found.error()));
        auto function = property_getter(std::move(*found));
        if (!function) return fail(std::move(function.error()));
        return module_and_qualname(function->get());
    }

    // A class method, through `cls`.
    auto cls = lookup(locals->get(), name_table().cls);
    if (!cls) return Name();
    if (*cls && PyType_Check(cls->get())) {
        auto found = getattr_static(cls->get(), name);
        if (!found) return fail(std::move(found.error()));
        // Before 3.10 a classmethod object has no name of its own: the
        // function it wraps has (and on later versions, the same one).
        if (PyObject_TypeCheck(found->get(), &PyClassMethod_Type) ||
            PyObject_TypeCheck(found->get(), &PyStaticMethod_Type)) {
            found = attr(found->get(), name_table().wrapped_function);
            if (!found) return fail(std::move(found.error()));
        }
        return module_and_qualname(found->get());
    }

    // A class body, or a module-level function.
    auto globals = attr(frame_obj, name_table().f_globals);
    if (!globals) return fail(std::move(globals.error()));
    auto class_qualname = lookup(locals->get(), name_table().__qualname__);
    if (!class_qualname) return Name();
    if (*class_qualname) {
        auto module = module_name_of(frame);
        if (!module) return fail(std::move(module.error()));
        return Name(join(module->get(), class_qualname->get()));
    }
    auto global = item(globals->get(), name);
    if (!global) return fail(std::move(global.error()));
    return module_and_qualname(global->get());
}

}  // namespace

Result<std::optional<std::string>> qualified_name(PyFrameObject* frame) {
    if (names() == nullptr) return fail_fetch();
    auto code = attr(reinterpret_cast<PyObject*>(frame), name_table().f_code);
    if (!code) return fail(std::move(code.error()));

    auto co_qualname = optional_attr(code->get(), name_table().co_qualname);
    if (!co_qualname) return fail(std::move(co_qualname.error()));
    if (*co_qualname) {
        auto module = module_name_of(frame);
        if (!module) return fail(std::move(module.error()));
        return Name(join(module->get(), co_qualname->get()));
    }

    auto name_obj = attr(code->get(), name_table().co_name);
    if (!name_obj) return fail(std::move(name_obj.error()));
    auto name = text_view(name_obj->get());
    if (!name) return fail(std::move(name.error()));
    if (*name == "<module>") {
        auto module = module_name_of(frame);
        if (!module) return fail(std::move(module.error()));
        return Name(printable(module->get()) + ".<module>");
    }

    auto found = from_surroundings(frame, name_obj->get());
    if (!found) return Name();  // the fallbacks fail quietly
    return found;
}

}  // namespace sarn
