// Criteria texts, compiled to SQL.
//
// A criteria text selects rows ("CITY = 'Oslo' AND AGE BETWEEN 20 AND 30").
// It is compiled to a boolean SQL expression in which every value of the
// text is a '?' bound as a parameter; the only words of the text that reach
// the SQL are column names, and only as the table's own declared names
// (found through the resolver) in double quotes.  The compiler knows
// nothing of the storage: the caller binds the parameters and fills the
// placeholders.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kls {

// One value of the compiled SQL.
struct Parameter {
    enum class Kind { integer, real, text, placeholder };
    Kind kind = Kind::text;
    std::int64_t integer = 0;
    double real = 0;
    std::string text;
    int placeholder = 0; // for Kind::placeholder: index of the '?' in the criteria, from 0
};

struct CompiledCriteria {
    std::string sql;                   // a boolean SQL expression; empty when the text is blank
    std::vector<Parameter> parameters; // one per '?' in sql, in order
    int placeholders = 0;              // number of '?' placeholders the client must fill
};

struct CriteriaError {
    int number;       // 20011 unknown column (text = the column name), 20012 anything else
    int offset;       // byte offset in the criteria text where the fault is
    std::string text; // short, at most 35 characters
};

// The SQL the compiler writes for.  SQLite compares text bytewise and its
// LIKE ignores the case of ASCII letters whatever the column's type;
// PostgreSQL is given the same: text compared and ordered in the "C"
// collation, and LIKE on the column's text form (a date as YYYY-MM-DD, a
// number as its decimal text) through ILIKE with no escape character.
enum class Dialect { sqlite, postgres };

// A column a criteria text names: its name as declared in the table,
// whether it holds text (compared in the dialect's bytewise order) or a
// number (on PostgreSQL a number of the text is then given its type, so
// "stock > 2.5" compares as numbers, as SQLite does, rather than failing
// to read 2.5 as an integer).
struct CriteriaColumn {
    CriteriaColumn(std::string declared, bool is_text = false, bool is_number = false)
        : name(std::move(declared)), text(is_text), number(is_number) {}
    std::string name;
    bool text;
    bool number;
};

// Returns the column a name means (case-blind), or nullopt when the table
// has no such column.
using ColumnResolver = std::function<std::optional<CriteriaColumn>(std::string_view name)>;

// Compiles a criteria text.  Never throws: every fault of the text, and a
// failure inside the compiler, comes back as a CriteriaError.
std::variant<CompiledCriteria, CriteriaError>
compile_criteria(std::string_view text, const ColumnResolver& resolve,
                 Dialect dialect = Dialect::sqlite);

// The column as an operand of a comparison or ORDER BY: quoted, and for
// text on PostgreSQL in the "C" collation.
std::string ordered_column(std::string_view name, bool text, Dialect dialect);

// Double-quotes an SQL identifier, doubling inner quotes.
std::string quote_identifier(std::string_view name);

} // namespace kls
