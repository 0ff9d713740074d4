// Option text of any content: the parser stays inside the text it was
// given and every value it hands out points into that text.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "frame/options.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    kl::OptionEntry table[] = {
        kl::option_entry("TRACE", 1),  kl::option_entry("R", 0, 1),
        kl::option_entry("W", 0, 1),   kl::option_entry("E", 0, 1),
        kl::option_entry("ANY", 2),    kl::option_entry("ONE", 1, 2, 2),
        kl::option_entry("TWO", 1, 2), kl::option_entry("NEED", 1, 0, 1),
    };
    kl::ParseReport report;
    const int result = kl::parse_options(text.data(), table, &report);
    if (result < 0 && report.text[35] != '\0') std::abort();
    for (const kl::OptionEntry& entry : table) {
        if (entry.value == nullptr) continue;
        if (entry.value < text.data() || entry.value >= text.data() + text.size()) std::abort();
    }
    return 0;
}
