#include "serialize/task_keys.hpp"

#include <cstring>
#include <string_view>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "utils/ref.hpp"

namespace sarn::serialize {

namespace {

// The "task" key as a fixstr.
constexpr std::string_view task_key("\xa4task", 5);

// Where `task_key` is in `block` from `from` on (npos: nowhere). A search
// led by the key's first byte alone would stop at every four-letter key;
// here the places holding both its first and its last byte are found 16 at
// a time, and only those compared, which reads the block several times
// faster than memmem. What is left at the end goes to memmem.
size_t find_task_key(std::string_view block, size_t from) {
    if (from >= block.size()) return std::string_view::npos;
#if defined(__SSE2__)
    constexpr size_t last = task_key.size() - 1;
    const __m128i first_byte = _mm_set1_epi8(task_key.front());
    const __m128i last_byte = _mm_set1_epi8(task_key.back());
    for (; from + last + 16 <= block.size(); from += 16) {
        __m128i head = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block.data() + from));
        __m128i tail = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block.data() + from + last));
        auto mask = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(head, first_byte), _mm_cmpeq_epi8(tail, last_byte))));
        for (; mask != 0; mask &= mask - 1) {
            size_t at = from + static_cast<size_t>(__builtin_ctz(mask));
            if (std::memcmp(block.data() + at + 1, task_key.data() + 1, last - 1) == 0) return at;
        }
    }
    if (from >= block.size()) return std::string_view::npos;
#endif
    const void* found = memmem(block.data() + from, block.size() - from, task_key.data(), task_key.size());
    return found == nullptr ? std::string_view::npos : static_cast<size_t>(static_cast<const char*>(found) - block.data());
}

}  // namespace

PyObject* task_keys_function(PyObject*, PyObject* data) noexcept {
    // The "task" key, then its value: a fixstr of 2 to 31 bytes, "t" and
    // digits.
    constexpr std::string_view key = task_key;
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return nullptr;
    const char* begin = static_cast<const char*>(view.buf);
    std::string_view block(begin, static_cast<size_t>(view.len));
    Ref keys = Ref::steal(PyList_New(0));
    auto find = [&](size_t from) -> size_t { return find_task_key(block, from); };
    for (size_t at = find(0); keys && at != std::string_view::npos; at = find(at + 1)) {
        size_t head = at + key.size();
        if (head >= block.size()) break;
        auto lead = static_cast<unsigned char>(block[head]);
        if (lead < 0xa2 || lead > 0xbf) continue;
        size_t size = lead - 0xa0u;
        if (head + 1 + size > block.size()) continue;
        std::string_view value = block.substr(head + 1, size);
        if (value[0] != 't') continue;
        bool digits = true;
        for (char c : value.substr(1)) digits = digits && c >= '0' && c <= '9';
        if (!digits) continue;
        Ref item = Ref::steal(PyBytes_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
        if (!item || PyList_Append(keys.get(), item.get()) < 0) keys = Ref();
    }
    PyBuffer_Release(&view);
    return keys.release();
}

}  // namespace sarn::serialize
