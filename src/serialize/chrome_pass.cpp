#include "serialize/chrome_pass.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "lib/entry_point.hpp"
#include "serialize/frame_text.hpp"
#include "serialize/json_text.hpp"
#include "serialize/pass_type.hpp"
#include "serialize/record_reader.hpp"
#include "serialize/record_scan.hpp"
#include "utils/error.hpp"
#include "utils/ref.hpp"

namespace sarn::serialize {

// Its own namespace: the module's sources are built as one unit.
namespace chrome_pass {
namespace {

using record_scan::Record;
using record_scan::Scanner;
using record_scan::Text;
using json_text::quoted;

// Text held before it is handed to the host's `write`.
constexpr size_t flush_size = 1 << 20;
// Characters of one argument or return value in an event's args.
constexpr Py_ssize_t value_width = 1000;
// The first track number of the tasks: above any native thread id.
constexpr int64_t task_tids = 1000000000000LL;
// The depth of an event in the whole object (its list is at depth 1).
constexpr int event_level = 2;

using record_scan::Interned;
using record_scan::StringHash;

// round(value, 3) as Python rounds a float: to the decimal of three places
// nearest the exact value (ties to even), read back as a float. Times away
// from a tie are rounded here; the few near one go through Python's own
// digits.
double round3(double value) {
    if (!std::isfinite(value)) return value;
    double scaled = value * 1000.0;
    if (std::fabs(scaled) < 1e15) {
        // The product is off the exact one by at most half a unit in its
        // last place, which `margin` bounds with room to spare.
        double margin = std::fabs(scaled) * 4.5e-16 + 1e-12;
        double floor = std::floor(scaled);
        double fraction = scaled - floor;
        if (std::fabs(fraction - 0.5) > margin) {
            double rounded = fraction < 0.5 ? floor : floor + 1.0;
            return rounded / 1000.0;
        }
    }
    char* text = PyOS_double_to_string(value, 'f', 3, 0, nullptr);
    if (text == nullptr) {
        PyErr_Clear();
        return value;
    }
    double rounded = PyOS_string_to_double(text, nullptr, nullptr);
    PyMem_Free(text);
    if (rounded == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return value;
    }
    return rounded;
}

// A float as json.dumps writes it (its repr): the shortest digits that read
// back as it, in fixed notation from 1e-4 to 1e16, else as Python writes them.
Status real(std::string& out, double value) {
    if (std::isnan(value)) {
        out.append("NaN");
        return {};
    }
    if (std::isinf(value)) {
        out.append(value > 0 ? "Infinity" : "-Infinity");
        return {};
    }
    if (json_text::fixed_repr(out, value)) return {};
    char* text = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (text == nullptr) return fail_fetch();
    out.append(text);
    PyMem_Free(text);
    return {};
}

// The JSON layout of json.dumps(indent=indent) for containers at `level`.
struct Layout {
    int indent = 0;  // 0: on one line

    // Before an item of a container at `level`: its separator and indentation.
    void item(std::string& out, bool first, int level) const {
        if (indent > 0) {
            if (!first) out.push_back(',');
            out.push_back('\n');
            out.append(static_cast<size_t>(indent) * static_cast<size_t>(level + 1), ' ');
        } else if (!first) {
            out.append(", ");
        }
    }

    void close(std::string& out, char bracket, int level) const {
        if (indent > 0) {
            out.push_back('\n');
            out.append(static_cast<size_t>(indent) * static_cast<size_t>(level), ' ');
        }
        out.push_back(bracket);
    }
};

// A call whose event is not written yet: running, or returned at a time
// not recorded (it then ends with its caller). The calls under it that are
// not written yet are a list in the order they came.
struct Call {
    Call* parent = nullptr;
    Call* first_child = nullptr;
    Call* last_child = nullptr;
    Call* previous = nullptr;
    Call* next = nullptr;
    double begin = 0.0;
    bool has_call = false, has_ret = false, resumed = false;
    bool has_frame_id = false;
    std::string frame_id;  // of its call record, else of its return
    const std::string* call_qualname = nullptr;  // non-empty texts only
    const std::string* ret_qualname = nullptr;
    const std::string* co_name = nullptr;  // of its call record, else of its return
    const std::string* path = nullptr;     // likewise
    bool body = false;                     // a module or class body, as far as its records tell
    bool has_arguments = false;
    std::string arguments;  // the JSON object of its arguments
    std::string value;      // the JSON text of its return value
};

// Where new calls go: under a call, or at a track's top.
struct Siblings {
    Call** first;
    Call** last;
};

void append(Siblings list, Call* call) {
    call->previous = *list.last;
    call->next = nullptr;
    if (*list.last != nullptr) (*list.last)->next = call;
    else *list.first = call;
    *list.last = call;
}

void unlink(Siblings list, Call* call) {
    if (call->previous != nullptr) call->previous->next = call->next;
    else *list.first = call->next;
    if (call->next != nullptr) call->next->previous = call->previous;
    else *list.last = call->previous;
    call->previous = call->next = nullptr;
}

// Deletes the calls of a list and all under them.
void delete_calls(Call* first) {
    std::vector<Call*> stack;
    for (Call* call = first; call != nullptr; call = call->next) stack.push_back(call);
    while (!stack.empty()) {
        Call* call = stack.back();
        stack.pop_back();
        for (Call* child = call->first_child; child != nullptr; child = child->next) stack.push_back(child);
        delete call;
    }
}

// The event of the call that the last record returned, held until the
// next record, which may say how it ended: its text up to its "path" and
// "arguments", and the entries that may still change.
struct Pending {
    std::string head;
    bool has_return = false;
    std::string value;
    bool resumed = false;
    std::vector<std::pair<std::string, std::string>> notes;  // (key, JSON text), in order

