#include "utils/frame_locals.hpp"

#include <algorithm>

#if PY_VERSION_HEX >= 0x030B0000
// From 3.11 a frame object's slots live in the interpreter's frame, whose
// layout only the internal headers give; from 3.14 that frame and the
// helpers reading its tagged slots have a header of their own.
#define Py_BUILD_CORE
#include <internal/pycore_code.h>
#include <internal/pycore_frame.h>
#if PY_VERSION_HEX >= 0x030E0000
#include <internal/pycore_interpframe.h>
#endif
#undef Py_BUILD_CORE
#endif

#include "utils/frame_access.hpp"
#include "utils/free_threading.hpp"
#include "utils/names.hpp"

namespace sarn {

namespace {

// What the interpreter's accessor gives, as a dict: its snapshot, or from
// 3.13 a copy of its proxy.
[[maybe_unused]] Result<Ref> interpreter_locals(PyFrameObject* frame) {
    auto locals = checked(frame_locals(frame));
    if (!locals || PyDict_Check(locals->get())) return locals;
    auto copy = checked(PyDict_New());
    if (!copy) return copy;
    if (PyDict_Update(copy->get(), locals->get()) < 0) return fail_fetch();
    return copy;
}

// The namespace of a module or class body (null only for odd code run by
// exec, which the interpreter's accessor then handles).
[[maybe_unused]] Result<Ref> namespace_of(PyObject* locals, PyFrameObject* frame) {
    if (locals != nullptr) return Ref::borrow(locals);
    return interpreter_locals(frame);
}

// Adds a bound slot's entry, holding a reference to its value; a local
// named "__builtins__" is left out, as the interpreter's own reading does.
void add_entry(SmallVector<NamedValue, 16>& out, PyObject* name, PyObject* value, PyObject* builtins) {
    if (same_name(name, builtins)) return;
    Py_INCREF(value);
    out.push_back({name, value});
}

[[maybe_unused]] PyObject* cell_contents(PyObject* value) {
    return value != nullptr && PyCell_Check(value) ? PyCell_GET(value) : value;
}

#if PY_VERSION_HEX < 0x030B0000

// One group of slots (locals, then cells, then free variables) under its
// names. A later group overrides an earlier one; an unbound slot of a later
// group removes what an earlier one set (an argument that is also a cell
// leaves its own slot empty), so that the result is the interpreter's.
Status add_group(PyObject* dict, PyObject* names, Py_ssize_t count, PyObject* const* slots, bool cells) {
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = PyTuple_GET_ITEM(names, i);
        PyObject* value = cells ? cell_contents(slots[i]) : slots[i];
        if (value != nullptr) {
            if (PyDict_SetItem(dict, name, value) < 0) return fail_fetch();
            continue;
        }
        if (!cells) continue;  // the first group has each name once
        const int present = PyDict_Contains(dict, name);
        if (present < 0 || (present > 0 && PyDict_DelItem(dict, name) < 0)) return fail_fetch();
    }
    return {};
}

Result<Ref> slot_locals(PyFrameObject* frame) {
    PyCodeObject* code = frame->f_code;
    if (!(code->co_flags & CO_OPTIMIZED)) return namespace_of(frame->f_locals, frame);
    auto dict = checked(PyDict_New());
    if (!dict) return dict;
    PyObject* const* slots = frame->f_localsplus;
    const Py_ssize_t locals = std::min<Py_ssize_t>(PyTuple_GET_SIZE(code->co_varnames), code->co_nlocals);
    const Py_ssize_t cells = PyTuple_GET_SIZE(code->co_cellvars);
    const Py_ssize_t frees = PyTuple_GET_SIZE(code->co_freevars);
    Status added = add_group(dict->get(), code->co_varnames, locals, slots, false);
    if (added && cells > 0) added = add_group(dict->get(), code->co_cellvars, cells, slots + code->co_nlocals, true);
    if (added && frees > 0) {
        added = add_group(dict->get(), code->co_freevars, frees, slots + code->co_nlocals + cells, true);
    }
    if (!added) return fail(std::move(added.error()));
    return dict;
}

// The slots of a function's frame without cell or free variables, each name
// once; false when the frame is not such a frame.
bool slot_entries(PyFrameObject* frame, SmallVector<NamedValue, 16>& out, PyObject* builtins) {
    PyCodeObject* code = frame->f_code;
    if (!(code->co_flags & CO_OPTIMIZED) || PyTuple_GET_SIZE(code->co_cellvars) != 0 ||
        PyTuple_GET_SIZE(code->co_freevars) != 0) {
        return false;
    }
    PyObject* const* slots = frame->f_localsplus;
    const Py_ssize_t locals = std::min<Py_ssize_t>(PyTuple_GET_SIZE(code->co_varnames), code->co_nlocals);
    for (Py_ssize_t i = 0; i < locals; ++i) {
        if (slots[i] != nullptr) add_entry(out, PyTuple_GET_ITEM(code->co_varnames, i), slots[i], builtins);
    }
    return true;
}

#elif PY_VERSION_HEX < 0x030D0000

// Whether the frame has run its prologue, where COPY_FREE_VARS and MAKE_CELL
// come before the first RESUME: from then on every cell or free slot holds
// a cell. Every frame has by the time it reports an event.
bool past_prologue(_PyInterpreterFrame* frame) {
    return _PyInterpreterFrame_LASTI(frame) >= frame->f_code->_co_firsttraceable;
}

#ifdef CO_FAST_HIDDEN
constexpr unsigned char hidden_kind = CO_FAST_HIDDEN;
#else
constexpr unsigned char hidden_kind = 0;
#endif

// The slots in order (each name has one). From 3.12 the variables of a
// comprehension inlined into the code ("hidden" ones) come last, as the
// interpreter adds them.
Result<Ref> slot_locals(PyFrameObject* frame_object) {
    _PyInterpreterFrame* frame = frame_object->f_frame;
    PyCodeObject* code = frame->f_code;
    if (!(code->co_flags & CO_OPTIMIZED)) return namespace_of(frame->f_locals, frame_object);
    if (!past_prologue(frame)) return interpreter_locals(frame_object);
    auto dict = checked(PyDict_New());
    if (!dict || frame->stacktop == 0) return dict;  // a cleared frame has nothing bound
    const auto* kinds = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(code->co_localspluskinds));
    auto add = [&](int i) {
        PyObject* value = frame->localsplus[i];
        if (kinds[i] & (CO_FAST_CELL | CO_FAST_FREE)) value = cell_contents(value);
        return value == nullptr ||
               PyDict_SetItem(dict->get(), PyTuple_GET_ITEM(code->co_localsplusnames, i), value) == 0;
    };
    bool hidden = false;
    for (int i = 0; i < code->co_nlocalsplus; ++i) {
        if (kinds[i] & hidden_kind) hidden = true;
        else if (!add(i)) return fail_fetch();
    }
    for (int i = 0; hidden && i < code->co_nlocalsplus; ++i) {
        if ((kinds[i] & hidden_kind) && !add(i)) return fail_fetch();
    }
    return dict;
}

