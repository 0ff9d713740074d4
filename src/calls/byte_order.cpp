// itoi and ltol: byte reversal of 16- and 32-bit values, for applications.
// (The library's own conversion of integers in the server's byte order is
// the exchange's: transport/exchange.h.)

#include <cstring>

#include "calls/export.h"

// Stores the value's two bytes in reversed order at target (most
// significant byte first) and returns the value read back from there.
KL_EXPORT int16_t KLAPI itoi(int16_t value, void* target) {
    const auto bits = static_cast<uint16_t>(value);
    unsigned char bytes[2] = {static_cast<unsigned char>(bits >> 8),
                              static_cast<unsigned char>(bits & 0xFF)};
    if (target == nullptr) target = bytes;
    std::memcpy(target, bytes, sizeof bytes);
    int16_t result;
    std::memcpy(&result, target, sizeof result);
    return result;
}

// Stores the four bytes in reversed order (most significant first) and
// returns the value read back.  The value is taken before anything is
// stored, so target may address the value's own storage.
KL_EXPORT kl_long KLAPI ltol(kl_long value, void* target) {
    const auto bits = static_cast<uint32_t>(value);
    unsigned char bytes[4] = {
        static_cast<unsigned char>(bits >> 24), static_cast<unsigned char>((bits >> 16) & 0xFF),
        static_cast<unsigned char>((bits >> 8) & 0xFF), static_cast<unsigned char>(bits & 0xFF)};
    if (target == nullptr) target = bytes;
    std::memcpy(target, bytes, sizeof bytes);
    int32_t result;
    std::memcpy(&result, target, sizeof result);
    return result;
}