    void note(std::string key, std::string text) {
        for (auto& entry : notes) {
            if (entry.first == key) {
                entry.second = std::move(text);
                return;
            }
        }
        notes.emplace_back(std::move(key), std::move(text));
    }
};

struct Track;

// What follows one thread's records to say which task each belongs to
// (keyed by the thread's track number, as the Python splitter keys it).
struct Split {
    Track* current = nullptr;  // the task track records go to, null for the thread's own
    std::unordered_map<std::string, const std::string*, StringHash, std::equal_to<>> paths;  // open calls
    const std::string* returned = nullptr;  // the path of the last return
    std::vector<Track*> task_tracks;        // in order of appearance
};

// The events of one thread (a native id and name), or of one asyncio task
// of a thread, made as its records come.
struct Track {
    std::string tid_text;
    Ref tid;
    std::string name;  // UTF-8 bytes, possibly not valid (replaced when written)
    std::pair<int, int64_t> place{1, 0};
    bool stamped = false;
    double first = 0.0, last = 0.0;
    std::unordered_map<std::string, Call*, StringHash, std::equal_to<>> running;
    Call* first_call = nullptr;
    Call* last_call = nullptr;
    bool has_pending = false;
    bool pending_has_frame_id = false;
    std::string pending_frame_id;
    Pending pending;
    std::string pending_rest;  // the events of the calls that ended with it, each after a separator
    int64_t pending_events = 0;
    bool operations = false;   // the host pairs operations of this track
    // A thread's split (shared by the threads of one track number, as
    // their task tracks are); a task track's key.
    Split* split = nullptr;
    std::string task_key;
    bool is_task = false;

    Track() = default;
    Track(const Track&) = delete;
    Track& operator=(const Track&) = delete;
    ~Track() { delete_calls(first_call); }

    Siblings siblings(Call* parent) {
        if (parent == nullptr) return Siblings{&first_call, &last_call};
        return Siblings{&parent->first_child, &parent->last_child};
    }
};

// The key of a thread: its native id (or the list's fallback) and name.
struct ThreadKey {
    int kind = 0;  // 0 none, 1 integer, 2 text, 3 another object (by identity)
    bool negative = false;
    uint64_t value = 0;
    std::string text;
    PyObject* object = nullptr;  // borrowed; the pass holds it
    bool named = false;
    std::string name;

    bool operator==(const ThreadKey& other) const {
        return kind == other.kind && negative == other.negative && value == other.value && text == other.text &&
               object == other.object && named == other.named && name == other.name;
    }
};

struct ThreadKeyHash {
    size_t operator()(const ThreadKey& key) const noexcept {
        size_t hash = std::hash<std::string>{}(key.name) ^ (std::hash<std::string>{}(key.text) << 1);
        hash ^= std::hash<uint64_t>{}(key.value) + 0x9e3779b97f4a7c15ULL + (hash << 6) + (hash >> 2);
        return hash ^ (static_cast<size_t>(key.kind) << 3) ^ std::hash<const void*>{}(key.object);
    }
};

void integer(std::string& out, bool negative, uint64_t value) {
    if (negative) json_text::number(out, static_cast<int64_t>(value));
    else json_text::number(out, value);
}

Result<std::string> utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) return fail_fetch();
    return std::string(data, static_cast<size_t>(size));
}

class Pass {
public:
    Status make(PyObject* host, PyObject* start, PyObject* indent, PyObject* kinds, PyObject* main_list) {
        host_ = Ref::borrow(host);
        main_list_ = Ref::borrow(main_list);
        start_ = PyFloat_AsDouble(start);
        if (start_ == -1.0 && PyErr_Occurred()) return fail_fetch();
        if (indent != Py_None) {
            long value = PyLong_AsLong(indent);
            if (value == -1 && PyErr_Occurred()) return fail_fetch();
            if (value <= 0 || value > 1024) {
                return fail(Error::raise(PyExc_ValueError, "indent must be None or from 1 to 1024"));
            }
            layout_.indent = static_cast<int>(value);
        }
        Ref iterator = Ref::steal(PyObject_GetIter(kinds));
        if (!iterator) return fail_fetch();
        while (Ref kind = Ref::steal(PyIter_Next(iterator.get()))) {
            Result<std::string> text = utf8_of(kind.get());
            if (!text) return fail(std::move(text.error()));
            kinds_.insert(std::move(*text));
        }
        if (PyErr_Occurred()) return fail_fetch();
        for (auto [field, name] : {std::pair{&locals_key_, "locals"}, std::pair{&arg_key_, "arg"}}) {
            *field = Ref::steal(PyUnicode_InternFromString(name));
            if (!*field) return fail_fetch();
        }
        locals_fields_ = {WantedField{"locals", locals_key_.get()}};
        arg_fields_ = {WantedField{"arg", arg_key_.get()}};
        question_ = interned_.get("?");
        text_.reserve(flush_size + (flush_size >> 2));
        return frame_text_.make();
    }

