// Leaves the interpreter lock for the life of a scope, taking it back however
// the scope ends (an exception included), so that long native work on data
// the interpreter does not change (bytes) lets other threads run.
#pragma once

#include <Python.h>

namespace sarn {

class WithoutInterpreterLock {
public:
    WithoutInterpreterLock() noexcept : state_(PyEval_SaveThread()) {}
    ~WithoutInterpreterLock() { PyEval_RestoreThread(state_); }
    WithoutInterpreterLock(const WithoutInterpreterLock&) = delete;
    WithoutInterpreterLock& operator=(const WithoutInterpreterLock&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace sarn
