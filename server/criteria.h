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

// Returns the column's name as declared in the table (for a case-blind
// match), or nullopt when the table has no such column.
using ColumnResolver = std::function<std::optional<std::string>(std::string_view name)>;

// Compiles a criteria text.  Never throws: every fault of the text, and a
// failure inside the compiler, comes back as a CriteriaError.
std::variant<CompiledCriteria, CriteriaError> compile_criteria(std::string_view text,
                                                               const ColumnResolver& resolve);

// Double-quotes an SQL identifier, doubling inner quotes.
std::string quote_identifier(std::string_view name);

} // namespace kls
