#include "utils/qualified_name.hpp"

#include <cstring>

#include "utils/frame_access.hpp"
#include "utils/free_threading.hpp"
#include "utils/host_import.hpp"
#include "utils/names.hpp"

namespace sarn {

namespace {

// Whether a name was found; the name itself goes into a `NameText`.
using Name = bool;

// Where a name is put: the thread's buffer, or the memo's own text when the
// name was remembered. Copying a remembered name into the buffer was about
// a fiftieth of a kept event.
class NameText {
public:
    explicit NameText(std::string& buffer) noexcept : buffer_(buffer) {}
    void refer(const std::string& known) noexcept { text_ = &known; }
    // The buffer, to be written.
    std::string& write() noexcept {
        text_ = &buffer_;
        return buffer_;
    }
    const std::string& text() const noexcept { return *text_; }

private:
    std::string& buffer_;
    const std::string* text_ = &buffer_;
};

// The interned names; checked once at the entry of `qualified_name`.
const Names& name_table() { return *names(); }

Result<Ref> attr(PyObject* obj, PyObject* name) { return checked(PyObject_GetAttr(obj, name)); }

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

// "left.right" into `out`. For two exact str objects (str() of each is
// itself, and their text cannot change) the text is remembered by identity;
// the result says whether it was, that is, whether the text is fixed by the
// two objects alone.
bool join(JoinMemo& memo, PyObject* left, PyObject* right, NameText& out) {
    if (PyUnicode_CheckExact(left) && PyUnicode_CheckExact(right)) {
        if (const std::string* known = memo.find(left, right)) {
            out.refer(*known);
            return true;
        }
        Py_ssize_t left_size = 0, right_size = 0;
        const char* left_text = PyUnicode_AsUTF8AndSize(left, &left_size);
        const char* right_text = left_text ? PyUnicode_AsUTF8AndSize(right, &right_size) : nullptr;
        if (right_text != nullptr) {
            out.write().assign(left_text, static_cast<size_t>(left_size)).append(1, '.').append(right_text, static_cast<size_t>(right_size));
            memo.remember(left, right, out.text());
            return true;
        }
        PyErr_Clear();  // not valid text: printable() below reports it
    }
    out.write() = printable(left) + "." + printable(right);
    return false;
}

// join(obj.__module__, obj.__qualname__). A plain function's two attributes
// are read from its fields: its type is immutable, and both are data
// descriptors, which no instance dictionary can shadow.
// join(module, name), or the name alone when there is no module name: code
// run with globals that lack "__name__" (exec with a bare dict) has none,
// and its functions' "__module__" is None. Returns whether the text is
// fixed by the objects alone, as `join` does.
bool qualify(JoinMemo& memo, PyObject* module, PyObject* name, NameText& out) {
    if (module != nullptr && module != Py_None) return join(memo, module, name, out);
    out.write() = printable(name);
    return false;
}

Result<Name> module_and_qualname(JoinMemo& memo, PyObject* obj, NameText& out) {
    if (PyFunction_Check(obj)) {
        auto* function = reinterpret_cast<PyFunctionObject*>(obj);
        qualify(memo, function->func_module, function->func_qualname, out);
        return true;
    }
    auto module = attr(obj, name_table().__module__);
    if (!module) return fail(std::move(module.error()));
    auto qualname = attr(obj, name_table().__qualname__);
    if (!qualname) return fail(std::move(qualname.error()));
    qualify(memo, module->get(), qualname->get(), out);
    return true;
}

// mapping[key]: a value, or an error (KeyError when the key is missing).
Result<Ref> item(PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping)) {
        if (Ref value = dict_item(mapping, key)) return value;
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
        return fail_fetch();
    }
    return checked(PyObject_GetItem(mapping, key));
}


