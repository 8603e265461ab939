#include <algorithm>
#include <utility>

#include "profiler/state.hpp"
#include "utils/convert.hpp"
#include "utils/ids.hpp"

namespace sarn {

namespace {

Result<Ref> get_attr(PyObject* obj, const char* name) { return checked(PyObject_GetAttrString(obj, name)); }

// A lookup in `config` that reports a raising key comparison as a broken invariant.
Result<PyObject*> config_lookup(PyObject* config, const char* key) {
    auto found = dict_lookup(config, key);
    if (!found) {
        // The pending error was consumed by the lookup; rebuild the description.
        return fail(Error::internal(std::string("config.get(\"") + key + "\" should not raise.: " +
                                    found.error().description()));
    }
    return *found;
}

// `filters[key]` as a list of text; a failing subscription gives an empty list.
Result<std::vector<std::string>> fragment_list(PyObject* filters, const char* key) {
    Ref value = Ref::steal(PyObject_GetItem(filters, Ref::steal(PyUnicode_FromString(key)).get()));
    if (!value) {
        PyErr_Clear();
        return std::vector<std::string>();
    }
    return to_text_list(value.get());
}

// An optional strict boolean: missing or not a boolean gives false.
Result<bool> optional_flag(PyObject* config, const char* key) {
    auto found = config_lookup(config, key);
    if (!found) return fail(std::move(found.error()));
    if (*found == nullptr) return false;
    auto flag = to_strict_bool(*found);
    return flag.value_or(false);
}

// The "engine" entry: "monitoring" records through sys.monitoring where the
// interpreter has it, "setprofile" through the profile function everywhere.
// A configuration without the entry gets the profile function on every
// interpreter: the thread's profile function is then the SarnProfiler, and a
// thread is followed, and stopped, through its own profile function alone.
// The host package asks for "monitoring" by name.
Result<Engine> engine_setting(PyObject* config) {
    constexpr Engine best = PY_VERSION_HEX >= 0x030C0000 ? Engine::monitoring : Engine::profile_function;
    auto found = config_lookup(config, "engine");
    if (!found) return fail(std::move(found.error()));
    if (*found == nullptr) return Engine::profile_function;
    auto name = to_text(*found);
    if (!name) return fail(std::move(name.error()));
    if (*name == "monitoring") return best;
    if (*name == "setprofile") return Engine::profile_function;
    return fail(Error::raise(PyExc_ValueError, "engine must be \"monitoring\" or \"setprofile\", not \"" + *name + "\""));
}

std::string skip_fingerprint(const std::vector<std::string>& include_frames,
                             const std::vector<std::string>& ignore_frames,
                             const std::unordered_set<std::string>& watched) {
    std::string text;
    auto add = [&text](const auto& names, char tag) {
        std::vector<std::string> sorted(names.begin(), names.end());
        std::sort(sorted.begin(), sorted.end());
        for (const std::string& name : sorted) text.append(1, tag).append(name).append(1, '\0');
    };
    add(include_frames, 'i');
    add(ignore_frames, 'x');
    add(watched, 'w');
    return text;
}

Result<std::optional<uint64_t>> main_thread_native_id() {
    auto threading = checked(PyImport_ImportModule("threading"));
    if (!threading) return fail(std::move(threading.error()));
    auto main_thread = checked(PyObject_CallMethod(threading->get(), "main_thread", nullptr));
    if (!main_thread) return fail(std::move(main_thread.error()));
    Ref native_id = Ref::steal(PyObject_GetAttrString(main_thread->get(), "native_id"));
    if (!native_id) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return fail_fetch();
        PyErr_Clear();
        return std::optional<uint64_t>();
    }
    return to_optional_unsigned(native_id.get());
}

// Reads a host attribute and converts it; the first failure ends the build.
template <class Convert>
auto host_attr(PyObject* host, const char* name, Convert convert) -> decltype(convert(nullptr)) {
    auto value = get_attr(host, name);
    if (!value) return fail(std::move(value.error()));
    return convert(value->get());
}

}  // namespace

