#include "utils/names.hpp"

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
           intern(made.collections_abc, "collections.abc") && intern(made.sarn_serialize, "sarn.serialize");
#undef SARN_MAKE_NAME
}

}  // namespace

const Names* names() {
    static Names made;
    static bool ready = false;
    if (!ready) ready = make(made);
    return ready ? &made : nullptr;
}

}  // namespace sarn