// mapping[key]: a value, nothing for a KeyError, or an error for anything else.
// A plain dict (what frames give for their locals) is read without making a
// KeyError for a missing key: a dict has no __missing__ to consult.
Result<Ref> lookup(PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping)) {
        if (Ref value = dict_item(mapping, key)) return value;
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

// The frame's globals["__name__"], or nothing when it is missing.
Result<Ref> module_name_of(PyFrameObject* frame) { return lookup(frame_globals(frame), name_table().__name__); }

#if PY_VERSION_HEX < 0x030B0000
// caller.f_locals[name] for an optimised frame, read from the frame's own
// slots without refreshing its locals dictionary: the value that a refresh
// would leave under the key. Later groups of names win, as in a refresh;
// a name the code does not know keeps what the dictionary already holds.
Result<Ref> caller_local_of_optimised(PyFrameObject* caller, PyObject* name) {
    PyCodeObject* code = caller->f_code;
    PyObject** slots = caller->f_localsplus;
    bool known = false;
    PyObject* value = nullptr;
    auto scan = [&](PyObject* names, Py_ssize_t count, PyObject** values, bool in_cells) {
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (!same_name(PyTuple_GET_ITEM(names, i), name)) continue;
            known = true;
            value = values[i];
            if (in_cells && value != nullptr) value = PyCell_GET(value);
        }
    };
    Py_ssize_t locals = std::min<Py_ssize_t>(PyTuple_GET_SIZE(code->co_varnames), code->co_nlocals);
    scan(code->co_varnames, locals, slots, false);
    Py_ssize_t cells = PyTuple_GET_SIZE(code->co_cellvars);
    scan(code->co_cellvars, cells, slots + code->co_nlocals, true);
    scan(code->co_freevars, PyTuple_GET_SIZE(code->co_freevars), slots + code->co_nlocals + cells, true);
    if (known) return Ref::borrow(value);
    if (caller->f_locals == nullptr) return Ref();
    return lookup(caller->f_locals, name);
}

bool names_hold(PyObject* names, PyObject* name) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i) {
        if (same_name(PyTuple_GET_ITEM(names, i), name)) return true;
    }
    return false;
}

// Whether a frame of the optimised function `code` can have a local `name`.
bool may_have_local(PyCodeObject* code, PyObject* name) {
    return !(code->co_flags & CO_OPTIMIZED) || names_hold(code->co_varnames, name) ||
           names_hold(code->co_cellvars, name) || names_hold(code->co_freevars, name);
}

// The caller of `frame` when the global-function memo may answer for the
// frame: a function's frame that has no locals dict (which could hold any
// name).
PyFrameObject* plain_caller(PyFrameObject* frame) {
    PyFrameObject* caller = frame->f_back;
    if (caller == nullptr || caller->f_locals != nullptr || !(caller->f_code->co_flags & CO_OPTIMIZED)) return nullptr;
    return caller;
}

// Remembers the name that step 5 found for `function`, when no earlier step
// could ever have found one for this code called from this caller's code.
void remember_global_function(NameMemo& memo, PyFrameObject* frame, PyObject* name, PyObject* function,
                              const std::string& text) {
    PyFrameObject* caller = plain_caller(frame);
    if (caller == nullptr || !PyFunction_Check(function)) return;
    auto* plain = reinterpret_cast<PyFunctionObject*>(function);
    if (memo.joins.find(plain->func_module, plain->func_qualname) == nullptr) return;  // not fixed by the objects
    const Names& names = name_table();
    PyCodeObject* code = frame->f_code;
    if (may_have_local(caller->f_code, name) || may_have_local(code, names.self) || may_have_local(code, names.cls) ||
        may_have_local(code, names.__qualname__)) {
        return;
    }
    memo.global_functions.remember(reinterpret_cast<PyObject*>(code), reinterpret_cast<PyObject*>(caller->f_code),
                                  frame_globals(frame), function, text);
}

const std::string* remembered_global_function(NameMemo& memo, PyFrameObject* frame) {
    PyFrameObject* caller = plain_caller(frame);
    if (caller == nullptr) return nullptr;
    return memo.global_functions.find(reinterpret_cast<PyObject*>(frame->f_code),
                                     reinterpret_cast<PyObject*>(caller->f_code), frame_globals(frame));
}
#endif

// caller.f_locals[name]: a value, nothing when missing, or an error.
Result<Ref> caller_local(PyFrameObject* caller, PyObject* name) {
#if PY_VERSION_HEX < 0x030B0000
    if (caller->f_code->co_flags & CO_OPTIMIZED) return caller_local_of_optimised(caller, name);
#endif
    auto caller_locals = attr(as_object(caller), name_table().f_locals);
    if (!caller_locals) return fail(std::move(caller_locals.error()));
    return lookup(caller_locals->get(), name);
}

// Whether the instance's own dictionary has `name` (or cannot be read).
bool instance_may_have(PyObject* obj, PyObject* name) {
#ifdef Py_GIL_DISABLED
    // Another thread may replace the dictionary: it is held while read.
    Ref held = PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_MANAGED_DICT) || Py_TYPE(obj)->tp_dictoffset != 0
                   ? Ref::steal(PyObject_GenericGetDict(obj, nullptr))
                   : Ref();
    if (!held) {
        PyErr_Clear();
        return false;
    }
    if (dict_item(held.get(), name)) return true;
