#include "utils/names.hpp"

#include <atomic>

namespace sarn {

namespace {

bool intern(PyObject*& slot, const char* text) {
    slot = PyUnicode_InternFromString(text);
    return slot != nullptr;
}

bool make(Names& made) {
#define SARN_MAKE_NAME(id) && intern(made.id, #id)
    return true SARN_NAMES(SARN_MAKE_NAME) && intern(made.wrapped_function, "__func__") && intern(made.inspect, "inspect") && intern(made.builtins, "builtins") &&
           intern(made.threading, "threading") && intern(made.logging, "logging") &&
           intern(made.collections_abc, "collections.abc") && intern(made.sarn_serialize, "sarn.serialize") &&
           intern(made.module_code_name, "<module>");
#undef SARN_MAKE_NAME
}

}  // namespace

const Names* name_table_state::make_names() {
    if (!make(made)) return nullptr;
    ready.store(true, std::memory_order_release);
    return &made;
}

}  // namespace sarn
