// The module `sarn._sarn`: its initialisation and its two functions.
#include <Python.h>

#include "lib/entry_point.hpp"
#include "lib/hook.hpp"
#include "lib/monitoring.hpp"
#include "lib/profiler_type.hpp"
#include "profiler/directory_memo.hpp"
#include "profiler/exit_drain.hpp"
#include "profiler/exit_exception.hpp"
#include "profiler/state.hpp"
#include "utils/convert.hpp"
#include "utils/host_import.hpp"
#include "utils/names.hpp"

namespace sarn {

namespace {

PyObject* module_object = nullptr;  // the once-per-process module

// Follows threads started later when the configuration's "threading" entry
// is exactly true.
Result<Ref> follow_new_threads(PyObject* host, PyObject* instance) {
    auto config = checked(PyObject_GetAttrString(host, "config"));
    if (!config) return fail(std::move(config.error()));
    Ref key = Ref::steal(PyUnicode_FromString("threading"));
    if (!key) return fail_fetch();
    Ref flag = Ref::steal(PyObject_GetItem(config->get(), key.get()));
    if (!flag) {
        PyErr_Clear();
        return none();
    }
    auto enabled = to_strict_bool(flag.get());
    if (!enabled || !*enabled) return none();

    auto setprofile = import_attribute("threading", "setprofile");
    if (!setprofile) return fail(std::move(setprofile.error()));
    auto installer = checked(PyObject_GetAttrString(instance, "register_threading_profiler"));
    if (!installer) return fail(std::move(installer.error()));
    auto result = checked(PyObject_CallFunctionObjArgs(setprofile->get(), installer->get(), nullptr));
    if (!result) return fail(std::move(result.error()));
    return none();
}

// Finishes importing every module that the hook and the save use. A thread
// that records while another thread is still importing one of them (they
// are imported at first use) would otherwise find it in sys.modules only
// half made; importing waits for that import to finish. A module that cannot
// be imported is left to fail, and be reported, where it is used.
Status import_host_modules() {
    for (const char* name : {"sarn.serialize", "logging", "inspect", "builtins", "collections.abc", "threading",
                             "os", "sarn.version", "sarn.git", "sarn.db"}) {
        if (Ref::steal(PyImport_ImportModule(name))) continue;
        Error error = Error::fetch();
        if (error.reaches_program()) return fail(std::move(error));
    }
    return {};
}

// Records the calling thread with the engine the configuration chose, in
// place of any recording that it had.
Status start_recording(PyObject* instance) {
    if (state_of(instance).engine == Engine::monitoring) {
        remove_profile_hook();
        return monitoring::start_on_calling_thread(instance);
    }
    auto stopped = monitoring::stop_on_calling_thread();
    if (!stopped) return fail(std::move(stopped.error()));
    install_profile_hook(instance);
    return {};
}

Result<Ref> register_profiler(PyObject* host) {
    if (!PyCallable_Check(host)) return fail(Error::raise(PyExc_TypeError, "profiler object is not callable"));
    auto state = build_profiler_state(host);
    if (!state) return fail(std::move(state.error()));
    auto instance = new_sarn_profiler(std::move(*state));
    if (!instance) return fail(std::move(instance.error()));
    if (PyObject_SetAttrString(host, "rust_profiler", instance->get()) < 0) return fail_fetch();
    if (auto imported = import_host_modules(); !imported) return fail(std::move(imported.error()));
    directory_changes::watch();
    if (auto started = start_recording(instance->get()); !started) return fail(std::move(started.error()));
    return follow_new_threads(host, instance->get());
}

PyObject* register_profiler_function(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"profiler", nullptr};
    PyObject* host = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:register_profiler", const_cast<char**>(keywords), &host)) {
        return nullptr;
    }
    return entry_point([host] { return register_profiler(host); });
}

PyObject* register_noop_profiler_function(PyObject*, PyObject*) {
    return entry_point([]() -> Result<Ref> {
        // A thread recorded through sys.monitoring stops there; its profile
        // function was never the recorder's.
        auto stopped = monitoring::stop_on_calling_thread();
        if (!stopped) return fail(std::move(stopped.error()));
        if (!*stopped) PyEval_SetProfile(noop_profile_hook, nullptr);
        return none();
    });
}

