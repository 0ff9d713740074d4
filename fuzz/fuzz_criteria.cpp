// Criteria text of any content: it compiles or is refused with an error
// inside the text, and compiled SQL holds nothing of the text but the
// table's own column names.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "criteria.h"

namespace {

bool same_blind(std::string_view a, std::string_view b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    return std::ranges::equal(a, b, [&](char x, char y) { return lower(x) == lower(y); });
}

std::optional<std::string> resolve(std::string_view name) {
    for (const char* column : {"id", "Name", "a", "x_1"})
        if (same_blind(name, column)) return column;
    if (same_blind(name, "q")) return "q\"q"; // a declared name that needs its quote doubled
    return std::nullopt;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto result = kls::compile_criteria(text, resolve);
    if (const auto* error = std::get_if<kls::CriteriaError>(&result)) {
        if (error->number != 20011 && error->number != 20012) std::abort();
        if (error->offset < 0 || static_cast<std::size_t>(error->offset) > size) std::abort();
        if (error->text.empty() || error->text.size() > 35) std::abort();
        return 0;
    }
    const auto& compiled = std::get<kls::CompiledCriteria>(result);
    // Outside the quoted column names only the compiler's own words remain.
    std::size_t marks = 0;
    int placeholder = 0;
    for (std::size_t i = 0; i < compiled.sql.size(); ++i) {
        const char c = compiled.sql[i];
        if (c == '"') {
            const std::size_t start = ++i;
            while (i < compiled.sql.size() &&
                   !(compiled.sql[i] == '"' &&
                     (i + 1 == compiled.sql.size() || compiled.sql[i + 1] != '"')))
                i += compiled.sql[i] == '"' ? 2 : 1;
            const std::string_view name(compiled.sql.data() + start, i - start);
            if (name != "id" && name != "Name" && name != "a" && name != "x_1" && name != "q\"\"q")
                std::abort();
        } else if (c == '?') {
            ++marks;
        } else if (std::string_view(" ()<>=ADEIKLNORSTUBWE").find(c) == std::string_view::npos) {
            std::abort();
        }
    }
    if (marks != compiled.parameters.size()) std::abort();
    for (const kls::Parameter& parameter : compiled.parameters)
        if (parameter.kind == kls::Parameter::Kind::placeholder &&
            parameter.placeholder != placeholder++)
            std::abort();
    if (placeholder != compiled.placeholders) std::abort();
    return 0;
}
