#include "lib/profiler_type.hpp"

#include "lib/entry_point.hpp"
#include "lib/hook.hpp"
#include "lib/monitoring.hpp"
#include "lib/profile_function.hpp"
#include "lib/trace_document_type.hpp"
#include "profiler/persistence.hpp"
#include "profiler/trace.hpp"
#include "utils/convert.hpp"

namespace sarn {

PyTypeObject* profiler_type = nullptr;

namespace {

PyObject* refuse_construction(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined");
    return nullptr;
}

// The Python objects the state holds, for the cycle collector: an open frame
// whose globals or locals lead back to the host object (a recording stopped
// inside a recorded function), or a plugin context that does, would otherwise
// keep the instance alive for ever. There is no tp_clear: the other members
// of such a cycle (frames, dicts) break it.
int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    ProfilerState* state = reinterpret_cast<SarnProfilerObject*>(self)->state;
    if (state == nullptr) return 0;
    // The plugins' references do not change after loading.
    for (auto& [name, records] : state->plugins.unguarded().by_name) {
        for (PluginRecord& record : records) {
            Py_VISIT(record.call.get());
            Py_VISIT(record.process.get());
            Py_VISIT(record.context.get());
        }
    }
#ifndef Py_GIL_DISABLED
    Py_VISIT(state->name_memo.attributes.lookup());
#endif
    // The stacks change only while their thread holds the interpreter lock
    // (on a free-threaded interpreter, the collector pauses every thread).
    return state->threads.for_each([&](ThreadCache& cache) {
        for (OpenFrame& open : cache.call_frames) Py_VISIT(open.frame.get());
#ifdef Py_GIL_DISABLED
        Py_VISIT(cache.name_memo.attributes.lookup());
#endif
        return 0;
    });
}

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    // The state releases the frames, callables and contexts it references.
    delete std::exchange(reinterpret_cast<SarnProfilerObject*>(self)->state, nullptr);
    type->tp_free(self);
    Py_DECREF(type);
}

template <class Operation>
PyObject* method(PyObject* self, Operation operation) {
    return entry_point([&]() -> Result<Ref> {
        if (!is_sarn_profiler(self)) return fail(not_a_sarn_profiler(self));
        return operation(state_of(self));
    });
}

PyObject* save_request_in_db_method(PyObject* self, PyObject*) {
    return method(self, [](ProfilerState& state) -> Result<Ref> {
        auto saved = save_request_in_db(state);
        if (!saved) return fail(std::move(saved.error()));
        return none();
    });
}

PyObject* build_trace_method(PyObject* self, PyObject*) {
    return method(self, [](ProfilerState& state) { return build_trace(state); });
}

PyObject* take_trace_document_method(PyObject* self, PyObject*) {
    return method(self, [](ProfilerState& state) -> Result<Ref> {
        auto document = take_trace_document(state);
        if (!document) return fail(std::move(document.error()));
        return new_trace_document(std::move(*document));
    });
}

PyObject* register_threading_profiler_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"_frame", "_event", "_arg", nullptr};
    PyObject *frame = nullptr, *event = nullptr, *arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:register_threading_profiler", const_cast<char**>(keywords),
                                     &frame, &event, &arg)) {
        return nullptr;
    }
    // A thread is recorded from its first event: for a `threading` thread,
    // the call of its `run`, whose calls then nest under it.
    return method(self, [self, frame, event, arg](ProfilerState& state) -> Result<Ref> {
        if (state.engine == Engine::profile_function) {
            install_profile_hook(self);
            if (auto passed = pass_on_profile_event(self, frame, event, arg); !passed) {
                return fail(std::move(passed.error()));
            }
            return none();
        }
        // Through sys.monitoring the thread only needs marking as followed;
        // this installer was its profile function and goes. The interpreter
        // calls the profile function before this tool, so the event being
        // reported reaches the tool next.
        PyEval_SetProfile(nullptr, nullptr);
        if (auto joined = monitoring::join_on_calling_thread(self); !joined) return fail(std::move(joined.error()));
        return none();
    });
}

PyMethodDef methods[] = {
    {"save_request_in_db", save_request_in_db_method, METH_NOARGS, "save_request_in_db($self)\n--\n\n"},
    {"build_trace", build_trace_method, METH_NOARGS, "build_trace($self)\n--\n\n"},
    {"take_trace_document", take_trace_document_method, METH_NOARGS, "take_trace_document($self)\n--\n\n"},
    {"register_threading_profiler", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(register_threading_profiler_method)),
     METH_VARARGS | METH_KEYWORDS, "register_threading_profiler($self, _frame, _event, _arg)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_methods, methods},
    {Py_tp_call, reinterpret_cast<void*>(call_as_profile_function)},
    {0, nullptr},
};

PyType_Spec spec = {
    "sarn._sarn.SarnProfiler",
    sizeof(SarnProfilerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    slots,
};

}  // namespace

Result<PyTypeObject*> sarn_profiler_type() {
    if (profiler_type == nullptr) {
        PyObject* type = PyType_FromSpec(&spec);
        if (type == nullptr) return fail(Error::internal_from_pending("failed to create type object for SarnProfiler"));
        profiler_type = reinterpret_cast<PyTypeObject*>(type);
    }
    return profiler_type;
}

bool is_sarn_profiler(PyObject* obj) noexcept {
    if (profiler_type == nullptr) return false;
    return Py_TYPE(obj) == profiler_type || PyType_IsSubtype(Py_TYPE(obj), profiler_type);
}

Result<Ref> new_sarn_profiler(std::unique_ptr<ProfilerState> state) {
    auto type = sarn_profiler_type();
    if (!type) return fail(std::move(type.error()));
    Ref instance = Ref::steal((*type)->tp_alloc(*type, 0));
    if (!instance) return fail(Error::internal_from_pending("failed to allocate a SarnProfiler"));
    reinterpret_cast<SarnProfilerObject*>(instance.get())->state = state.release();
    return instance;
}

Error not_a_sarn_profiler(PyObject* obj) { return conversion_error(obj, "SarnProfiler"); }

}  // namespace sarn
