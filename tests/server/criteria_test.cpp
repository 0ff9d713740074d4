// The criteria compiler: the SQL and parameters a text compiles to, and
// where and why a text is refused.

#include <gtest/gtest.h>

#include <cctype>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "criteria.h"

namespace {

// Columns ID, Name, City and O"dd, found case-blind; "gone" throws.
std::optional<std::string> resolve(std::string_view name) {
    std::string lower;
    for (char c : name)
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "id") return "ID";
    if (lower == "name") return "Name";
    if (lower == "city") return "City";
    if (lower == "odd") return "O\"dd";
    if (lower == "gone") throw std::runtime_error("storage gone");
    return std::nullopt;
}

// A parameter as "i:5", "r:1.5", "t:text" or "?0".
std::string show(const kls::Parameter& p) {
    using Kind = kls::Parameter::Kind;
    std::ostringstream out;
    if (p.kind == Kind::integer) out << "i:" << p.integer;
    if (p.kind == Kind::real) out << "r:" << p.real;
    if (p.kind == Kind::text) out << "t:" << p.text;
    if (p.kind == Kind::placeholder) out << "?" << p.placeholder;
    return out.str();
}

struct Compiles {
    std::string text;
    std::string sql;
    std::vector<std::string> parameters;
    int placeholders = 0;
};

TEST(Criteria, CompilesToParameterisedSql) {
    const std::vector<Compiles> cases = {
        {" \t\r\n", "", {}},
        {"id = 5", R"("ID" = ?)", {"i:5"}},
        {"NAME<>'O''Brien'", R"("Name" <> ?)", {"t:O'Brien"}},
        {R"(city != "Os""lo")", R"("City" <> ?)", {"t:Os\"lo"}},
        {"odd=''", R"("O""dd" = ?)", {"t:"}},
        {"id<=-12 and ID>=+3", R"(("ID" <= ? AND "ID" >= ?))", {"i:-12", "i:3"}},
        {"id < 1.5e3 Or id > .25 OR id=7.",
         R"(("ID" < ? OR "ID" > ? OR "ID" = ?))",
         {"r:1500", "r:0.25", "r:7"}},
        {"id=1 OR name=2 AND city=3",
         R"(("ID" = ? OR ("Name" = ? AND "City" = ?)))",
         {"i:1", "i:2", "i:3"}},
        {"(id=1 OR id=2) AND NOT name LIKE 'A%'",
         R"((("ID" = ? OR "ID" = ?) AND NOT ("Name" LIKE ?)))",
         {"i:1", "i:2", "t:A%"}},
        {"not (id=1 or id=2)", R"(NOT (("ID" = ? OR "ID" = ?)))", {"i:1", "i:2"}},
        // As deep as allowed.
        {std::string(50, '(') + "id=1" + std::string(50, ')'), R"("ID" = ?)", {"i:1"}},
        {"name not like ? and city is null or city IS NOT NULL",
         R"((("Name" NOT LIKE ? AND "City" IS NULL) OR "City" IS NOT NULL))",
         {"?0"},
         1},
        {"id BETWEEN ? AND ? AND id not between 3 and ?",
         R"((("ID" BETWEEN ? AND ?) AND ("ID" NOT BETWEEN ? AND ?)))",
         {"?0", "?1", "i:3", "?2"},
         3},
        // Integers past 64 bits are reals.
        {"id = -9223372036854775808 or id = 9223372036854775808",
         R"(("ID" = ? OR "ID" = ?))",
         {"i:-9223372036854775808", "r:9.22337e+18"}},
    };
    for (const Compiles& c : cases) {
        SCOPED_TRACE(c.text);
        const auto result = kls::compile_criteria(c.text, resolve);
        ASSERT_TRUE(std::holds_alternative<kls::CompiledCriteria>(result))
            << std::get<kls::CriteriaError>(result).text;
        const auto& compiled = std::get<kls::CompiledCriteria>(result);
        EXPECT_EQ(compiled.sql, c.sql);
        std::vector<std::string> shown;
        for (const kls::Parameter& p : compiled.parameters)
            shown.push_back(show(p));
        EXPECT_EQ(shown, c.parameters);
        EXPECT_EQ(compiled.placeholders, c.placeholders);
    }
}

struct Refused {
    std::string text;
    int number;
    int offset;
    std::string message;
};

TEST(Criteria, RefusesWithOffsetAndReason) {
    std::string many = "id=1"; // and one comparison too many
    for (int i = 0; i < 500; ++i)
        many += " or id=1";
    const std::vector<Refused> cases = {
        {"nosuch = 1", 20011, 0, "nosuch"},
        {"id=1 and " + std::string(40, 'x') + "=1", 20011, 9, std::string(35, 'x')},
        {"id = ", 20012, 5, "expected value"},
        {"id", 20012, 2, "expected operator"},
        {"id = 1 name = 2", 20012, 7, "expected AND, OR or end"},
        {"id = 1)", 20012, 6, "expected AND, OR or end"},
        {"name = 'abc", 20012, 7, "unterminated text"},
        {"name = 'it''", 20012, 7, "unterminated text"},
        {"()", 20012, 1, "expected column"},
        {"(id = 1", 20012, 7, "expected ')'"},
        {"and = 1", 20012, 0, "expected column"},
        {"not not id = 1", 20012, 4, "expected column"},
        {"id = 12x", 20012, 5, "bad number"},
        {"id = 1e", 20012, 5, "bad number"},
        {"id = 1e999", 20012, 5, "number out of range"},
        {std::string("id = 5\0", 7), 20012, 6, "NUL byte in criteria"},
        {std::string("name = 'a\0b'", 12), 20012, 9, "NUL byte in criteria"},
        {"id # 1", 20012, 3, "unexpected character"},
        {"id ! 1", 20012, 3, "unexpected character"},
        {"id is 1", 20012, 6, "expected NULL"},
        {"id not = 1", 20012, 7, "expected LIKE or BETWEEN"},
        {"id between 1 or 2", 20012, 13, "expected AND"},
        {std::string(51, '(') + "id=1" + std::string(51, ')'), 20012, 50, "too deeply nested"},
        {many, 20012, static_cast<int>(many.size()) - 4, "too many conditions"},
        {std::string((1 << 20) + 1, ' '), 20012, 1 << 20, "criteria too long"},
        {"id = 1 or gone = 2", 20012, 0, "criteria not compiled"},
    };
    for (const Refused& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 60));
        const auto result = kls::compile_criteria(c.text, resolve);
        ASSERT_TRUE(std::holds_alternative<kls::CriteriaError>(result));
        const auto& error = std::get<kls::CriteriaError>(result);
        EXPECT_EQ(error.number, c.number);
        EXPECT_EQ(error.offset, c.offset);
        EXPECT_EQ(error.text, c.message);
    }
}

} // namespace
