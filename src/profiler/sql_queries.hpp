// The SQL queries among stored records, counted as they are stored: the
// trace listing shows how many ran and how long they took, and a save then
// need not read the document back for them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace sarn {

// How many "sql_query" records were stored, and the time from each to its
// "sql_query_end" record (the one with the same frame id).
struct SqlFacts {
    uint64_t queries = 0;
    double time = 0.0;  // seconds

    void add(const SqlFacts& other) noexcept {
        queries += other.queries;
        time += other.time;
    }
};

class SqlQueries {
public:
    // Notes a stored record of the plugin type `type` (other types are ignored).
    void note(std::string_view type, std::string_view record);

    [[nodiscard]] const SqlFacts& facts() const noexcept { return facts_; }
    void clear() noexcept {
        facts_ = SqlFacts{};
        started_.clear();
    }
    // Takes in the queries of records stored before these.
    void prepend(SqlQueries&& earlier);

private:
    SqlFacts facts_;
    std::unordered_map<std::string, double> started_;  // frame id -> start time, for queries not yet ended
};

}  // namespace sarn