    Result<Ref> feed(std::string_view data, Py_ssize_t start, Py_ssize_t count, PyObject* fallback, bool lenient) {
        if (start < 0 || static_cast<size_t>(start) > data.size()) {
            return fail(Error::raise(PyExc_ValueError, "start out of range"));
        }
        Scanner scanner(data.substr(static_cast<size_t>(start)), lenient);
        const char* end = data.data() + start;
        Py_ssize_t taken = 0;
        for (; taken < count; ++taken) {
            Record record;
            if (!scanner.record(record)) break;
            if (Status done = take(record, fallback); !done) return fail(std::move(done.error()));
            end = scanner.position();
            if (text_.size() >= flush_size) {
                if (Status flushed = flush(); !flushed) return fail(std::move(flushed.error()));
            }
        }
        return checked(Py_BuildValue("(nn)", taken, static_cast<Py_ssize_t>(end - data.data())));
    }

    Result<Ref> finish(PyObject* main_thread_id) {
        // Main-list records without a native id waited for the main thread's.
        std::vector<std::string> waiting = std::move(waiting_);
        for (const std::string& bytes : waiting) {
            Scanner scanner(bytes, true);
            Record record;
            if (!scanner.record(record)) return fail(Error::raise(PyExc_ValueError, "a record cannot be read again"));
            if (Status done = route(record, main_thread_id, true); !done) return fail(std::move(done.error()));
        }
        for (auto& thread : threads_) {
            if (Status done = finish_track(*thread); !done) return fail(std::move(done.error()));
        }
        for (auto& track : task_tracks_) {
            if (Status done = finish_track(*track); !done) return fail(std::move(done.error()));
        }
        std::vector<Track*> order;
        for (auto& thread : threads_) order.push_back(thread.get());
        std::stable_sort(order.begin(), order.end(), [](Track* a, Track* b) { return a->place < b->place; });
        int64_t index = 0;
        for (Track* thread : order) {
            if (Status done = metadata(*thread, thread->name, index++); !done) return fail(std::move(done.error()));
            for (Track* track : thread->split->task_tracks) {
                Result<Ref> meta = checked(PyObject_CallMethod(host_.get(), "task_meta", "s#O", track->task_key.data(),
                                                               static_cast<Py_ssize_t>(track->task_key.size()),
                                                               track->tid.get()));
                if (!meta) return fail(std::move(meta.error()));
                PyObject* name;
                PyObject* event;
                if (!PyArg_ParseTuple(meta->get(), "UU", &name, &event)) return fail_fetch();
                Result<std::string> text = utf8_of(name);
                if (!text) return fail(std::move(text.error()));
                if (Status done = metadata(*track, *text + " (" + thread->name + ")", index++); !done) {
                    return fail(std::move(done.error()));
                }
                if (Status done = host_event(event); !done) return fail(std::move(done.error()));
            }
        }
        if (Status flushed = flush(); !flushed) return fail(std::move(flushed.error()));
        return checked(PyLong_FromLongLong(events_));
    }

    Status flush() {
        if (text_.empty()) return {};
        Ref piece = Ref::steal(PyUnicode_DecodeUTF8(text_.data(), static_cast<Py_ssize_t>(text_.size()), "strict"));
        if (!piece) return fail_fetch();
        text_.clear();
        Ref written = Ref::steal(PyObject_CallMethod(host_.get(), "write", "O", piece.get()));
        if (!written) return fail_fetch();
        return {};
    }

private:
    // -- routing

    Status take(const Record& record, PyObject* fallback) {
        bool in_main = fallback == main_list_.get();
        if (in_main && record.native_id == Record::Id::absent) {
            waiting_.emplace_back(record.bytes);
            return {};
        }
        return route(record, fallback, in_main);
    }

    // The record's events, on its thread's track or its task's.
    Status route(const Record& record, PyObject* fallback, bool in_main) {
        Result<Track*> found = thread_of(record, fallback, in_main);
        if (!found) return fail(std::move(found.error()));
        Track* thread = *found;
        Split& split = *thread->split;
        if (record.type.is("frame")) {
            if (record.event.is("call")) {
                if (record.frame_id.set && record.path.set) {
                    split.paths[std::string(record.frame_id.bytes)] = interned_.get(record.path.bytes);
                }
            } else {
                if (record.frame_id.set) {
                    auto at = split.paths.find(record.frame_id.bytes);
                    if (at != split.paths.end()) split.paths.erase(at);
                }
                split.returned = record.path.set ? interned_.get(record.path.bytes) : nullptr;
            }
        } else if (record.type.is("exception")) {
            if (split.current != nullptr) {
                Ref path = split.returned != nullptr ? text_of(*split.returned) : Ref::borrow(Py_None);
                if (!path) return fail_fetch();
                Result<Ref> raised = checked(PyObject_CallMethod(
                    host_.get(), "task_raised", "s#O", split.current->task_key.data(),
                    static_cast<Py_ssize_t>(split.current->task_key.size()), path.get()));
                if (!raised) return fail(std::move(raised.error()));
            }
        } else if (record.type.is("task_created") || record.type.is("task_enter") || record.type.is("task_leave")) {
            return task_record(*thread, split, record);
        }
        Track* track = split.current != nullptr ? split.current : thread;
        return add(*track, record);
    }

