#include "serialize/show_pass.hpp"

#include <algorithm>
#include <iterator>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "lib/entry_point.hpp"
#include "serialize/frame_text.hpp"
#include "serialize/msgpack_cursor.hpp"
#include "serialize/pass_type.hpp"
#include "serialize/record_reader.hpp"
#include "serialize/record_scan.hpp"
#include "utils/error.hpp"
#include "utils/ref.hpp"

namespace sarn::serialize {

// Its own namespace: the module's sources are built as one unit.
namespace show_pass {
namespace {

using record_scan::max_depth;
using record_scan::Record;
using record_scan::Scanner;
using record_scan::Text;

using record_scan::Interned;
using record_scan::StringHash;

struct Stats {
    int64_t calls = 0;
    double total = 0.0;
    double own = 0.0;
    int64_t active = 0;
};

// Names with counts, in order of their first entry (as a dict keeps them).
using Counts = std::vector<std::pair<const std::string*, int64_t>>;

void count_in(Counts& counts, const std::string* name) {
    for (auto& pair : counts) {
        if (pair.first == name) {
            ++pair.second;
            return;
        }
    }
    counts.emplace_back(name, 1);
}

// A call (open until its return), a return without its call, or a frame
// of interest. Only a shown entry holds its records, decoded.
struct Entry {
    int64_t seq = 0;
    int64_t depth = 0;
    std::shared_ptr<Entry> parent;
    const std::string* name = nullptr;
    const std::string* path = nullptr;  // its record's path, when a text
    std::string frame_id;
    bool has_frame_id = false;
    bool has_call = false;
    bool has_start = false;
    double start = 0.0;
    // A call record's fields that name a class body once it returns.
    const std::string* call_qualname = nullptr;
    const std::string* call_co_name = nullptr;
    bool call_body = false;
    bool shown = false, depth_cut = false, resumed = false, suspended = false;
    int64_t shown_children = 0;
    int64_t nodes_at_call = 0;
    double child_time = 0.0;
    int64_t end_seq = 0;
    int64_t slot = -1;
    std::unique_ptr<Counts> hidden;
    Ref call, ret, interest, exception, operation;
    // A shown call's records as their bytes, when the pass makes its line.
    std::string call_bytes, ret_bytes;
};

using EntryRef = std::shared_ptr<Entry>;

// A line of the tree: its text made by the host (`text`), or, in text
// mode, made here and kept in its thread's page `page` from `offset` on.
struct Slot {
    int64_t seq;
    int order;
    Ref text;
    int64_t indent;
    size_t page = 0;
    size_t offset = 0;
    size_t length = 0;
};

// The lines made here, one after another in pages of a fixed size: they
// grow without copying what they hold (a text doubling its room would, and
// would hold up to twice what it needs).
class Pages {
public:
    static constexpr size_t size = 1 << 20;

    // Appends `line`: (page, offset) where it is.
    std::pair<size_t, size_t> add(std::string_view line) {
        if (pages_.empty() || pages_.back().size() + line.size() > pages_.back().capacity()) {
            pages_.emplace_back();
            pages_.back().reserve(std::max(size, line.size()));
        }
        std::string& page = pages_.back();
        size_t offset = page.size();
        page.append(line);
        return {pages_.size() - 1, offset};
    }

    [[nodiscard]] std::string_view at(size_t page, size_t offset, size_t length) const {
        return std::string_view(pages_[page]).substr(offset, length);
    }

    void clear() { std::vector<std::string>().swap(pages_); }

private:
    std::vector<std::string> pages_;
};

struct Limits {
    int64_t depth = -1, children = -1, lines = -1;  // -1: none
};

// The pass over one thread's records.
struct Thread {
    Ref name, native_id;
    bool from_main = false;
    int64_t index = 0;
    std::unordered_map<std::string, EntryRef, StringHash, std::equal_to<>> open;
    int64_t seq = 0, nodes = 0, calls = 0, shown_lines = 0, cut_lines = 0, root_shown = 0;
    int64_t exceptions = 0, resumptions = 0;
    Counts root_hidden;
    std::vector<Slot> slots;
    Pages text;  // in text mode, the lines made here (UTF-8)
    size_t next_slot = 0;  // in text mode, the first line not yet handed out
    std::vector<std::pair<const std::string*, Stats>> stats;  // removed ones have a null name
    std::unordered_map<const std::string*, size_t> stats_index;
    struct Slow {
        double duration;
        int64_t seq;
        Ref path;
    };
    std::vector<Slow> slowest;
    EntryRef deepest_entry;
    Ref deepest;
    EntryRef pending;

    Stats& stats_of(const std::string* name) {
        auto found = stats_index.find(name);
        if (found != stats_index.end()) return stats[found->second].second;
        stats_index.emplace(name, stats.size());
        stats.emplace_back(name, Stats{});
        return stats.back().second;
    }

    void remove_stats(const std::string* name) {
        auto found = stats_index.find(name);
        if (found == stats_index.end()) return;
        stats[found->second].first = nullptr;
        stats_index.erase(found);
    }
};

// The key of a thread: its native id (or the list's fallback) and name.
struct ThreadKey {
    int id_kind;  // 0 none, 1 integer, 2 fallback object
    bool negative;
    uint64_t value;
    PyObject* fallback;  // borrowed; the pass holds it in `fallbacks_`
    bool named;
    std::string name;