#else
    PyObject** dict = _PyObject_GetDictPtr(obj);
    if (dict == nullptr || *dict == nullptr) return false;
    if (dict_item(*dict, name)) return true;
#endif
    if (!PyErr_Occurred()) return false;
    PyErr_Clear();
    return true;
}

// `inspect.getattr_static` as the program names it now.
Result<Ref> getattr_static_function() {
    constinit static HostAttribute lookup;
    return lookup.get(name_table().inspect, name_table().getattr_static);
}

// inspect.getattr_static(obj, name), answered from the memo where the
// class's dictionaries decide it. `obj` is an instance (`self`) or a class
// (`cls`).
Result<Ref> getattr_static(AttributeMemo& memo, PyObject* obj, PyObject* name, bool through_instance) {
    auto function = getattr_static_function();
    if (!function) return fail(std::move(function.error()));
    memo.use_lookup(function->get());
    // Looked up on a class through an instance, the instance's dictionary
    // comes first; a class as `self` has its metaclass to consult.
    const bool memoisable = !(through_instance && PyType_Check(obj));
    PyTypeObject* type = through_instance ? Py_TYPE(obj) : reinterpret_cast<PyTypeObject*>(obj);
    if (memoisable) {
        if (PyObject* found = memo.find(type, name, through_instance)) {
            if (!through_instance || !instance_may_have(obj, name)) return Ref::borrow(found);
        }
    }
    auto found = checked(PyObject_CallFunctionObjArgs(function->get(), obj, name, nullptr));
    if (!found) return found;
    if (memoisable && memo.lookup() == function->get()) memo.remember(type, name, through_instance, found->get());
    return found;
}

// Unwraps a property to its getter.
Result<Ref> property_getter(Ref found) {
    constinit static HostAttribute property_type;
    auto property = property_type.get(name_table().builtins, name_table().property);
    if (!property) return fail(std::move(property.error()));
    // A plain function (whose class cannot be changed) is no property: the
    // general check looks its `__class__` up, which costs more than the rest
    // of the name.
    if (property->get() == reinterpret_cast<PyObject*>(&PyProperty_Type) && PyFunction_Check(found.get())) {
        return found;
    }
    int is_property = PyObject_IsInstance(found.get(), property->get());
    if (is_property < 0) return fail_fetch();
    if (is_property == 0) return found;
    return attr(found.get(), name_table().fget);
}

#if PY_VERSION_HEX < 0x030B0000
// Remembers the name that the lookup through `self` found for `function`,
// when the class's dictionaries alone decided it (the attribute memo holds
// it) and the caller's code cannot hold a local of the method's name.
void remember_method(NameMemo& memo, PyFrameObject* frame, PyObject* name, PyObject* self, PyObject* function,
                     const std::string& text) {
    PyFrameObject* caller = plain_caller(frame);
    if (caller == nullptr || PyType_Check(self) || !PyFunction_Check(function)) return;
    if (memo.attributes.find(Py_TYPE(self), name, true) != function) return;
    auto* plain = reinterpret_cast<PyFunctionObject*>(function);
    if (memo.joins.find(plain->func_module, plain->func_qualname) == nullptr) return;  // not fixed by the objects
    if (may_have_local(caller->f_code, name)) return;
    memo.methods.remember(reinterpret_cast<PyObject*>(frame->f_code), reinterpret_cast<PyObject*>(caller->f_code),
                          Py_TYPE(self), memo.attributes.lookup(), function, text);
}

// The remembered name of a method called on `self` from a plain caller,
// unless the instance's own dictionary holds the name.
const std::string* remembered_method(NameMemo& memo, PyFrameObject* frame, const FrameLocals& locals,
                                     PyObject* name) {
    PyFrameObject* caller = plain_caller(frame);
    if (caller == nullptr || locals.dict() != nullptr) return nullptr;
    auto self = locals.find(name_table().self);
    if (!self || !*self || PyType_Check(self->get())) return nullptr;
    auto lookup = getattr_static_function();
    if (!lookup) return nullptr;
    const std::string* text = memo.methods.find(reinterpret_cast<PyObject*>(frame->f_code),
                                                reinterpret_cast<PyObject*>(caller->f_code), Py_TYPE(self->get()),
                                                lookup->get());
    if (text == nullptr || instance_may_have(self->get(), name)) return nullptr;
    return text;
}
#endif

