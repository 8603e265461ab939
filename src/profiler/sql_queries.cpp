#include "profiler/sql_queries.hpp"

#include <optional>

#include "serialize/msgpack_cursor.hpp"

namespace sarn {

namespace {

using serialize::Cursor;
using serialize::Head;
using serialize::Kind;
using serialize::number_of;

// The fields of a query's record that time it: its frame id (empty when
// absent or not a text) and its timestamp.
struct QueryMark {
    std::string_view frame_id;
    std::optional<double> timestamp;
};

QueryMark mark_of(std::string_view record) {
    QueryMark mark;
    Cursor cursor(record);
    Head map = cursor.next();
    if (map.kind != Kind::map) return mark;
    for (uint64_t i = 0; i < map.items && !cursor.failed(); ++i) {
        Head key = cursor.next();
        cursor.skip_items(key);
        Head value = cursor.next();
        cursor.skip_items(value);
        if (key.kind != Kind::str) continue;
        if (key.data == "frame_id") {
            mark.frame_id = value.kind == Kind::str ? value.data : std::string_view();
        } else if (key.data == "timestamp") {
            mark.timestamp = number_of(value);
        }
    }
    if (cursor.failed()) return QueryMark{};
    return mark;
}

}  // namespace

void SqlQueries::note(std::string_view type, std::string_view record) {
    const bool start = type == "sql_query";
    if (!start && type != "sql_query_end") return;
    if (start) ++facts_.queries;
    QueryMark mark = mark_of(record);
    if (!mark.timestamp) return;
    if (start) {
        if (!mark.frame_id.empty()) started_[std::string(mark.frame_id)] = *mark.timestamp;
        return;
    }
    auto found = started_.find(std::string(mark.frame_id));
    if (found == started_.end()) return;
    if (*mark.timestamp > found->second) facts_.time += *mark.timestamp - found->second;
    started_.erase(found);
}

void SqlQueries::prepend(SqlQueries&& earlier) {
    facts_.add(earlier.facts_);
    // An earlier start waits for its end among these records.
    for (auto& [frame_id, time] : earlier.started_) started_.try_emplace(frame_id, time);
    earlier.clear();
}

}  // namespace sarn
