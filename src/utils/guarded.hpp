// A value behind its own mutex, with a poisoned flag.
//
// `Mutex` is std::mutex by default. A store that is only ever held across
// native code may take ParallelMutex instead, which is a real mutex on
// free-threaded interpreters and nothing with the interpreter lock: there
// the lock already keeps every other thread out, and the record stores are
// taken at every kept event.
//
// If the holder of the lock leaves by an exception (a broken invariant), the
// value may be half changed: the mutex is then marked poisoned and every later
// attempt to take it is itself an internal failure.
#pragma once

#include <Python.h>

#include <concepts>
#include <exception>
#include <mutex>
#include <utility>

#include "utils/error.hpp"
#include "utils/free_threading.hpp"

namespace sarn {

template <class T, class Mutex = std::mutex>
class Guarded {
public:
    class Access {
    public:
        Access(Access&& other) noexcept
            : owner_(std::exchange(other.owner_, nullptr)), exceptions_(other.exceptions_) {}
        Access(const Access&) = delete;
        Access& operator=(const Access&) = delete;
        Access& operator=(Access&&) = delete;
        ~Access() {
            if (owner_ == nullptr) return;
            if (std::uncaught_exceptions() > exceptions_) owner_->poisoned_ = true;
            owner_->mutex_.unlock();
        }
        T& operator*() const noexcept { return owner_->value_; }
        T* operator->() const noexcept { return &owner_->value_; }

    private:
        friend class Guarded;
        explicit Access(Guarded* owner) noexcept : owner_(owner), exceptions_(std::uncaught_exceptions()) {}
        Guarded* owner_;
        int exceptions_;
    };

    template <class... Args>
    explicit Guarded(Args&&... args) : value_(std::forward<Args>(args)...) {}

    // For stores that are only held across native code: blocking is short.
    [[nodiscard]] Result<Access> lock(const char* name) {
        mutex_.lock();
        return checked_access(name);
    }

    // For a value used while Python code runs under the lock: never wait for
    // the mutex while holding the interpreter lock, or the holder (which may be
    // waiting for the interpreter lock) could never finish.
    [[nodiscard]] Result<Access> lock_releasing_interpreter(const char* name)
        requires std::same_as<Mutex, std::mutex>
    {
        if (!mutex_.try_lock()) {
            Py_BEGIN_ALLOW_THREADS
            mutex_.lock();
            Py_END_ALLOW_THREADS
        }
        return checked_access(name);
    }

    // Runs `work(value)` under the lock, for the stores taken at every kept
    // event: an exception leaving `work` is caught here to poison the lock,
    // which costs nothing on the way through, where an `Access` counts the
    // uncaught exceptions as it is made and again as it goes. False, with
    // `work` not run, when the lock is poisoned.
    template <class Work>
    bool run_locked(Work&& work) {
        mutex_.lock();
        if (poisoned_) {
            mutex_.unlock();
            return false;
        }
        try {
            std::forward<Work>(work)(value_);
        } catch (...) {
            poisoned_ = true;
            mutex_.unlock();
            throw;
        }
        mutex_.unlock();
        return true;
    }

    // Direct access without locking, for the owner before sharing or while it
    // is destroyed.
    T& unguarded() noexcept { return value_; }

private:
    Result<Access> checked_access(const char* name) {
        if (poisoned_) {
            mutex_.unlock();
            return fail_internal(std::string("the lock of the ") + name + " is poisoned");
        }
        return Access(this);
    }

    Mutex mutex_;
    bool poisoned_ = false;
    T value_;
};

}  // namespace sarn