    Status task_record(Track& thread, Split& split, const Record& record) {
        Result<Ref> decoded = decode(record);
        if (!decoded) return fail(std::move(decoded.error()));
        Ref site = Ref::borrow(Py_None);
        if (record.has_site && record.site_frame_id.set) {
            auto at = split.paths.find(record.site_frame_id.bytes);
            if (at != split.paths.end()) site = text_of(*at->second);
            if (!site) return fail_fetch();
        }
        Result<Ref> key = checked(PyObject_CallMethod(host_.get(), "task", "OOO", decoded->get(), thread.tid.get(),
                                                      site.get()));
        if (!key) return fail(std::move(key.error()));
        if (record.type.is("task_leave")) {
            split.current = nullptr;
        } else if (record.type.is("task_enter")) {
            Result<std::string> text = utf8_of(key->get());
            if (!text) return fail(std::move(text.error()));
            std::string index = thread.tid_text + '\0' + *text;
            auto at = tasks_.find(index);
            if (at == tasks_.end()) {
                auto track = std::make_unique<Track>();
                int64_t tid = task_tids + static_cast<int64_t>(task_tracks_.size());
                json_text::number(track->tid_text, tid);
                track->tid = Ref::steal(PyLong_FromLongLong(tid));
                if (!track->tid) return fail_fetch();
                track->is_task = true;
                track->task_key = std::move(*text);
                split.task_tracks.push_back(track.get());
                at = tasks_.emplace(std::move(index), track.get()).first;
                task_tracks_.push_back(std::move(track));
            }
            split.current = at->second;
        }
        return {};
    }

    static Ref text_of(const std::string& text) {
        return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    }

    Result<Track*> thread_of(const Record& record, PyObject* fallback, bool in_main) {
        ThreadKey key;
        if (record.native_id == Record::Id::value) {
            key.kind = 1;
            key.negative = record.id_negative;
            key.value = record.id_value;
        } else if (record.native_id == Record::Id::absent && fallback != Py_None) {
            int overflow = 0;
            long long value = PyLong_CheckExact(fallback) ? PyLong_AsLongLongAndOverflow(fallback, &overflow) : 0;
            if (value == -1 && PyErr_Occurred()) return fail_fetch();
            unsigned long long large = 0;
            if (PyLong_CheckExact(fallback) && overflow > 0) {
                large = PyLong_AsUnsignedLongLong(fallback);
                if (large == static_cast<unsigned long long>(-1) && PyErr_Occurred()) PyErr_Clear();
                else overflow = 0;
            }
            if (PyLong_CheckExact(fallback) && !overflow) {
                key.kind = 1;
                key.negative = large == 0 && value < 0;
                key.value = large != 0 ? static_cast<uint64_t>(large) : static_cast<uint64_t>(value);
            } else if (PyUnicode_CheckExact(fallback)) {
                Result<std::string> text = utf8_of(fallback);
                if (!text) return fail(std::move(text.error()));
                key.kind = 2;
                key.text = std::move(*text);
            } else {
                key.kind = 3;
                key.object = fallback;
            }
        }
        key.named = record.thread.set;
        if (key.named) key.name.assign(record.thread.bytes);
        Track* thread;
        if (last_thread_ != nullptr && key == last_key_) {
            thread = last_thread_;
        } else {
            auto found = index_.find(key);
            if (found != index_.end()) {
                thread = found->second;
            } else {
                auto made = std::make_unique<Track>();
                if (key.kind == 1) {
                    integer(made->tid_text, key.negative, key.value);
                    made->tid = Ref::steal(key.negative ? PyLong_FromLongLong(static_cast<long long>(key.value))
                                                        : PyLong_FromUnsignedLongLong(key.value));
                } else {
                    // A thread without a native id is numbered by its place.
                    int64_t tid = (in_main ? in_main_ : static_cast<int64_t>(threads_.size())) + 1;
                    json_text::number(made->tid_text, tid);
                    made->tid = Ref::steal(PyLong_FromLongLong(tid));
                }
                if (!made->tid) return fail_fetch();
                if (key.kind == 3) objects_.push_back(Ref::borrow(fallback));
                made->name = key.named ? key.name : std::string("thread");
                made->place = {1, static_cast<int64_t>(threads_.size())};
                Split*& split = splits_[made->tid_text];
                if (split == nullptr) {
                    split_store_.push_back(std::make_unique<Split>());
                    split = split_store_.back().get();
                }
                made->split = split;
                thread = made.get();
                index_.emplace(key, thread);
                threads_.push_back(std::move(made));
            }
            last_key_ = std::move(key);
            last_thread_ = thread;
        }
        if (in_main && thread->place.first == 1) thread->place = {0, in_main_++};
        return thread;
    }

