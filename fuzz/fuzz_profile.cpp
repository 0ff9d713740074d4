// Profile files of any content: values come back cut to the caller's area
// and NUL-terminated.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace {

const std::string path = "/tmp/fuzz_profile_" + std::to_string(::getpid()) + ".ini";

void remove_file() {
    std::remove(path.c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    [[maybe_unused]] static const bool cleanup = std::atexit(remove_file) == 0;
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    const char* keys[][2] = {{"debug", "trace"}, {"include", "Node"}, {"strings", "18011"}};
    for (auto& key : keys) {
        char small[9];
        std::memset(small, 'X', sizeof small);
        const std::size_t n =
            kl::platform::read_profile_string(path.c_str(), key[0], key[1], "not defined", small);
        if (n >= sizeof small || small[n] != '\0') std::abort();
    }
    return 0;
}