// The slots of a function's frame past its prologue, in the order of
// `slot_locals`; false when the frame is not such a frame.
bool slot_entries(PyFrameObject* frame_object, SmallVector<NamedValue, 16>& out, PyObject* builtins) {
    _PyInterpreterFrame* frame = frame_object->f_frame;
    PyCodeObject* code = frame->f_code;
    if (!(code->co_flags & CO_OPTIMIZED) || !past_prologue(frame)) return false;
    if (frame->stacktop == 0) return true;
    const auto* kinds = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(code->co_localspluskinds));
    auto add = [&](int i) {
        PyObject* value = frame->localsplus[i];
        if (kinds[i] & (CO_FAST_CELL | CO_FAST_FREE)) value = cell_contents(value);
        if (value != nullptr) add_entry(out, PyTuple_GET_ITEM(code->co_localsplusnames, i), value, builtins);
    };
    bool hidden = false;
    for (int i = 0; i < code->co_nlocalsplus; ++i) {
        if (kinds[i] & hidden_kind) hidden = true;
        else add(i);
    }
    for (int i = 0; hidden && i < code->co_nlocalsplus; ++i) {
        if (kinds[i] & hidden_kind) add(i);
    }
    return true;
}

#else

// The object in a slot of the interpreter's frame (null when unbound), and
// whether the frame's slots are empty: cleared, or never filled. From 3.14 a
// slot holds a tagged reference and the frame marks the top of its stack
// with a pointer.
#if PY_VERSION_HEX >= 0x030E0000
inline PyObject* slot_object(_PyInterpreterFrame* frame, int i, bool& readable) {
    const _PyStackRef slot = frame->localsplus[i];
    // The interpreter keeps plain ints (loop counters, offsets) only on the
    // value stack; a local slot holding one is no object to read.
    readable = !PyStackRef_IsTaggedInt(slot);
    return readable ? PyStackRef_AsPyObjectBorrow(slot) : nullptr;
}
inline bool slots_empty(_PyInterpreterFrame* frame) { return frame->stackpointer == frame->localsplus; }
#else
inline PyObject* slot_object(_PyInterpreterFrame* frame, int i, bool& readable) {
    readable = true;
    return frame->localsplus[i];
}
inline bool slots_empty(_PyInterpreterFrame* frame) { return frame->stacktop == 0; }
#endif