    // -- one track

    Status add(Track& track, const Record& record) {
        bool note = record.type.is("exception") || record.type.is("suspension") || record.type.is("resumption");
        if (note) {
            Result<bool> taken = take_note(track, record);
            if (!taken) return fail(std::move(taken.error()));
            if (*taken) return {};
        }
        settle(track);
        return add_record(track, record);
    }

    // Whether the record says more of the frame record before it, and was
    // taken into that call's event.
    Result<bool> take_note(Track& track, const Record& record) {
        if (!record.frame_id.set) return false;
        if (record.type.is("resumption")) {
            auto found = track.running.find(record.frame_id.bytes);
            if (found == track.running.end()) return false;
            found->second->resumed = true;
            return true;
        }
        if (!track.has_pending || !track.pending_has_frame_id || track.pending_frame_id != record.frame_id.bytes) {
            return false;
        }
        Pending& pending = track.pending;
        if (record.type.is("suspension")) {
            std::string value = pending.has_return ? std::move(pending.value) : std::string("\"None\"");
            pending.has_return = false;
            pending.note("yielded", std::move(value));
            return true;
        }
        pending.has_return = false;
        Result<Ref> decoded = decode(record);
        if (!decoded) return fail(std::move(decoded.error()));
        Result<Ref> text = checked(PyObject_CallMethod(host_.get(), "exception_text", "O", decoded->get()));
        if (!text) return fail(std::move(text.error()));
        std::string json;
        if (Status done = quoted_object(json, text->get()); !done) return fail(std::move(done.error()));
        pending.note("exception", std::move(json));
        return true;
    }

    // Writes the held events of the call that returned last.
    void settle(Track& track) {
        if (!track.has_pending) return;
        track.has_pending = false;
        std::string event = std::move(track.pending.head);
        finish_event(event, track.pending);
        write_event(event);
        if (track.pending_events > 0) {
            text_.append(track.pending_rest);
            events_ += track.pending_events;
            track.pending_rest.clear();
            track.pending_events = 0;
        }
        track.pending = Pending{};
    }

    Status add_record(Track& track, const Record& record) {
        if (record.has_timestamp) {
            double stamp = record.timestamp;
            if (!track.stamped) {
                track.first = track.last = stamp;
                track.stamped = true;
            } else {
                track.first = std::min(track.first, stamp);
                track.last = std::max(track.last, stamp);
            }
        }
        Call* parent = nullptr;
        if (record.has_site && record.site_frame_id.set) {
            auto found = track.running.find(record.site_frame_id.bytes);
            if (found != track.running.end()) parent = found->second;
        }
        double low = parent != nullptr ? parent->begin : (track.stamped ? track.first : start_);
        if (record.type.set && kinds_.find(record.type.bytes) != kinds_.end()) {
            return operation(track, record, parent, low);
        }
        if (!record.type.is("frame")) {
            Result<Ref> decoded = decode(record);
            if (!decoded) return fail(std::move(decoded.error()));
            Result<Ref> event = checked(PyObject_CallMethod(host_.get(), "instant", "OOd", track.tid.get(),
                                                            decoded->get(), low));
            if (!event) return fail(std::move(event.error()));
            return host_event(event->get());
        }
        if (record.event.is("call")) {
            auto call = std::make_unique<Call>();
            call->parent = parent;
            call->begin = record.has_timestamp ? std::max(record.timestamp, low) : low;
            call->has_call = true;
            describe(*call, record);
            if (record.qualname.truthy()) call->call_qualname = interned_.get(record.qualname.bytes);
            if (!call->body) {
                if (Status done = arguments(*call, record); !done) return done;
            }
            Call* placed = call.release();
            if (record.frame_id.set) track.running[std::string(record.frame_id.bytes)] = placed;
            append(track.siblings(parent), placed);
            return {};
        }
        Call* call = nullptr;
        if (record.frame_id.set) {
            auto found = track.running.find(record.frame_id.bytes);
            if (found != track.running.end()) {
                call = found->second;
                track.running.erase(found);
            }
        }
        if (call == nullptr) {  // a return without its call starts with its caller
            auto made = std::make_unique<Call>();
            made->parent = parent;
            made->begin = low;
            describe(*made, record);
            call = made.release();
            append(track.siblings(parent), call);
        } else if (record.locals_qualname && record.locals_module) {
            call->body = true;
        }
        call->has_ret = true;
        if (record.qualname.truthy()) call->ret_qualname = interned_.get(record.qualname.bytes);
        if (!call->body) {
            if (Status done = return_value(*call, record); !done) return done;
        }
        if (record.has_timestamp) {
            track.has_pending = true;
            track.pending_has_frame_id = record.frame_id.set;
            track.pending_frame_id.assign(record.frame_id.bytes);
            return close(track, call, std::max(record.timestamp, call->begin), true);
        }
        return {};
    }