// The fallbacks, tried in order; the first that finds something decides.
Result<Name> from_surroundings(PyFrameObject* frame, const FrameLocals& locals, PyObject* name, NameMemo& memo,
                               NameText& out) {
    Ref back = frame_back(frame);
    if (!back || back.get() == Py_None) return false;

    // A local of the caller under the function's name (nested functions).
    auto in_caller = caller_local(as_frame(back.get()), name);
    if (!in_caller) return false;
    if (*in_caller) return module_and_qualname(memo.joins, in_caller->get(), out);

    // A method, through `self`.
    auto self = locals.find(name_table().self);
    if (!self) return false;
    if (*self) {
        auto found = getattr_static(memo.attributes, self->get(), name, true);
        if (!found) return fail(std::move(found.error()));
        auto function = property_getter(std::move(*found));
        if (!function) return fail(std::move(function.error()));
        auto named = module_and_qualname(memo.joins, function->get(), out);
#if PY_VERSION_HEX < 0x030B0000
        if (named && *named) remember_method(memo, frame, name, self->get(), function->get(), out.text());
#endif
        return named;
    }

    // A class method, through `cls`.
    auto cls = locals.find(name_table().cls);
    if (!cls) return false;
    if (*cls && PyType_Check(cls->get())) {
        auto found = getattr_static(memo.attributes, cls->get(), name, false);
        if (!found) return fail(std::move(found.error()));
        // Before 3.10 a classmethod object has no name of its own: the
        // function it wraps has (and on later versions, the same one).
        if (PyObject_TypeCheck(found->get(), &PyClassMethod_Type) ||
            PyObject_TypeCheck(found->get(), &PyStaticMethod_Type)) {
            found = attr(found->get(), name_table().wrapped_function);
            if (!found) return fail(std::move(found.error()));
        }
        return module_and_qualname(memo.joins, found->get(), out);
    }

    // A class body, or a module-level function.
    auto class_qualname = locals.find(name_table().__qualname__);
    if (!class_qualname) return false;
    if (*class_qualname) {
        auto module = module_name_of(frame);
        if (!module) return fail(std::move(module.error()));
        qualify(memo.joins, module->get(), class_qualname->get(), out);
        return true;
    }
    auto global = item(frame_globals(frame), name);
    if (!global) return fail(std::move(global.error()));
    auto named = module_and_qualname(memo.joins, global->get(), out);
#if PY_VERSION_HEX < 0x030B0000
    if (named && *named) remember_global_function(memo, frame, name, global->get(), out.text());
#endif
    return named;
}

}  // namespace

Result<const std::string*> qualified_name(PyFrameObject* frame, const FrameLocals& locals, NameMemo& memo,
                                          std::string& buffer) {
    if (names() == nullptr) return fail_fetch();
    NameText out(buffer);
    PyObject* code = reinterpret_cast<PyObject*>(frame_code(frame));

#if PY_VERSION_HEX >= 0x030B0000
    // Every code object has its qualified name from 3.11 on; the code type
    // is immutable, so before that none has.
    PyObject* co_qualname = reinterpret_cast<PyCodeObject*>(code)->co_qualname;
#else
    PyObject* co_qualname = nullptr;
#endif
    if (co_qualname != nullptr) {
        PyObject* globals = frame_globals(frame);
        if (const std::string* known = memo.by_code.find(code, globals)) return known;
        auto module = module_name_of(frame);
        if (!module) return fail(std::move(module.error()));
        // Only a name fixed by its two str objects is the same for as long
        // as the globals are.
        if (qualify(memo.joins, module->get(), co_qualname, out)) memo.by_code.remember(code, globals, out.text());
        return &out.text();
    }

    PyObject* name_obj = code_name(reinterpret_cast<PyCodeObject*>(code));
#if PY_VERSION_HEX < 0x030B0000
    // Asked first: neither memo holds a module's code, which the next step names.
    if (const std::string* known = remembered_global_function(memo, frame)) return known;
    if (const std::string* known = remembered_method(memo, frame, locals, name_obj)) return known;
#endif
    if (same_name(name_obj, name_table().module_code_name)) {
        auto module = module_name_of(frame);
        if (!module) return fail(std::move(module.error()));
        const bool named = *module && module->get() != Py_None;
        out.write() = named ? printable(module->get()) + ".<module>" : "<module>";
        return &out.text();
    }

    auto found = from_surroundings(frame, locals, name_obj, memo, out);
    // The fallbacks fail quietly.
    return found && *found ? &out.text() : nullptr;
}

}  // namespace sarn
