// Option text of any content: the parser stays inside the text it was
// given and every value it hands out points into that text.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "frame/options.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    // klconnect's table and klinsert's.
    kl::OptionEntry table[] = {{"TRACE", true}, {"R", false, 1}, {"W", false, 1}, {"E", false, 1},
                               {"CHAR"},        {"SKIPIA"},      {"NOWAIT"},      {"HOOK"}};
    kl::ParseReport report;
    const int result = kl::parse_options(text.data(), table, report);
    if (result < 0 && report.text[35] != '\0') std::abort();
    for (const kl::OptionEntry& entry : table) {
        if (entry.value == nullptr) continue;
        if (entry.value < text.data() || entry.value >= text.data() + text.size()) std::abort();
    }
    return 0;
}