    // The fields of the call's first record.
    void describe(Call& call, const Record& record) {
        call.has_frame_id = record.frame_id.set;
        if (record.frame_id.set) call.frame_id.assign(record.frame_id.bytes);
        if (record.co_name.truthy()) call.co_name = interned_.get(record.co_name.bytes);
        if (record.path.set) call.path = interned_.get(record.path.bytes);
        call.body = record.co_name.is("<module>") || (record.locals_qualname && record.locals_module);
    }

    // The event of an operation outside the user's code, by the host, which
    // pairs the track's operations.
    Status operation(Track& track, const Record& record, Call* parent, double low) {
        Result<Ref> decoded = decode(record);
        if (!decoded) return fail(std::move(decoded.error()));
        Ref where = Ref::borrow(Py_None);
        if (parent != nullptr && parent->has_call && parent->path != nullptr) {
            where = text_of(*parent->path);
            if (!where) return fail_fetch();
        }
        track.operations = true;
        Result<Ref> events = checked(PyObject_CallMethod(host_.get(), "operation", "OOOd", track.tid.get(),
                                                         decoded->get(), where.get(), low));
        if (!events) return fail(std::move(events.error()));
        return host_events(events->get());
    }

    // The events of `call` ending at `end` and of the calls under it that
    // are still open, which end with it (the last of them first, as a
    // stack takes them); the first held while `held`.
    Status close(Track& track, Call* call, double end, bool held) {
        unlink(track.siblings(call->parent), call);
        std::vector<std::pair<Call*, double>> stack{{call, end}};
        bool first = true;
        while (!stack.empty()) {
            auto [current, ends] = stack.back();
            stack.pop_back();
            if (current->has_frame_id) {
                auto found = track.running.find(current->frame_id);
                if (found != track.running.end() && found->second == current) track.running.erase(found);
            }
            for (Call* child = current->first_child; child != nullptr; child = child->next) {
                stack.emplace_back(child, std::max(ends, child->begin));
            }
            Pending event;
            Status made = complete(track, *current, ends, event);
            delete current;
            if (!made) {
                for (auto& [left, _] : stack) delete_calls_under(left);
                return made;
            }
            if (first && held) {
                track.pending = std::move(event);
            } else {
                std::string text = std::move(event.head);
                finish_event(text, event);
                if (held) {
                    // After the held event, whatever comes before it.
                    separator(track.pending_rest);
                    track.pending_rest.append(text);
                    ++track.pending_events;
                } else {
                    write_event(text);
                }
            }
            first = false;
        }
        return {};
    }

    static void delete_calls_under(Call* call) {
        delete_calls(call->first_child);
        delete call;
    }

    Status complete(const Track& track, const Call& call, double end, Pending& event) {
        const Layout& layout = layout_;
        std::string& out = event.head;
        const std::string* name = call.call_qualname != nullptr ? call.call_qualname
                                  : call.ret_qualname != nullptr ? call.ret_qualname
                                  : call.co_name != nullptr      ? call.co_name
                                                                 : question_;
        double ts = round3((call.begin - start_) * 1e6);
        double dur = round3(round3((end - start_) * 1e6) - ts);
        out.push_back('{');
        layout.item(out, true, event_level);
        out.append("\"name\": ");
        if (Status done = quoted(out, *name); !done) return done;
        layout.item(out, false, event_level);
        out.append(call.body ? "\"cat\": \"body\"" : "\"cat\": \"call\"");
        layout.item(out, false, event_level);
        out.append("\"ph\": \"X\"");
        layout.item(out, false, event_level);
        out.append("\"ts\": ");
        if (Status done = real(out, ts); !done) return done;
        layout.item(out, false, event_level);
        out.append("\"dur\": ");
        if (Status done = real(out, dur); !done) return done;
        layout.item(out, false, event_level);
        out.append("\"pid\": 1");
        layout.item(out, false, event_level);
        out.append("\"tid\": ");
        out.append(track.tid_text);
        layout.item(out, false, event_level);
        out.append("\"args\": {");
        layout.item(out, true, event_level + 1);
        out.append("\"path\": ");
        if (Status done = quoted(out, call.path != nullptr ? std::string_view(*call.path) : ""); !done) return done;
        if (call.has_arguments && !call.body) {
            layout.item(out, false, event_level + 1);
            out.append("\"arguments\": ");
            out.append(call.arguments);
        }
        event.has_return = call.has_ret && !call.body;
        if (event.has_return) event.value = call.value;
        event.resumed = call.resumed;
        return {};
    }

    // Ends an event's text after its head: how it ended, then the
    // closing brackets.
    void finish_event(std::string& out, const Pending& event) const {
        if (event.has_return) {
            layout_.item(out, false, event_level + 1);
            out.append("\"return\": ");
            out.append(event.value);
        }
        if (event.resumed) {
            layout_.item(out, false, event_level + 1);
            out.append("\"resumed\": \"true\"");
        }
        for (const auto& [key, text] : event.notes) {
            layout_.item(out, false, event_level + 1);
            out.push_back('"');
            out.append(key);
            out.append("\": ");
            out.append(text);
        }
        layout_.close(out, '}', event_level + 1);
        layout_.close(out, '}', event_level);
    }

