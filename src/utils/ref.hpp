// Owning reference to a Python object.
//
// Every strong reference the core holds lives in a `Ref`. It is made either by
// `steal` (take over a new reference returned by the C API) or by `borrow`
// (add a reference to an object someone else owns). Raw `PyObject*` is used only
// for borrowed parameters.
#pragma once

#include <Python.h>

#include <utility>

namespace sarn {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(ptr_, std::exchange(other.ptr_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    // Takes over a new reference (may be null).
    [[nodiscard]] static Ref steal(PyObject* obj) noexcept {
        Ref ref;
        ref.ptr_ = obj;
        return ref;
    }
    // Adds a reference to a borrowed object (may be null).
    [[nodiscard]] static Ref borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return steal(obj);
    }

    [[nodiscard]] Ref dup() const noexcept { return borrow(ptr_); }
    [[nodiscard]] PyObject* get() const noexcept { return ptr_; }
    // Hands the reference to the caller (for returning to the interpreter).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    void reset() noexcept { Ref().swap(*this); }
    void swap(Ref& other) noexcept { std::swap(ptr_, other.ptr_); }

private:
    PyObject* ptr_ = nullptr;
};

}  // namespace sarn
