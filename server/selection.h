// A cursor's selection: which rows of which table, in which record layout,
// and how far the client has fetched.  The rows are found when the
// selection is made (their row keys are kept: see Database::row_key);
// their values are read when they are fetched.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "criteria.h"
#include "records.h"
#include "request_memory.h"
#include "storage.h"
#include "wire.h"

namespace kls {

// One selected row by its row key; joined is the key of the row of the
// joined table paired with it (0 when the selection is not joined).
struct Entry {
    std::int64_t rowid = 0;
    std::int64_t joined = 0;
};

struct Join {
    TableInfo table;
    std::string key; // the joined table's row key expression
    std::string from_column;
    std::string to_column;
};

struct Selection {
    TableInfo table;
    std::string key;                 // the table's row key expression
    std::vector<ColumnInfo> columns; // the columns selected, in record order
    Layout layout;
    bool character = false;
    CompiledCriteria criteria;
    std::string order; // an ORDER BY clause built from checked names, or ""
    std::int64_t limit = -1;
    std::vector<Entry> rows;
    std::size_t position = 0;     // the next row to fetch
    std::size_t batch_rows = 0;   // rows a fetch reads at once, growing to a limit
    std::optional<Entry> current; // the row fetched last
    std::optional<Join> join;
};

// Builds a selection from a request's texts: table, column list, criteria
// and options (CHAR, ORDER=column, DESC, LIMIT=n), and finds its rows.
// A criteria with placeholders finds no rows until values are assigned.
std::variant<Selection, Status> make_selection(Database& db, RequestMemory& memory,
                                               std::string_view table, std::string_view columns,
                                               std::string_view criteria, std::string_view options);

// The keys of the table's rows that meet the criteria, with placeholder
// values taken from values (texts, one per placeholder) when given.
// 20024 when they take more memory than the request has left.
std::variant<std::vector<Entry>, Status> find_rows(Database& db, RequestMemory& memory,
                                                   const Selection& selection,
                                                   const std::vector<std::string>* values);

// Reads the records of a selection's rows, a batch at a time: one
// statement per table and batch (a range of keys when the batch's keys lie
// close together, else the list of them), so a batch costs one read of the
// database rather than one a row.  The rows are read as they are now: a
// row changed since it was selected shows its new values, and a row
// deleted since is not found.
class RecordReader {
  public:
    RecordReader(Database& db, const Selection& selection);
    // Writes the record of entries[k] at k x layout.length in records and
    // sets found[k] when its rows are there (not deleted since).  False
    // when they cannot be read; failed() is then set.  next, when given,
    // is the batch the caller reads after this one: its statement may be
    // sent to the database ahead, while this batch's records are encoded.
    bool read(std::span<const Entry> entries, bool big_endian, std::span<std::uint8_t> records,
              std::vector<char>& found, std::span<const Entry> next = {});
    // The record of one entry into out (layout.length bytes).  False when
    // the row is gone or cannot be read; failed() tells which.
    bool read(const Entry& entry, bool big_endian, std::span<std::uint8_t> out);
    bool failed() const { return failed_; }

  private:
    // One table of the layout: the own (source 0) or the joined (1).
    struct Side {
        int source = 0;
        std::string select; // "SELECT key, columns FROM table WHERE "
        std::string key;
        std::vector<const Field*> fields; // its fields, in select-list order after the key
        // By list ([0]) and by range ([1]), each twice: one statement can
        // be sent ahead while the other's rows are read.
        std::unique_ptr<Query> queries[2][2];
    };
    // A statement of the batch's keys, bound (buffer: which of the two).
    Query* begin_side(Side& side, std::span<const Entry> entries, int buffer);
    // Reads the batch's rows through query into records; sends the
    // statement of ahead once this batch's rows are in hand.
    bool finish_side(Side& side, Query& query, std::span<const Entry> entries, bool big_endian,
                     std::span<std::uint8_t> records, std::vector<char>& found,
                     std::span<const Entry> ahead);
    // The statement sent ahead, and the batch it reads.
    struct Sent {
        Query* query = nullptr;
        const Entry* first = nullptr;
        std::size_t size = 0;
    };

    Database& db_;
    const Selection& selection_;
    Side own_;
    std::optional<Side> joined_;
    // The batch's keys with their places, in key order; and the keys alone.
    std::vector<std::pair<std::int64_t, std::uint32_t>> places_;
    std::vector<std::int64_t> keys_;
    std::vector<char> joined_found_;
    Sent sent_;
    int buffer_ = 0;
    bool failed_ = false;
};

} // namespace kls