    // -- values

    // The JSON object {name: shown value} of a call's arguments.
    Status arguments(Call& call, const Record& record) {
        Result<Ref> decoded = decode_fields(record.bytes, memo_, locals_fields_);
        if (!decoded) return fail(std::move(decoded.error()));
        if (!*decoded) decoded = decode(record);
        if (!decoded) return fail(std::move(decoded.error()));
        PyObject* values = PyDict_GetItemWithError(decoded->get(), locals_key_.get());
        if (values == nullptr && PyErr_Occurred()) return fail_fetch();
        if (values == nullptr || !PyDict_Check(values)) return {};
        Ref tag = Ref::steal(PyUnicode_FromString("__sarn__"));
        if (!tag) return fail_fetch();
        int tagged = PyDict_Contains(values, tag.get());
        if (tagged < 0) return fail_fetch();
        if (tagged) return {};
        Ref held = Ref::borrow(values);
        PyObject* key;
        PyObject* value;
        Py_ssize_t at = 0;
        while (PyDict_Next(values, &at, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) {  // keys made text by Python, which may merge them
                Result<Ref> shown = checked(PyObject_CallMethod(host_.get(), "arguments", "O", values));
                if (!shown) return fail(std::move(shown.error()));
                held = std::move(*shown);
                break;
            }
        }
        std::string& out = call.arguments;
        bool host_made = held.get() != values;
        bool first = true;
        at = 0;
        out.push_back('{');
        while (PyDict_Next(held.get(), &at, &key, &value)) {
            if (!PyUnicode_Check(key)) return fail(Error::raise(PyExc_TypeError, "argument names must be texts"));
            Result<std::string> name = utf8_of(key);
            if (!name) return fail(std::move(name.error()));
            if (!host_made && *name == "__class__") continue;  // the implicit cell of methods that call super()
            layout_.item(out, first, event_level + 2);
            first = false;
            if (Status done = quoted(out, *name); !done) return done;
            out.append(": ");
            Status done = host_made ? quoted_object(out, value) : shown_value(out, value);
            if (!done) return done;
        }
        if (first) out.push_back('}');
        else layout_.close(out, '}', event_level + 2);
        call.has_arguments = true;
        return {};
    }

    Status return_value(Call& call, const Record& record) {
        Result<Ref> decoded = decode_fields(record.bytes, memo_, arg_fields_);
        if (!decoded) return fail(std::move(decoded.error()));
        if (!*decoded) decoded = decode(record);
        if (!decoded) return fail(std::move(decoded.error()));
        PyObject* value = PyDict_GetItemWithError(decoded->get(), arg_key_.get());
        if (value == nullptr && PyErr_Occurred()) return fail_fetch();
        call.value.clear();
        return shown_value(call.value, value != nullptr ? value : Py_None);
    }

    // format_value(value, 1000) as a JSON text.
    Status shown_value(std::string& out, PyObject* value) {
        scratch_.clear();
        Result<bool> done = frame_text_.value(value, value_width, scratch_);
        if (!done) return fail(std::move(done.error()));
        if (*done) return quoted(out, scratch_);
        Result<Ref> text = checked(PyObject_CallMethod(host_.get(), "format_value", "O", value));
        if (!text) return fail(std::move(text.error()));
        return quoted_object(out, text->get());
    }

    static Status quoted_object(std::string& out, PyObject* text) {
        if (!PyUnicode_Check(text)) return fail(Error::raise(PyExc_TypeError, "expected a text"));
        Result<std::string> bytes = utf8_of(text);
        if (!bytes) return fail(std::move(bytes.error()));
        return quoted(out, *bytes);
    }

    Result<Ref> decode(const Record& record) {
        Result<Ref> decoded = decode_value(record.bytes, memo_);
        if (!decoded || *decoded) return decoded;
        Ref bytes = Ref::steal(PyBytes_FromStringAndSize(record.bytes.data(),
                                                         static_cast<Py_ssize_t>(record.bytes.size())));
        if (!bytes) return fail_fetch();
        return checked(PyObject_CallMethod(host_.get(), "decode", "O", bytes.get()));
    }

    // -- output

    void separator(std::string& out) const {
        if (layout_.indent > 0) {
            out.append(",\n");
            out.append(static_cast<size_t>(layout_.indent) * event_level, ' ');
        } else {
            out.append(", ");
        }
    }

    void write_event(std::string_view text) {
        if (events_ > 0) separator(text_);
        text_.append(text);
        ++events_;
    }

    Status host_event(PyObject* event) {
        Result<std::string> text = utf8_of(event);
        if (!text) return fail(std::move(text.error()));
        write_event(*text);
        return {};
    }

    Status host_events(PyObject* events) {
        Ref items = Ref::steal(PySequence_Fast(events, "the host gives a list of events"));
        if (!items) return fail_fetch();
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
            if (Status done = host_event(PySequence_Fast_GET_ITEM(items.get(), i)); !done) return done;
        }
        return {};
    }

