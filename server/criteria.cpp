// The criteria compiler: a recursive-descent parser over a one-token
// lexer, writing the SQL as it goes.
//
//   criteria   := or-expr
//   or-expr    := and-expr { OR and-expr }
//   and-expr   := not-expr { AND not-expr }
//   not-expr   := [NOT] primary
//   primary    := '(' or-expr ')' | comparison
//   comparison := column op value | column [NOT] LIKE value
//               | column IS [NOT] NULL | column [NOT] BETWEEN value AND value
//
// Every AND or OR list and every BETWEEN is written in parentheses of its
// own and NOT always takes a parenthesised operand, so the SQL means what
// the criteria text means whatever SQL's own precedence rules are.

#include "criteria.h"

#include <charconv>
#include <cstddef>
#include <exception>
#include <system_error>
#include <utility>

namespace kls {

namespace {

constexpr int error_unknown_column = 20011;
constexpr int error_not_parsed = 20012;
constexpr std::size_t max_error_text = 35;

// Parentheses nest at most this deep; the parser recurses once per level.
constexpr int max_depth = 50;
// Comparisons in one text.  With at most two values each this keeps the
// parameters, and the depth of the expression SQL builds from a long
// AND or OR list, well inside what the storage accepts.
constexpr int max_comparisons = 500;
// Longer texts are refused before any parsing (a request holds at most
// 1 MiB anyway).
constexpr std::size_t max_text = std::size_t{1} << 20;

// A fault of the text: thrown by the parser, caught by compile_criteria.
struct Fault {
    int number;
    std::size_t offset;
    std::string text;
};

[[noreturn]] void fail(std::size_t offset, std::string text) {
    throw Fault{error_not_parsed, offset, std::move(text)};
}

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool is_word_start(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool is_word_char(char c) {
    return is_word_start(c) || is_digit(c);
}

char upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Case-blind comparison with an upper-case keyword.
bool is_keyword(std::string_view word, std::string_view keyword) {
    if (word.size() != keyword.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (upper(word[i]) != keyword[i]) return false;
    }
    return true;
}

// The words that have a meaning of their own cannot name a column.
bool is_reserved(std::string_view word) {
    for (std::string_view keyword : {"AND", "OR", "NOT", "LIKE", "IS", "NULL", "BETWEEN"}) {
        if (is_keyword(word, keyword)) return true;
    }
    return false;
}

enum class TokenKind { end, word, value, open, close, op };

struct Token {
    TokenKind kind = TokenKind::end;
    std::size_t offset = 0;
    std::string_view raw; // the token's bytes in the text
    Parameter value;      // for TokenKind::value
};

class Compiler {
  public:
    Compiler(std::string_view text, const ColumnResolver& resolve, Dialect dialect)
        : text_(text), resolve_(resolve), dialect_(dialect) {}

    CompiledCriteria run() {
        advance();
        if (token_.kind == TokenKind::end) return {};
        result_.sql = or_expr();
        if (token_.kind != TokenKind::end) fail(token_.offset, "expected AND, OR or end");
        return std::move(result_);
    }

  private:
    // ---- lexer ----

    void advance() {
        while (pos_ < text_.size() && is_blank(text_[pos_]))
            ++pos_;
        token_ = Token{};
        token_.offset = pos_;
        if (pos_ == text_.size()) return;
        const std::size_t start = pos_;
        const char c = text_[pos_];
        const char next = pos_ + 1 < text_.size() ? text_[pos_ + 1] : '\0';
        if (is_word_start(c)) {
            while (pos_ < text_.size() && is_word_char(text_[pos_]))
                ++pos_;
            token_.kind = TokenKind::word;
        } else if (is_digit(c) || c == '.' || c == '+' || c == '-') {
            lex_number();
        } else if (c == '\'' || c == '"') {
            lex_text(c);
        } else if (c == '?') {
            ++pos_;
            token_.kind = TokenKind::value;
            token_.value.kind = Parameter::Kind::placeholder;
            token_.value.placeholder = result_.placeholders++;
        } else if (c == '(' || c == ')') {
            ++pos_;
            token_.kind = c == '(' ? TokenKind::open : TokenKind::close;
        } else if (c == '=' || c == '<' || c == '>' || (c == '!' && next == '=')) {
            ++pos_;
            if (next == '=' || (c == '<' && next == '>')) ++pos_;
            token_.kind = TokenKind::op;
        } else if (c == '\0') {
            fail(pos_, "NUL byte in criteria");
        } else {
            fail(pos_, "unexpected character");
        }
        token_.raw = text_.substr(start, pos_ - start);
    }

    // [+|-] digits [. digits] [e [+|-] digits], with at least one digit
    // before the exponent.  Without a point or exponent it is an integer,
    // unless it does not fit 64 bits: then it is read as a real.
    void lex_number() {
        const std::size_t start = pos_;
        auto digits = [&] {
            const std::size_t from = pos_;
            while (pos_ < text_.size() && is_digit(text_[pos_]))
                ++pos_;
            return pos_ - from;
        };
        if (text_[pos_] == '+' || text_[pos_] == '-') ++pos_;
        std::size_t mantissa = digits();
        bool integral = true;
        if (pos_ < text_.size() && text_[pos_] == '.') {
            ++pos_;
            mantissa += digits();
            integral = false;
        }
        if (mantissa == 0) fail(start, "bad number");
        if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
            ++pos_;
            if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
            if (digits() == 0) fail(start, "bad number");
            integral = false;
        }
        // "12abc" or "1.2.3" is one bad word, not a number and another word.
        if (pos_ < text_.size() && (is_word_char(text_[pos_]) || text_[pos_] == '.')) {
            fail(start, "bad number");
        }
        std::string_view number = text_.substr(start, pos_ - start);
        if (number.front() == '+') number.remove_prefix(1); // from_chars takes no '+'
        const char* first = number.data();
        const char* last = first + number.size();
        Parameter& value = token_.value;
        token_.kind = TokenKind::value;
        if (integral) {
            auto [end, error] = std::from_chars(first, last, value.integer);
            if (error == std::errc{} && end == last) {
                value.kind = Parameter::Kind::integer;
                return;
            }
        }
        auto [end, error] = std::from_chars(first, last, value.real);
        if (error != std::errc{} || end != last) fail(start, "number out of range");
        value.kind = Parameter::Kind::real;
    }

    // A quoted text; the quote doubled inside stands for itself.
    void lex_text(char quote) {
        const std::size_t start = pos_++;
        std::string& content = token_.value.text;
        for (;;) {
            if (pos_ == text_.size()) fail(start, "unterminated text");
            const char c = text_[pos_++];
            if (c == '\0') fail(pos_ - 1, "NUL byte in criteria");
            if (c == quote) {
                if (pos_ == text_.size() || text_[pos_] != quote) break;
                ++pos_;
            }
            content += c;
        }
        token_.kind = TokenKind::value;
        token_.value.kind = Parameter::Kind::text;
    }

    bool at_keyword(std::string_view keyword) const {
        return token_.kind == TokenKind::word && is_keyword(token_.raw, keyword);
    }

    void expect_keyword(std::string_view keyword, std::string message) {
        if (!at_keyword(keyword)) fail(token_.offset, std::move(message));
        advance();
    }

    // ---- parser ----

    std::string or_expr() { return list("OR", &Compiler::and_expr); }
    std::string and_expr() { return list("AND", &Compiler::not_expr); }

    // term { keyword term }, in parentheses when there is more than one.
    std::string list(std::string_view keyword, std::string (Compiler::*term)()) {
        std::string sql = (this->*term)();
        if (!at_keyword(keyword)) return sql;
        sql.insert(sql.begin(), '(');
        while (at_keyword(keyword)) {
            advance();
            sql += ' ';
            sql += keyword;
            sql += ' ';
            sql += (this->*term)();
        }
        sql += ')';
        return sql;
    }

    std::string not_expr() {
        if (!at_keyword("NOT")) return primary();
        advance();
        return "NOT (" + primary() + ")";
    }

    std::string primary() {
        if (token_.kind != TokenKind::open) return comparison();
        if (++depth_ > max_depth) fail(token_.offset, "too deeply nested");
        advance();
        std::string sql = or_expr();
        if (token_.kind != TokenKind::close) fail(token_.offset, "expected ')'");
        advance();
        --depth_;
        return sql;
    }

    std::string comparison() {
        if (token_.kind != TokenKind::word || is_reserved(token_.raw)) {
            fail(token_.offset, "expected column");
        }
        if (++comparisons_ > max_comparisons) fail(token_.offset, "too many conditions");
        const CriteriaColumn named = column();
        std::string sql = ordered_column(named.name, named.text, dialect_);
        if (token_.kind == TokenKind::op) {
            sql += ' ';
            sql += token_.raw == "!=" ? std::string_view("<>") : token_.raw;
            sql += ' ';
            advance();
            sql += value(named);
            return sql;
        }
        if (at_keyword("IS")) {
            advance();
            const bool negated = at_keyword("NOT");
            if (negated) advance();
            expect_keyword("NULL", "expected NULL");
            return sql + (negated ? " IS NOT NULL" : " IS NULL");
        }
        const bool negated = at_keyword("NOT");
        if (negated) advance();
        if (at_keyword("LIKE")) {
            advance();
            if (dialect_ == Dialect::sqlite)
                return sql + (negated ? " NOT LIKE " : " LIKE ") + value(named);
            return "CAST(" + quote_identifier(named.name) + " AS TEXT)" +
                   (negated ? " NOT ILIKE " : " ILIKE ") + value(CriteriaColumn("", true)) +
                   " ESCAPE ''";
        }
        if (at_keyword("BETWEEN")) {
            advance();
            sql = "(" + sql + (negated ? " NOT BETWEEN " : " BETWEEN ") + value(named);
            expect_keyword("AND", "expected AND");
            return sql + " AND " + value(named) + ")";
        }
        fail(token_.offset, negated ? "expected LIKE or BETWEEN" : "expected operator");
    }

    CriteriaColumn column() {
        const std::string_view name = token_.raw;
        std::optional<CriteriaColumn> declared = resolve_(name);
        if (!declared) {
            throw Fault{error_unknown_column, token_.offset,
                        std::string(name.substr(0, max_error_text))};
        }
        advance();
        return std::move(*declared);
    }

    // The value compared with column.
    std::string value(const CriteriaColumn& column) {
        if (token_.kind != TokenKind::value) fail(token_.offset, "expected value");
        const Parameter::Kind kind = token_.value.kind;
        result_.parameters.push_back(std::move(token_.value));
        advance();
        if (dialect_ == Dialect::postgres && column.number) {
            if (kind == Parameter::Kind::integer) return "CAST(? AS bigint)";
            if (kind == Parameter::Kind::real) return "CAST(? AS double precision)";
        }
        return "?";
    }

    std::string_view text_;
    const ColumnResolver& resolve_;
    Dialect dialect_;
    std::size_t pos_ = 0;
    Token token_;
    int depth_ = 0;
    int comparisons_ = 0;
    CompiledCriteria result_;
};

CriteriaError to_error(int number, std::size_t offset, std::string text) {
    if (text.size() > max_error_text) text.resize(max_error_text);
    return {number, static_cast<int>(offset), std::move(text)};
}

} // namespace

std::variant<CompiledCriteria, CriteriaError>
compile_criteria(std::string_view text, const ColumnResolver& resolve, Dialect dialect) {
    if (text.size() > max_text) return to_error(error_not_parsed, max_text, "criteria too long");
    try {
        return Compiler(text, resolve, dialect).run();
    } catch (Fault& fault) {
        return to_error(fault.number, fault.offset, std::move(fault.text));
    } catch (...) {
        // Out of memory, or a resolver that threw: refuse the text rather
        // than let the failure escape into the server.
        return to_error(error_not_parsed, 0, "criteria not compiled");
    }
}

std::string ordered_column(std::string_view name, bool text, Dialect dialect) {
    std::string sql = quote_identifier(name);
    if (text && dialect == Dialect::postgres) sql += " COLLATE \"C\"";
    return sql;
}

std::string quote_identifier(std::string_view name) {
    std::string quoted = "\"";
    for (char c : name) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

} // namespace kls