// What the interpreter's proxy holds, in its order: the bound slots, cells
// dereferenced (a cell's slot that holds no cell, as one an inlined
// comprehension shares with the function, is read as it is). Frames whose
// proxy may hold more or other entries (names the program added through it,
// variables of inlined comprehensions, a frame not yet started or cleared)
// are left to the proxy; `out` is then left partly filled.
bool slot_entries(PyFrameObject* frame_object, SmallVector<NamedValue, 16>& out, PyObject* builtins) {
    if (frame_object->f_extra_locals != nullptr) return false;
    _PyInterpreterFrame* frame = frame_object->f_frame;
    PyCodeObject* code = _PyFrame_GetCode(frame);
    if (!(code->co_flags & CO_OPTIMIZED) || _PyFrame_IsIncomplete(frame) || slots_empty(frame)) return false;
    const auto* kinds = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(code->co_localspluskinds));
    for (int i = 0; i < code->co_nlocalsplus; ++i) {
        if (kinds[i] & CO_FAST_HIDDEN) return false;
        bool readable;
        PyObject* value = slot_object(frame, i, readable);
        if (!readable) return false;
        if (kinds[i] & (CO_FAST_CELL | CO_FAST_FREE)) value = cell_contents(value);
        if (value != nullptr) add_entry(out, PyTuple_GET_ITEM(code->co_localsplusnames, i), value, builtins);
    }
    return true;
}

#endif

// The dict of `read_locals` without "__builtins__" (a copy is made when the
// key is present, so that a namespace is never changed).
Result<Ref> locals_without_builtins(PyFrameObject* frame, PyObject* builtins_name) {
    auto locals = read_locals(frame);
    if (!locals || !PyDict_Check(locals->get())) return locals;  // a class body's own mapping stays as it is
    int has_builtins = PyDict_Contains(locals->get(), builtins_name);
    if (has_builtins < 0) return fail(Error::internal_from_pending("locals.get(\"__builtins__\") should not raise."));
    if (has_builtins == 0) return locals;
    auto copy = checked(PyDict_Copy(locals->get()));
    if (!copy) return fail(std::move(copy.error()));
    if (PyDict_DelItem(copy->get(), builtins_name) < 0) return fail_fetch();
    return copy;
}

}  // namespace

Result<Ref> read_locals(PyFrameObject* frame) {
#if PY_VERSION_HEX >= 0x030D0000
    return interpreter_locals(frame);
#else
    return slot_locals(frame);
#endif
}

Status FrameLocals::load(PyFrameObject* frame) {
    const Names* name = names();
    if (name == nullptr) return fail_fetch();
    if (slot_entries(frame, entries_, name->__builtins__)) return {};
    release_entries();
    auto dict = locals_without_builtins(frame, name->__builtins__);
    if (!dict) return fail(std::move(dict.error()));
    dict_ = std::move(*dict);
    return {};
}

FrameLocals::~FrameLocals() { release_entries(); }

void FrameLocals::release_entries() noexcept {
    for (const NamedValue& entry : entries_) Py_DECREF(entry.value);
    entries_.clear();
}

Result<Ref> FrameLocals::find(PyObject* name) const {
    if (!dict_) {
        for (const NamedValue& entry : entries_) {
            if (same_name(entry.name, name)) return Ref::borrow(entry.value);
        }
        return Ref();
    }
    if (PyDict_CheckExact(dict_.get())) {
        if (Ref value = dict_item(dict_.get(), name)) return value;
        if (PyErr_Occurred()) return fail_fetch();
        return Ref();
    }
    // A mapping of the program's own (a class body's namespace).
    Ref value = Ref::steal(PyObject_GetItem(dict_.get(), name));
    if (value) return value;
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return fail_fetch();
    PyErr_Clear();
    return Ref();
}

Result<Ref> FrameLocals::as_dict() const {
    if (dict_) return dict_.dup();
    auto dict = checked(PyDict_New());
    if (!dict) return dict;
    for (const NamedValue& entry : entries_) {
        if (PyDict_SetItem(dict->get(), entry.name, entry.value) < 0) return fail_fetch();
    }
    return dict;
}

}  // namespace sarn
