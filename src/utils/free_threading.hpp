// What differs on a free-threaded interpreter, where threads run Python code
// truly in parallel and no interpreter lock orders their work.
//
// There, an object that another thread can change is read under its own
// lock (the interpreter's critical section), and a value found in a dict is
// taken as a strong reference at once: a borrowed one could be freed by the
// thread that replaces it. With the interpreter lock these cost nothing.
#pragma once

#include <Python.h>

#include <mutex>

#include "utils/ref.hpp"

namespace sarn {

#ifdef Py_GIL_DISABLED
inline constexpr bool free_threaded = true;
#else
inline constexpr bool free_threaded = false;
#endif

// Holds the per-object lock of `object` for the scope on a free-threaded
// interpreter. The interpreter lets it go while the thread waits (as the
// interpreter lock is let go), so Python code run under it cannot deadlock,
// but then another thread may change the object: read what is needed under
// it and work on strong references afterwards.
class ObjectLock {
public:
    explicit ObjectLock([[maybe_unused]] PyObject* object) noexcept {
#ifdef Py_GIL_DISABLED
        PyCriticalSection_Begin(&section_, object);
#endif
    }
    ~ObjectLock() {
#ifdef Py_GIL_DISABLED
        PyCriticalSection_End(&section_);
#endif
    }
    ObjectLock(const ObjectLock&) = delete;
    ObjectLock& operator=(const ObjectLock&) = delete;

private:
#ifdef Py_GIL_DISABLED
    PyCriticalSection section_;
#endif
};

// A lock for rare work that runs Python code while held (starting and
// stopping a recording session). On a free-threaded interpreter it is the
// interpreter's own mutex, which detaches the waiting thread so that a
// pause of every thread (the cycle collector's) is never held up by it;
// with the interpreter lock the work is already serialised.
class InterpreterMutex {
public:
    void lock() noexcept {
#ifdef Py_GIL_DISABLED
        PyMutex_Lock(&mutex_);
#endif
    }
    void unlock() noexcept {
#ifdef Py_GIL_DISABLED
        PyMutex_Unlock(&mutex_);
#endif
    }

private:
#ifdef Py_GIL_DISABLED
    PyMutex mutex_{};
#endif
};

// A lock for native data that threads share only where they run in parallel:
// a plain mutex on a free-threaded interpreter (held briefly, over native
// work that runs no Python code, so that no thread waits for it across a
// pause of every thread), and nothing with the interpreter lock.
class ParallelMutex {
public:
    void lock() noexcept {
#ifdef Py_GIL_DISABLED
        mutex_.lock();
#endif
    }
    void unlock() noexcept {
#ifdef Py_GIL_DISABLED
        mutex_.unlock();
#endif
    }

private:
#ifdef Py_GIL_DISABLED
    std::mutex mutex_;
#endif
};

// dict[key] as a strong reference: null with no exception set when the key
// is missing, null with one set when the lookup failed.
inline Ref dict_item(PyObject* dict, PyObject* key) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* found = nullptr;
    (void)PyDict_GetItemRef(dict, key, &found);
    return Ref::steal(found);
#else
    PyObject* found = PyDict_GetItemWithError(dict, key);
    return found != nullptr ? Ref::borrow(found) : Ref();
#endif
}

}  // namespace sarn