// Pausing the calling thread's recording through sys.monitoring (a request
// that is not recorded runs a step on the recorded event loop's thread).
PyObject* pause_thread_function(PyObject*, PyObject*) {
    return PyLong_FromUnsignedLongLong(monitoring::pause_calling_thread());
}

PyObject* resume_thread_function(PyObject*, PyObject* token) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(token);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    monitoring::resume_calling_thread(value);
    Py_RETURN_NONE;
}

// The exception that the frame unwinding on the calling thread leaves by,
// while the recorder hands that frame's event to the plugins: known when the
// engine tells it (sys.monitoring's PY_UNWIND), None otherwise (the profile
// function is told only that the frame is unwinding).
PyObject* unwinding_exception_function(PyObject*, PyObject*) {
    PyObject* exception = UnwindingException::current();
    if (exception == nullptr) Py_RETURN_NONE;
    Py_INCREF(exception);
    return exception;
}

PyMethodDef unwinding_exception_def = {"_unwinding_exception", unwinding_exception_function, METH_NOARGS,
                                       "_unwinding_exception()\n--\n\n"};
PyMethodDef pause_thread_def = {"_pause_thread", pause_thread_function, METH_NOARGS, "_pause_thread()\n--\n\n"};
PyMethodDef resume_thread_def = {"_resume_thread", resume_thread_function, METH_O, "_resume_thread(token)\n--\n\n"};

PyMethodDef register_noop_profiler_def = {"register_noop_profiler", register_noop_profiler_function, METH_NOARGS,
                                          "register_noop_profiler()\n--\n\n"};
PyMethodDef register_profiler_def = {"register_profiler", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(register_profiler_function)),
                                     METH_VARARGS | METH_KEYWORDS, "register_profiler(profiler)\n--\n\n"};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_sarn", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

// Adds a function to the module and its name to `__all__`.
Status add_function(PyObject* module, PyMethodDef* def) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return fail_fetch();
    Ref function = Ref::steal(PyCFunction_NewEx(def, module, module_name.get()));
    if (!function) return fail_fetch();
    Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return fail_fetch();

    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return fail_fetch();
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return fail_fetch();
    }
    if (PyList_Append(all.get(), name.get()) < 0) return fail_fetch();
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return fail_fetch();
    return {};
}

Result<Ref> create_module() {
    if (module_object != nullptr) {
        return fail(Error::raise(PyExc_ImportError,
                                 "sarn._sarn may be initialised only once per interpreter process"));
    }
    auto module = checked(PyModule_Create2(&module_def, 1013));
    if (!module) return fail(std::move(module.error()));
    if (names() == nullptr) return fail_fetch();
#ifdef Py_GIL_DISABLED
    // Its shared state is atomic, per thread or locked: the interpreter
    // need not take the GIL back for it.
    if (PyUnstable_Module_SetGIL(module->get(), Py_MOD_GIL_NOT_USED) < 0) return fail_fetch();
#endif
    for (PyMethodDef* def : {&register_noop_profiler_def, &register_profiler_def}) {
        auto added = add_function(module->get(), def);
        if (!added) return fail(std::move(added.error()));
    }
    // Private helpers of the host package, kept out of `__all__`.
    for (PyMethodDef* def : {&pause_thread_def, &resume_thread_def, &unwinding_exception_def}) {
        Ref function = Ref::steal(PyCFunction_NewEx(def, module->get(), nullptr));
        if (!function || PyObject_SetAttrString(module->get(), def->ml_name, function.get()) < 0) return fail_fetch();
    }
    if (auto registered = exit_drain::register_at_exit(module->get()); !registered) {
        return fail(std::move(registered.error()));
    }
    module_object = module->dup().release();
    return module;
}

}  // namespace

}  // namespace sarn

PyMODINIT_FUNC PyInit__sarn() { return sarn::entry_point(sarn::create_module); }