Result<std::unique_ptr<ProfilerState>> build_profiler_state(PyObject* host) {
    auto state = std::make_unique<ProfilerState>();

    auto config = get_attr(host, "config");
    if (!config) return fail(std::move(config.error()));
    if (!PyDict_Check(config->get())) return fail(conversion_error(config->get(), "PyDict"));

    auto filters = config_lookup(config->get(), "filters");
    if (!filters) return fail(std::move(filters.error()));
    std::vector<std::string> include_frames, ignore_frames;
    if (*filters != nullptr) {
        auto include = fragment_list(*filters, "include_frames");
        if (!include) return fail(std::move(include.error()));
        auto ignore = fragment_list(*filters, "ignore_frames");
        if (!ignore) return fail(std::move(ignore.error()));
        include_frames = std::move(*include);
        ignore_frames = std::move(*ignore);
    }
    state->filter = FrameFilter(include_frames, ignore_frames);

    auto main_id = main_thread_native_id();
    if (!main_id) return fail(std::move(main_id.error()));
    state->main_thread_id = *main_id;

    auto timeout = config_lookup(config->get(), "sqlite_busy_timeout");
    if (!timeout) return fail(std::move(timeout.error()));
    if (*timeout != nullptr) {
        auto seconds = to_unsigned(*timeout);
        if (!seconds) return fail(std::move(seconds.error()));
        state->sqlite_busy_timeout = *seconds;
    }

    auto cap = config_lookup(config->get(), "max_trace_bytes");
    if (!cap) return fail(std::move(cap.error()));
    if (*cap != nullptr) {
        auto bytes = to_unsigned(*cap);
        if (!bytes) return fail(std::move(bytes.error()));
        state->max_trace_bytes = *bytes;
    }

    auto spill = config_lookup(config->get(), "spill_after_bytes");
    if (!spill) return fail(std::move(spill.error()));
    if (*spill != nullptr) {
        auto bytes = to_unsigned(*spill);
        if (!bytes) return fail(std::move(bytes.error()));
        state->spill_after_bytes = *bytes;
    }

    auto threading = optional_flag(config->get(), "threading");
    if (!threading) return fail(std::move(threading.error()));
    state->threading = *threading;
    auto lightweight = optional_flag(config->get(), "lightweight_repr");
    if (!lightweight) return fail(std::move(lightweight.error()));
    state->lightweight_repr = *lightweight;

    auto plugins = load_plugins(config->get());
    if (!plugins) return fail(std::move(plugins.error()));
    state->watched_names = watched_names(*plugins);
    state->plugins.unguarded() = std::move(*plugins);
    state->skip_fingerprint = skip_fingerprint(include_frames, ignore_frames, state->watched_names);

    auto engine = engine_setting(config->get());
    if (!engine) return fail(std::move(engine.error()));
    state->engine = *engine;

    auto db_path = host_attr(host, "db_path", [](PyObject* value) -> Result<std::string> {
        auto text = checked(PyObject_Str(value));
        if (!text) return fail(std::move(text.error()));
        return to_text(text->get());
    });
    if (!db_path) return fail(std::move(db_path.error()));
    state->db_path = std::move(*db_path);

    auto per_test = host_attr(host, "one_trace_per_test", to_strict_bool);
    if (!per_test) return fail(std::move(per_test.error()));
    state->one_trace_per_test = *per_test;

    auto trace_id = host_attr(host, "trace_id", to_text);
    if (!trace_id) return fail(std::move(trace_id.error()));
    state->trace_id.unguarded() = std::move(*trace_id);

    auto source = host_attr(host, "source", to_text);
    if (!source) return fail(std::move(source.error()));
    state->source = std::move(*source);

    auto timestamp = current_timestamp();
    if (!timestamp) return fail(Error::raise(PyExc_ValueError, timestamp.error()));
    state->timestamp = *timestamp;
    return state;
}

}  // namespace sarn