    // The calls and operations still open at the end last until the
    // track's last record.
    Status finish_track(Track& track) {
        settle(track);
        double end = track.stamped ? track.last : start_;
        if (track.operations) {
            Result<Ref> events = checked(PyObject_CallMethod(host_.get(), "unended", "Od", track.tid.get(), end));
            if (!events) return fail(std::move(events.error()));
            if (Status done = host_events(events->get()); !done) return done;
        }
        while (track.first_call != nullptr) {
            Call* call = track.first_call;
            if (Status done = close(track, call, std::max(end, call->begin), false); !done) return done;
        }
        return {};
    }

    Status metadata(const Track& track, const std::string& name, int64_t order) {
        for (int which = 0; which < 2; ++which) {
            std::string out = "{";
            layout_.item(out, true, event_level);
            out.append(which == 0 ? "\"name\": \"thread_name\"" : "\"name\": \"thread_sort_index\"");
            layout_.item(out, false, event_level);
            out.append("\"ph\": \"M\"");
            layout_.item(out, false, event_level);
            out.append("\"pid\": 1");
            layout_.item(out, false, event_level);
            out.append("\"tid\": ");
            out.append(track.tid_text);
            layout_.item(out, false, event_level);
            out.append("\"args\": {");
            layout_.item(out, true, event_level + 1);
            if (which == 0) {
                out.append("\"name\": ");
                if (Status done = quoted(out, name); !done) return done;
            } else {
                out.append("\"sort_index\": ");
                json_text::number(out, order);
            }
            layout_.close(out, '}', event_level + 1);
            layout_.close(out, '}', event_level);
            write_event(out);
        }
        return {};
    }

    Ref host_, main_list_;
    double start_ = 0.0;
    Layout layout_;
    std::unordered_set<std::string, StringHash, std::equal_to<>> kinds_;
    Interned interned_;
    const std::string* question_ = nullptr;
    FrameText frame_text_;
    TextMemo memo_;
    Ref locals_key_, arg_key_;
    std::vector<WantedField> locals_fields_, arg_fields_;
    std::string scratch_;
    std::string text_;
    int64_t events_ = 0;
    int64_t in_main_ = 0;
    std::vector<std::unique_ptr<Track>> threads_;
    std::unordered_map<ThreadKey, Track*, ThreadKeyHash> index_;
    ThreadKey last_key_;
    Track* last_thread_ = nullptr;
    std::vector<Ref> objects_;  // fallbacks that key threads by identity
    std::unordered_map<std::string, Split*> splits_;
    std::vector<std::unique_ptr<Split>> split_store_;
    std::unordered_map<std::string, Track*> tasks_;
    std::vector<std::unique_ptr<Track>> task_tracks_;
    std::vector<std::string> waiting_;
};

int pass_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"host", "start", "indent", "kinds", "main_list", nullptr};
    PyObject *host, *start, *indent, *kinds, *main_list;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO", const_cast<char**>(names), &host, &start, &indent, &kinds,
                                     &main_list)) {
        return -1;
    }
    return pass_type::replace<Pass>(self, [&]() -> Pass* {
        auto pass = std::make_unique<Pass>();
        if (Status made = pass->make(host, start, indent, kinds, main_list); !made) {
            std::move(made.error()).raise_in_host();
            return nullptr;
        }
        return pass.release();
    });
}

PyObject* pass_finish(PyObject* self, PyObject* main_thread_id) {
    Pass* pass = pass_type::pass_of<Pass>(self);
    if (pass == nullptr) return nullptr;
    PyObject* result = entry_point([&] { return pass->finish(main_thread_id); });
    pass_type::drop<Pass>(self);
    return result;
}

PyObject* pass_flush(PyObject* self, PyObject*) {
    Pass* pass = pass_type::pass_of<Pass>(self);
    if (pass == nullptr) return nullptr;
    return entry_point([&]() -> Result<Ref> {
        if (Status done = pass->flush(); !done) return fail(std::move(done.error()));
        return Ref::borrow(Py_None);
    });
}

// A pass whose feed failed holds calls half closed: it ends there.
PyObject* pass_feed(PyObject* self, PyObject* args) {
    PyObject* result = pass_type::feed<Pass>(self, args);
    if (result == nullptr) pass_type::drop<Pass>(self);
    return result;
}

PyMethodDef pass_methods[] = {
    {"feed", pass_feed, METH_VARARGS, "(taken, end): records fed to the pass from byte start on."},
    {"finish", pass_finish, METH_O,
     "Writes the events still open and the metadata; the number of events. The pass ends."},
    {"flush", pass_flush, METH_NOARGS, "Hands the text held to the host's write."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace
}  // namespace chrome_pass

PyTypeObject* chrome_pass_type() {
    return pass_type::make_type<chrome_pass::Pass>("sarn._serialize.ChromePass", chrome_pass::pass_init, chrome_pass::pass_methods,
                                         "A document's records written as Trace Event Format events.");
}

}  // namespace sarn::serialize
