// The current line of a frame, remembered by code object and instruction.
//
// The interpreter finds a frame's line by walking its code's line table
// (from 3.11 on, one that costs more than the rest of a kept event). The answer is
// a function of the code object and the instruction offset alone whenever
// the profile hook runs (a line set by a tracer is only in effect while the
// tracer itself runs, and no profile event happens then), so one small
// table per thread remembers it. Each slot holds its code object, so an
// address is never mistaken for a freed code object's.
#pragma once

#include <Python.h>
#include <frameobject.h>

#include <array>
#include <cstdint>

#include "utils/frame_access.hpp"
#include "utils/ref.hpp"

namespace sarn {

class LineCache {
public:
    // A frame that has not reached its first line yet (a module frame at its
    // call event on 3.11 and later reports line 0) is at its code's first
    // line, as older interpreters report it.
    int line(PyFrameObject* frame) {
        const int found = lookup(frame);
        return found > 0 ? found : frame_code(frame)->co_firstlineno;
    }

private:
    int lookup(PyFrameObject* frame) {
        const int offset = frame_last_instruction(frame);
#if PY_VERSION_HEX >= 0x030B0000
        if (offset < 0) return frame_line(frame);
#else
        // A frame with a tracer reports the line the tracer keeps. Without
        // one, a frame that has not started (offset -1, at its call event)
        // is at its code's first line, remembered like any other.
        if (frame->f_trace != nullptr) return frame_line(frame);
#endif
        PyCodeObject* code = frame_code(frame);
        const auto key = reinterpret_cast<uintptr_t>(code);
        Slot& slot = slots_[((key >> 4) ^ static_cast<uintptr_t>(offset) * 0x9E3779B1u) % slots_.size()];
        if (slot.code.get() != reinterpret_cast<PyObject*>(code) || slot.offset != offset) {
            slot.line = frame_line(frame);
            slot.offset = offset;
            slot.code = Ref::borrow(reinterpret_cast<PyObject*>(code));
        }
        return slot.line;
    }

    struct Slot {
        Ref code;
        int offset = -1;
        int line = 0;
    };
    std::array<Slot, 256> slots_;
};

}  // namespace sarn