    bool operator==(const ThreadKey& other) const {
        return id_kind == other.id_kind && negative == other.negative && value == other.value &&
               fallback == other.fallback && named == other.named && name == other.name;
    }
};

struct ThreadKeyHash {
    size_t operator()(const ThreadKey& key) const noexcept {
        size_t hash = std::hash<std::string>{}(key.name);
        hash ^= std::hash<uint64_t>{}(key.value) + 0x9e3779b97f4a7c15ULL + (hash << 6) + (hash >> 2);
        return hash ^ (static_cast<size_t>(key.id_kind) << 1) ^ std::hash<const void*>{}(key.fallback);
    }
};

Result<Ref> text_of(std::string_view bytes) {
    return checked(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace"));
}

Result<Ref> text_of(const std::string* text) {
    if (text == nullptr) return Ref::borrow(Py_None);
    return text_of(std::string_view(*text));
}

class Pass {
public:
    Status make(PyObject* host, PyObject* labels, const Limits& limits) {
        host_ = Ref::borrow(host);
        limits_ = limits;
        if (!PyDict_Check(labels)) return fail(Error::raise(PyExc_TypeError, "labels must be a dict"));
        PyObject* key;
        PyObject* value;
        Py_ssize_t at = 0;
        while (PyDict_Next(labels, &at, &key, &value)) {
            Py_ssize_t size;
            const char* data = PyUnicode_AsUTF8AndSize(key, &size);
            if (data == nullptr) return fail_fetch();
            const char* label = PyUnicode_AsUTF8(value);
            if (label == nullptr) return fail_fetch();
            labels_.emplace(std::string(data, static_cast<size_t>(size)), interned_.get(label));
        }
        question_ = interned_.get("?");
        return plain_style(host);
    }

    // The host's colours when it takes a call's line whole as text (its
    // `plain_style`: name, dim, value, time, mark, error and reset codes),
    // which the pass then makes itself; None when lines are cut to a width.
    Status plain_style(PyObject* host) {
        Ref codes = Ref::steal(PyObject_GetAttrString(host, "plain_style"));
        if (!codes) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return fail_fetch();
            PyErr_Clear();
            return {};
        }
        if (codes.get() == Py_None) return {};
        if (!PyTuple_Check(codes.get()) || PyTuple_GET_SIZE(codes.get()) != 7) {
            return fail(Error::raise(PyExc_TypeError, "plain_style must be None or 7 texts"));
        }
        std::string* fields[] = {&style_.name, &style_.dim, &style_.value, &style_.time, &style_.mark,
                                 &style_.error, &style_.reset};
        for (Py_ssize_t i = 0; i < 7; ++i) {
            const char* text = PyUnicode_AsUTF8(PyTuple_GET_ITEM(codes.get(), i));
            if (text == nullptr) return fail_fetch();
            *fields[i] = text;
        }
        if (Status made = frame_text_.make(); !made) return made;
        // What a call's line reads of its records, whoever makes it.
        // Of the call site, only its line is read.
        for (const char* name : {"qualname", "co_name", "path", "locals", "timestamp", "user_code_call_site", "arg",
                                 "line_number"}) {
            Ref key = Ref::steal(PyUnicode_InternFromString(name));
            if (!key) return fail_fetch();
            line_keys_.push_back(std::move(key));
        }
        site_fields_ = {WantedField{"line_number", line_keys_.back().get()}};
        const char* names[] = {"qualname", "co_name", "path", "locals", "timestamp", "user_code_call_site", "arg"};
        for (size_t i = 0; i < std::size(names); ++i) {
            line_fields_.push_back(WantedField{names[i], line_keys_[i].get(), i == 5 ? &site_fields_ : nullptr});
        }
        own_lines_ = true;
        return {};
    }

    Result<Ref> feed(std::string_view data, Py_ssize_t start, Py_ssize_t count, PyObject* fallback, bool lenient) {
        if (finished_) return fail(Error::raise(PyExc_RuntimeError, "the pass is finished"));
        if (start < 0 || static_cast<size_t>(start) > data.size()) {
            return fail(Error::raise(PyExc_ValueError, "start out of range"));
        }
        Scanner scanner(data.substr(static_cast<size_t>(start)), lenient);
        const char* end = scanner.position();
        Py_ssize_t taken = 0;
        for (; taken < count; ++taken) {
            Record record;
            if (!scanner.record(record)) break;
            if (Status added = add(record, fallback); !added) return fail(std::move(added.error()));
            end = scanner.position();
        }
        return checked(Py_BuildValue("(nn)", taken, static_cast<Py_ssize_t>(end - data.data())));
    }

    Result<Ref> finish() {
        if (finished_) return fail(Error::raise(PyExc_RuntimeError, "the pass is finished"));
        finished_ = true;
        Ref threads = Ref::steal(PyList_New(0));
        if (!threads) return fail_fetch();
        for (auto& thread : threads_) {
            if (Status done = finish_thread(*thread); !done) return fail(std::move(done.error()));
            Result<Ref> made = thread_tuple(*thread);
            if (!made) return made;
            if (PyList_Append(threads.get(), made->get()) < 0) return fail_fetch();
        }
        // In text mode the threads keep their lines until they are taken.
        if (!text_mode_) threads_.clear();
        index_.clear();
        last_thread_ = nullptr;
        return checked(Py_BuildValue("(OO)", threads.get(), cut_ ? cut_.get() : Py_None));
    }

    [[nodiscard]] bool text_mode() const { return text_mode_; }

    // In text mode, once finished: the next lines of thread `position` (in
    // the order finish() gave), about `size` bytes of them joined by
    // newlines, or None when all are taken. A line made by the host is
    // rendered now (an operation's line reads what its pairing added).
    Result<Ref> text(Py_ssize_t position, Py_ssize_t size) {
        if (position < 0 || static_cast<size_t>(position) >= threads_.size()) {
            return fail(Error::raise(PyExc_IndexError, "no such thread"));
        }
        Thread& thread = *threads_[static_cast<size_t>(position)];
        if (thread.next_slot >= thread.slots.size()) return Ref::borrow(Py_None);
        Ref pieces = Ref::steal(PyList_New(0));
        if (!pieces) return fail_fetch();
        std::string run;
        auto flush = [&]() -> Status {
            if (run.empty()) return {};
            Ref piece = Ref::steal(PyUnicode_DecodeUTF8(run.data(), static_cast<Py_ssize_t>(run.size()), "strict"));
            if (!piece || PyList_Append(pieces.get(), piece.get()) < 0) return fail_fetch();
            run.clear();
            return {};
        };
        size_t taken = 0;
        bool first = true;
        for (; thread.next_slot < thread.slots.size() && taken < static_cast<size_t>(size); ++thread.next_slot) {
            const Slot& slot = thread.slots[thread.next_slot];
            size_t before = run.size();
            if (!first) run.push_back('\n');
            first = false;
            run.append(static_cast<size_t>(2 * slot.indent), ' ');
            if (!slot.text) {
                run.append(thread.text.at(slot.page, slot.offset, slot.length));
                taken += run.size() - before;
                continue;
            }
            Ref line = PyUnicode_Check(slot.text.get())
                           ? slot.text.dup()
                           : Ref::steal(PyObject_CallMethod(slot.text.get(), "render", "O", Py_None));
            if (!line) return fail_fetch();
            if (!PyUnicode_Check(line.get())) return fail(Error::raise(PyExc_TypeError, "a line must be a text"));
            if (Status flushed = flush(); !flushed) return fail(std::move(flushed.error()));
            if (PyList_Append(pieces.get(), line.get()) < 0) return fail_fetch();
            taken += run.size() - before + static_cast<size_t>(PyUnicode_GET_LENGTH(line.get()));
        }
        if (Status flushed = flush(); !flushed) return fail(std::move(flushed.error()));
        if (thread.next_slot >= thread.slots.size()) {
            // Every line handed out: their memory goes.
            std::vector<Slot>().swap(thread.slots);
            thread.next_slot = 0;
            thread.text.clear();
        }
        Ref empty = Ref::steal(PyUnicode_FromString(""));
        if (!empty) return fail_fetch();
        return checked(PyUnicode_Join(empty.get(), pieces.get()));
    }

private:
    // -- records

    Status add(const Record& record, PyObject* fallback) {
        if (record.type.is("trace_cut")) {
            Result<Ref> decoded = decode(record);
            if (!decoded) return fail(std::move(decoded.error()));
            cut_ = std::move(*decoded);
            return {};
        }
        // The marks of asyncio tasks tell which task ran what; they are not
        // lines of the tree (the pass runs only when the trace is shown by
        // thread, not split into tasks).
        if (record.type.is("task_created") || record.type.is("task_enter") || record.type.is("task_leave")) {
            return {};
        }
        Result<Thread*> found = thread_of(record, fallback);
        if (!found) return fail(std::move(found.error()));
        Thread& thread = **found;
        ++thread.seq;
        if (record.type.is("suspension") || record.type.is("resumption")) {
            mark_switch(thread, record);
            return {};
        }
        if (record.type.is("exception")) {
            EntryRef target = thread.pending;
            if (!target || !target->has_frame_id || !record.frame_id.set || target->frame_id != record.frame_id.bytes) {
                target = record.frame_id.set ? open_entry(thread, record.frame_id.bytes) : nullptr;
            }
            if (target) return exception(thread, *target, record);
        }
        if (Status settled = settle(thread); !settled) return settled;
        if (!record.type.is("frame")) return add_interest(thread, record);
        if (record.event.is("call")) return add_call(thread, record);
        return add_return(thread, record);
    }

    Status exception(Thread& thread, Entry& target, const Record& record) {
        Result<Ref> decoded = decode(record);
        if (!decoded) return fail(std::move(decoded.error()));
        Result<Ref> normal = checked(PyObject_CallMethod(host_.get(), "normal_exit", "O", decoded->get()));
        if (!normal) return fail(std::move(normal.error()));
        int truth = PyObject_IsTrue(normal->get());
        if (truth < 0) return fail_fetch();
        if (target.shown) target.exception = std::move(*decoded);
        if (!truth) ++thread.exceptions;
        return {};
    }

    Status add_call(Thread& thread, const Record& record) {
        ++thread.calls;
        EntryRef entry = make_entry(thread, record);
        entry->has_call = true;
        entry->call_qualname = record.qualname.set ? interned_.get(record.qualname.bytes) : nullptr;
        entry->call_co_name = record.co_name.set ? interned_.get(record.co_name.bytes) : nullptr;
        entry->call_body = record.locals_qualname && record.locals_module;
        if (record.has_timestamp) {
            entry->has_start = true;
            entry->start = record.timestamp;
        }
        if (record.frame_id.set) thread.open.insert_or_assign(std::string(record.frame_id.bytes), entry);
        Stats& stats = thread.stats_of(entry->name);
        ++stats.calls;
        ++stats.active;
        if (!thread.deepest_entry || entry->depth > thread.deepest_entry->depth) thread.deepest_entry = entry;
        place(thread, entry);
        if (entry->shown) return keep_frame(record, entry->call, entry->call_bytes);
        return {};
    }

    Status add_return(Thread& thread, const Record& record) {
        EntryRef entry;
        if (record.frame_id.set) {
            auto found = thread.open.find(record.frame_id.bytes);
            if (found != thread.open.end()) {
                entry = std::move(found->second);
                thread.open.erase(found);
            }
        }
        if (!entry) {
            entry = make_entry(thread, record);
            place(thread, entry);
            if (entry->shown) {
                if (Status kept = keep_frame(record, entry->ret, entry->ret_bytes); !kept) return kept;
            }
            return finish_entry(thread, *entry);
        }
        if (entry->shown) {
            if (Status kept = keep_frame(record, entry->ret, entry->ret_bytes); !kept) return kept;
        }
        entry->end_seq = thread.seq;
        if (record.locals_qualname) rename(thread, *entry, body_title(*entry, record));
        Stats& stats = thread.stats_of(entry->name);
        --stats.active;
        if (entry->has_start && record.has_timestamp) {
            double duration = std::max(0.0, record.timestamp - entry->start);
            stats.own += std::max(0.0, duration - entry->child_time);
            if (stats.active == 0) stats.total += duration;  // recursive calls counted once, at the outermost
            if (entry->parent) entry->parent->child_time += duration;
            Status noted = note_slow(thread, *entry, duration);
            if (!noted) return noted;
        }
        thread.pending = std::move(entry);
        return {};
    }

    Status add_interest(Thread& thread, const Record& record) {
        EntryRef parent = parent_of(thread, record);
        Result<Ref> decoded = decode(record);
        if (!decoded) return fail(std::move(decoded.error()));
        EntryRef entry = std::make_shared<Entry>();
        entry->seq = entry->end_seq = thread.seq;
        entry->depth = parent ? parent->depth + 1 : 0;
        entry->parent = parent;
        Result<const std::string*> name = interest_name(record, decoded->get());
        if (!name) return fail(std::move(name.error()));
        entry->name = *name;
        if (record.type.set && labels_.count(std::string(record.type.bytes))) {
            Result<Ref> where = parent && parent->has_call ? text_of(parent->path) : Ref::borrow(Py_None);
            if (!where) return fail(std::move(where.error()));
            Result<Ref> paired = checked(PyObject_CallMethod(host_.get(), "pairing_add", "LOO",
                                                             static_cast<long long>(thread.index), decoded->get(),
                                                             where->get()));
            if (!paired) return fail(std::move(paired.error()));
            PyObject* operation;
            PyObject* started;
            if (!PyArg_ParseTuple(paired->get(), "OO", &operation, &started)) return fail_fetch();
            int truth = PyObject_IsTrue(started);
            if (truth < 0) return fail_fetch();
            if (!truth) return {};
            entry->operation = Ref::borrow(operation);
        }
        entry->interest = std::move(*decoded);
        place(thread, entry);
        return finish_entry(thread, *entry);
    }

    void mark_switch(Thread& thread, const Record& record) {
        if (!record.frame_id.set) return;
        const EntryRef& pending = thread.pending;
        if (record.type.is("suspension") && pending && pending->has_frame_id &&
            pending->frame_id == record.frame_id.bytes) {
            pending->suspended = true;
            return;
        }
        EntryRef entry = open_entry(thread, record.frame_id.bytes);
        if (record.type.is("resumption") && entry && !entry->resumed) {
            entry->resumed = true;
            --thread.calls;
            ++thread.resumptions;
            --thread.stats_of(entry->name).calls;
        }
    }

    // -- entries

    EntryRef make_entry(Thread& thread, const Record& record) {
        EntryRef parent = parent_of(thread, record);
        auto entry = std::make_shared<Entry>();
        entry->seq = entry->end_seq = thread.seq;
        entry->depth = parent ? parent->depth + 1 : 0;
        if (record.qualname.truthy()) entry->name = interned_.get(record.qualname.bytes);
        else if (record.co_name.truthy()) entry->name = interned_.get(record.co_name.bytes);
        else entry->name = question_;
        entry->path = record.path.set ? interned_.get(record.path.bytes) : nullptr;
        entry->has_frame_id = record.frame_id.set;
        if (record.frame_id.set) entry->frame_id.assign(record.frame_id.bytes);
        entry->parent = std::move(parent);
        return entry;
    }

    static EntryRef open_entry(Thread& thread, std::string_view frame_id) {
        auto found = thread.open.find(frame_id);
        return found != thread.open.end() ? found->second : nullptr;
    }

    static EntryRef parent_of(Thread& thread, const Record& record) {
        if (!record.has_site || !record.site_frame_id.set) return nullptr;
        return open_entry(thread, record.site_frame_id.bytes);
    }

    Result<const std::string*> interest_name(const Record& record, PyObject* decoded) {
        if (record.type.set && !record.type.is("frame")) {
            auto label = labels_.find(std::string(record.type.bytes));
            if (label != labels_.end()) return label->second;
            return interned_.get(record.type.bytes);
        }
        Result<Ref> name = checked(PyObject_CallMethod(host_.get(), "interest_name", "O", decoded));
        if (!name) return fail(std::move(name.error()));
        Py_ssize_t size;
        const char* data = PyUnicode_AsUTF8AndSize(name->get(), &size);
        if (data == nullptr) return fail_fetch();
        return interned_.get(std::string_view(data, static_cast<size_t>(size)));
    }

    // The name of a class body, known at its return: "class " and its
    // qualified name (a module body keeps its name).
    const std::string* body_title(const Entry& entry, const Record& ret) {
        const std::string* name;
        if (entry.call_qualname != nullptr && !entry.call_qualname->empty()) name = entry.call_qualname;
        else if (ret.qualname.truthy()) name = interned_.get(ret.qualname.bytes);
        else if (entry.call_co_name != nullptr && !entry.call_co_name->empty()) name = entry.call_co_name;
        else name = question_;
        bool module = entry.call_co_name != nullptr && *entry.call_co_name == "<module>";
        bool body = module || entry.call_body || (ret.locals_qualname && ret.locals_module);
        if (!module && body) return interned_.get("class " + *name);
        return name;
    }

    static void rename(Thread& thread, Entry& entry, const std::string* name) {
        if (name == entry.name) return;
        Stats& old = thread.stats_of(entry.name);
        --old.calls;
        --old.active;
        if (old.calls == 0 && old.active == 0) thread.remove_stats(entry.name);
        entry.name = name;
        Stats& stats = thread.stats_of(name);
        ++stats.calls;
        ++stats.active;
    }

    // Decides whether the entry is shown, as far as is known at its start.
    void place(Thread& thread, const EntryRef& entry) {
        ++thread.nodes;
        entry->nodes_at_call = thread.nodes;
        Entry* parent = entry->parent.get();
        if (parent != nullptr && !parent->shown) return;
        if (limits_.depth >= 0 && entry->depth >= limits_.depth) {
            if (parent != nullptr) parent->depth_cut = true;
            return;
        }
        int64_t siblings = parent != nullptr ? parent->shown_children : thread.root_shown;
        bool over_count = limits_.children >= 0 && siblings >= limits_.children;
        bool over_lines = limits_.lines >= 0 && thread.shown_lines >= limits_.lines;
        if (over_count || over_lines) {
            if (over_lines && !over_count) {
                ++thread.cut_lines;
                return;
            }
            if (parent == nullptr) {
                count_in(thread.root_hidden, entry->name);
            } else {
                if (!parent->hidden) parent->hidden = std::make_unique<Counts>();
                count_in(*parent->hidden, entry->name);
            }
            return;
        }
        entry->shown = true;
        ++thread.shown_lines;
        if (parent != nullptr) ++parent->shown_children;
        else ++thread.root_shown;
        entry->slot = static_cast<int64_t>(thread.slots.size());
        thread.slots.push_back(Slot{entry->seq, 0, Ref(), entry->depth});
    }

    Status settle(Thread& thread) {
        if (!thread.pending) return {};
        EntryRef entry = std::move(thread.pending);
        thread.pending = nullptr;
        return finish_entry(thread, *entry);
    }

    // The entry's line is complete: render it, and say what was left out under it.
    Status finish_entry(Thread& thread, Entry& entry) {
        if (entry.slot >= 0) {
            if (Status put = put_line(thread, entry); !put) return put;
        }
        entry.call = Ref();
        entry.ret = Ref();
        std::string().swap(entry.call_bytes);
        std::string().swap(entry.ret_bytes);
        entry.interest = Ref();
        entry.exception = Ref();
        if (!entry.shown) return {};
        int64_t indent = entry.depth + 1;
        if (entry.depth_cut) {
            Result<Ref> text = checked(PyObject_CallMethod(host_.get(), "more_below", "L",
                                                           static_cast<long long>(thread.nodes - entry.nodes_at_call)));
            if (!text) return fail(std::move(text.error()));
            thread.slots.push_back(Slot{entry.end_seq, 1, std::move(*text), indent});
        } else if (entry.hidden && !entry.hidden->empty()) {
            Result<Ref> text = hidden_text(*entry.hidden);
            if (!text) return fail(std::move(text.error()));
            thread.slots.push_back(Slot{entry.end_seq, 1, std::move(*text), indent});
        }
        return {};
    }

    // Sets the text of a shown entry's slot: in text mode, a call's line
    // made here is kept in the thread's text.
    Status put_line(Thread& thread, Entry& entry) {
        Slot& slot = thread.slots[static_cast<size_t>(entry.slot)];
        if (text_mode_) {
            Result<bool> made = own_line(entry);
            if (!made) return fail(std::move(made.error()));
            if (*made) {
                std::tie(slot.page, slot.offset) = thread.text.add(line_);
                slot.length = line_.size();
                return {};
            }
        }
        Result<Ref> line = render(entry);
        if (!line) return fail(std::move(line.error()));
        slot.text = std::move(*line);
        return {};
    }

    // A call's line made here into `line_`, from its records' bytes or, where
    // that reading leaves it, from the records decoded; false when left to
    // the host (the records then decoded for it).
    Result<bool> own_line(Entry& entry) {
        if (!own_lines_ || entry.interest || entry.operation) return false;
        if (!entry.call_bytes.empty() || !entry.ret_bytes.empty()) {
            PackedParts packed;
            packed.call = entry.call_bytes;
            packed.ret = entry.ret_bytes;
            packed.exception = entry.exception.get();
            packed.caller_path = entry.parent ? entry.parent->path : nullptr;
            packed.resumed = entry.resumed;
            packed.suspended = entry.suspended;
            line_.clear();
            Result<bool> made = frame_text_.line(packed, style_, line_);
            if (!made || *made) return made;
            for (auto [bytes, decoded] : {std::pair{&entry.call_bytes, &entry.call}, std::pair{&entry.ret_bytes,
                                                                                                &entry.ret}}) {
                if (bytes->empty()) continue;
                Result<Ref> made_record = decode_frame(*bytes);
                if (!made_record) return fail(std::move(made_record.error()));
                *decoded = std::move(*made_record);
                std::string().swap(*bytes);
            }
        }
        FrameParts parts;
        parts.call = entry.call.get();
        parts.ret = entry.ret.get();
        parts.exception = entry.exception.get();
        parts.caller_path = entry.parent ? entry.parent->path : nullptr;
        parts.resumed = entry.resumed;
        parts.suspended = entry.suspended;
        line_.clear();
        return frame_text_.line(parts, style_, line_);
    }

    // A shown entry's line, rendered by the host unless made here. The
    // caller's path is that of its record (a caller is an open call).
    Result<Ref> render(Entry& entry) {
        Result<bool> made = own_line(entry);
        if (!made) return fail(std::move(made.error()));
        if (*made) return checked(PyUnicode_DecodeUTF8(line_.data(), static_cast<Py_ssize_t>(line_.size()), "strict"));
        auto or_none = [](const Ref& ref) { return ref ? ref.get() : Py_None; };
        Result<Ref> caller_path = entry.parent ? text_of(entry.parent->path) : Ref::borrow(Py_None);
        if (!caller_path) return caller_path;
        return checked(PyObject_CallMethod(host_.get(), "line", "OOOOOOOO", or_none(entry.call), or_none(entry.ret),
                                           or_none(entry.interest), or_none(entry.exception),
                                           or_none(entry.operation), caller_path->get(),
                                           entry.resumed ? Py_True : Py_False, entry.suspended ? Py_True : Py_False));
    }

    Result<Ref> hidden_text(const Counts& counts) {
        Ref pairs = Ref::steal(PyList_New(0));
        if (!pairs) return fail_fetch();
        for (const auto& [name, count] : counts) {
            Result<Ref> text = text_of(name);
            if (!text) return text;
            Ref pair = Ref::steal(Py_BuildValue("(OL)", text->get(), static_cast<long long>(count)));
            if (!pair || PyList_Append(pairs.get(), pair.get()) < 0) return fail_fetch();
        }
        return checked(PyObject_CallMethod(host_.get(), "hidden", "O", pairs.get()));
    }

    Result<Ref> path_of(const Entry& entry) {
        std::vector<const std::string*> names;
        for (const Entry* node = &entry; node != nullptr; node = node->parent.get()) names.push_back(node->name);
        Ref path = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
        if (!path) return fail_fetch();
        for (size_t i = 0; i < names.size(); ++i) {
            Result<Ref> text = text_of(names[names.size() - 1 - i]);
            if (!text) return text;
            PyTuple_SET_ITEM(path.get(), static_cast<Py_ssize_t>(i), text->release());
        }
        return path;
    }

    // Keeps the five slowest calls: (duration, seq) ordered as Python
    // orders the tuples.
    Status note_slow(Thread& thread, const Entry& entry, double duration) {
        auto lowest = std::min_element(thread.slowest.begin(), thread.slowest.end(), [](const auto& a, const auto& b) {
            return a.duration < b.duration || (a.duration == b.duration && a.seq < b.seq);
        });
        if (thread.slowest.size() >= 5 && !(duration > lowest->duration)) return {};
        Result<Ref> path = path_of(entry);
        if (!path) return fail(std::move(path.error()));
        if (thread.slowest.size() >= 5) thread.slowest.erase(lowest);
        thread.slowest.push_back(Thread::Slow{duration, entry.seq, std::move(*path)});
        return {};
    }

    // Keeps a frame record of a shown call: its bytes when the pass makes
    // the line (read from them, decoded only if that reading leaves it),
    // decoded for the host otherwise.
    Status keep_frame(const Record& record, Ref& decoded, std::string& bytes) {
        if (own_lines_) {
            bytes.assign(record.bytes);
            return {};
        }
        Result<Ref> made = decode_frame(record.bytes);
        if (!made) return fail(std::move(made.error()));
        decoded = std::move(*made);
        return {};
    }

    // A frame record of a shown call: only what its line reads, when the
    // pass makes the line.
    Result<Ref> decode_frame(std::string_view record) {
        if (own_lines_) {
            Result<Ref> decoded = decode_fields(record, memo_, line_fields_);
            if (!decoded || *decoded) return decoded;
        }
        return decode(record);
    }

    Result<Ref> decode(const Record& record) { return decode(record.bytes); }

    Result<Ref> decode(std::string_view record) {
        Result<Ref> decoded = decode_value(record, memo_);
        if (!decoded || *decoded) return decoded;
        Ref bytes = Ref::steal(PyBytes_FromStringAndSize(record.data(), static_cast<Py_ssize_t>(record.size())));
        if (!bytes) return fail_fetch();
        return checked(PyObject_CallMethod(host_.get(), "decode", "O", bytes.get()));
    }

    Result<Thread*> thread_of(const Record& record, PyObject* fallback) {
        ThreadKey key{};
        if (record.native_id == Record::Id::value) {
            key.id_kind = 1;
            key.negative = record.id_negative;
            key.value = record.id_value;
        } else if (record.native_id == Record::Id::absent) {
            // A fallback that is an integer is the same key as that id.
            int overflow = 0;
            long long value = PyLong_CheckExact(fallback) ? PyLong_AsLongLongAndOverflow(fallback, &overflow) : 0;
            if (PyLong_CheckExact(fallback) && !overflow && !PyErr_Occurred()) {
                key.id_kind = 1;
                key.negative = value < 0;
                key.value = static_cast<uint64_t>(value);
            } else {
                PyErr_Clear();
                key.id_kind = 2;
                key.fallback = fallback;
            }
        }
        key.named = record.thread.set;
        if (key.named) key.name.assign(record.thread.bytes);
        if (last_thread_ != nullptr && key == last_key_) return last_thread_;
        auto found = index_.find(key);
        Thread* thread;
        if (found != index_.end()) {
            thread = threads_[found->second].get();
        } else {
            auto made = std::make_unique<Thread>();
            Result<Ref> name = key.named ? text_of(record.thread.bytes) : checked(PyUnicode_FromString("thread"));
            if (!name) return fail(std::move(name.error()));
            made->name = std::move(*name);
            if (key.id_kind == 0) {
                made->native_id = Ref::borrow(Py_None);
            } else if (key.id_kind == 2) {
                made->native_id = Ref::borrow(fallback);
                fallbacks_.push_back(Ref::borrow(fallback));
            } else {
                made->native_id = Ref::steal(key.negative ? PyLong_FromLongLong(static_cast<long long>(key.value))
                                                          : PyLong_FromUnsignedLongLong(key.value));
                if (!made->native_id) return fail_fetch();
            }
            made->from_main = fallback == main_list_.get();
            made->index = static_cast<int64_t>(threads_.size());
            index_.emplace(key, threads_.size());
            threads_.push_back(std::move(made));
            thread = threads_.back().get();
        }
        last_key_ = std::move(key);
        last_thread_ = thread;
        return thread;
    }

    // -- the end

    Status finish_thread(Thread& thread) {
        if (Status settled = settle(thread); !settled) return settled;
        if (thread.deepest_entry) {
            Result<Ref> path = path_of(*thread.deepest_entry);
            if (!path) return fail(std::move(path.error()));
            thread.deepest = Ref::steal(Py_BuildValue("(LO)", static_cast<long long>(thread.deepest_entry->depth),
                                                      path->get()));
            if (!thread.deepest) return fail_fetch();
            thread.deepest_entry = nullptr;
        }
        std::vector<EntryRef> open;
        open.reserve(thread.open.size());
        for (auto& [_, entry] : thread.open) open.push_back(entry);
        std::sort(open.begin(), open.end(), [](const EntryRef& a, const EntryRef& b) { return a->seq < b->seq; });
        for (const EntryRef& entry : open) {
            if (entry->slot >= 0) {
                if (Status put = put_line(thread, *entry); !put) return put;
            }
            if (entry->shown && entry->hidden && !entry->hidden->empty()) {
                Result<Ref> text = hidden_text(*entry->hidden);
                if (!text) return fail(std::move(text.error()));
                thread.slots.push_back(Slot{thread.seq + 1, 1, std::move(*text), entry->depth + 1});
            }
        }
        open.clear();
        thread.open.clear();
        Result<Ref> finished = checked(PyObject_CallMethod(host_.get(), "pairing_finish", "L",
                                                           static_cast<long long>(thread.index)));
        if (!finished) return fail(std::move(finished.error()));
        if (!thread.root_hidden.empty()) {
            Result<Ref> text = hidden_text(thread.root_hidden);
            if (!text) return fail(std::move(text.error()));
            thread.slots.push_back(Slot{thread.seq + 2, 1, std::move(*text), 0});
        }
        if (thread.cut_lines) {
            Result<Ref> text = checked(PyObject_CallMethod(host_.get(), "lines_left_out", "L",
                                                           static_cast<long long>(thread.cut_lines)));
            if (!text) return fail(std::move(text.error()));
            thread.slots.push_back(Slot{thread.seq + 3, 2, std::move(*text), 0});
        }
        std::stable_sort(thread.slots.begin(), thread.slots.end(), [](const Slot& a, const Slot& b) {
            return a.seq < b.seq || (a.seq == b.seq && a.order < b.order);
        });
        return {};
    }

    Result<Ref> thread_tuple(Thread& thread) {
        Ref stats = Ref::steal(PyList_New(0));
        Ref slowest = Ref::steal(PyList_New(0));
        Ref slots = text_mode_ ? Ref::borrow(Py_None)
                               : Ref::steal(PyList_New(static_cast<Py_ssize_t>(thread.slots.size())));
        if (!stats || !slowest || !slots) return fail_fetch();
        for (const auto& [name, figures] : thread.stats) {
            if (name == nullptr) continue;
            Result<Ref> text = text_of(name);
            if (!text) return text;
            Ref item = Ref::steal(Py_BuildValue("(OLddL)", text->get(), static_cast<long long>(figures.calls),
                                                figures.total, figures.own, static_cast<long long>(figures.active)));
            if (!item || PyList_Append(stats.get(), item.get()) < 0) return fail_fetch();
        }
        for (const auto& slow : thread.slowest) {
            Ref item = Ref::steal(Py_BuildValue("(dLO)", slow.duration, static_cast<long long>(slow.seq),
                                                slow.path.get()));
            if (!item || PyList_Append(slowest.get(), item.get()) < 0) return fail_fetch();
        }
        for (size_t i = 0; !text_mode_ && i < thread.slots.size(); ++i) {
            Slot& slot = thread.slots[i];
            Ref item = Ref::steal(Py_BuildValue("(LiOL)", static_cast<long long>(slot.seq), slot.order,
                                                slot.text ? slot.text.get() : Py_None,
                                                static_cast<long long>(slot.indent)));
            if (!item) return fail_fetch();
            PyList_SET_ITEM(slots.get(), static_cast<Py_ssize_t>(i), item.release());
        }
        if (!text_mode_) thread.slots.clear();
        Ref deepest = thread.deepest ? thread.deepest.dup() : Ref::steal(Py_BuildValue("(i())", -1));
        if (!deepest) return fail_fetch();
        return checked(Py_BuildValue("(OOOLLLOOOO)", thread.name.get(), thread.native_id.get(),
                                     thread.from_main ? Py_True : Py_False, static_cast<long long>(thread.calls),
                                     static_cast<long long>(thread.exceptions),
                                     static_cast<long long>(thread.resumptions), stats.get(), slowest.get(),
                                     deepest.get(), slots.get()));
    }

public:
    Ref main_list_;

    // Lines kept as text and handed out by text() rather than as slots.
    bool text_mode_ = false;

private:
    bool finished_ = false;
    Ref host_;
    Limits limits_;
    // Calls' lines made here rather than by the host, in these colours.
    bool own_lines_ = false;
    LineStyle style_;
    FrameText frame_text_;
    std::string line_;
    std::vector<Ref> line_keys_;
    std::vector<WantedField> line_fields_;
    std::vector<WantedField> site_fields_;
    Interned interned_;
    TextMemo memo_;  // the texts of the records decoded, shared as the batch reader shares them
    std::unordered_map<std::string, const std::string*> labels_;
    const std::string* question_ = nullptr;
    std::vector<std::unique_ptr<Thread>> threads_;
    std::unordered_map<ThreadKey, size_t, ThreadKeyHash> index_;
    std::vector<Ref> fallbacks_;
    ThreadKey last_key_{};
    Thread* last_thread_ = nullptr;
    Ref cut_;
};

Result<int64_t> limit_of(PyObject* value) {
    if (value == Py_None) return -1;
    long long number = PyLong_AsLongLong(value);
    if (number == -1 && PyErr_Occurred()) return fail_fetch();
    return number < 0 ? 0 : number;
}

int pass_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"host", "labels", "main_list", "depth", "children", "lines", "text", nullptr};
    PyObject *host, *labels, *main_list, *depth, *children, *lines;
    int text = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOO|p", const_cast<char**>(names), &host, &labels,
                                     &main_list, &depth, &children, &lines, &text)) {
        return -1;
    }
    PyObject* result = entry_point([&]() -> Result<Ref> {
        Limits limits;
        Result<int64_t> value = limit_of(depth);
        if (!value) return fail(std::move(value.error()));
        limits.depth = *value;
        value = limit_of(children);
        if (!value) return fail(std::move(value.error()));
        limits.children = *value;
        value = limit_of(lines);
        if (!value) return fail(std::move(value.error()));
        limits.lines = *value;
        auto pass = std::make_unique<Pass>();
        if (Status made = pass->make(host, labels, limits); !made) return fail(std::move(made.error()));
        pass->main_list_ = Ref::borrow(main_list);
        pass->text_mode_ = text != 0;
        pass_type::drop<Pass>(self);
        reinterpret_cast<pass_type::Object<Pass>*>(self)->pass = pass.release();
        return Ref::borrow(Py_None);
    });
    if (result == nullptr) return -1;
    Py_DECREF(result);
    return 0;
}

Pass* pass_of(PyObject* self) { return pass_type::pass_of<Pass>(self); }

PyObject* pass_finish(PyObject* self, PyObject*) {
    Pass* pass = pass_of(self);
    if (pass == nullptr) return nullptr;
    PyObject* result = entry_point([&] { return pass->finish(); });
    if (result == nullptr || !pass->text_mode()) pass_type::drop<Pass>(self);
    return result;
}

PyObject* pass_text(PyObject* self, PyObject* args) {
    Pass* pass = pass_of(self);
    if (pass == nullptr) return nullptr;
    Py_ssize_t position = 0, size = 0;
    if (!PyArg_ParseTuple(args, "nn", &position, &size)) return nullptr;
    if (!pass->text_mode()) {
        PyErr_SetString(PyExc_RuntimeError, "the pass keeps no text");
        return nullptr;
    }
    return entry_point([&] { return pass->text(position, size); });
}

PyMethodDef pass_methods[] = {
    {"feed", pass_type::feed<Pass>, METH_VARARGS, "(taken, end): records fed to the pass from byte start on."},
    {"finish", pass_finish, METH_NOARGS, "(threads, cut): the pass's threads, once every record is fed."},
    {"text", pass_text, METH_VARARGS, "text(thread, size): the next lines of a thread, in text mode, or None."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace
}  // namespace show_pass

PyTypeObject* show_pass_type() {
    return pass_type::make_type<show_pass::Pass>("sarn._serialize.ShowPass", show_pass::pass_init, show_pass::pass_methods,
                                         "The pass of `sarn show` over a document's records.");
}

}  // namespace sarn::serialize
