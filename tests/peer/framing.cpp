#include "peer/framing.h"

#include <algorithm>

namespace kl::test {

void put_number(Bytes& out, std::uint32_t v, int width, bool big_endian) {
    for (int i = 0; i < width; ++i)
        out.push_back(static_cast<std::uint8_t>(v >> 8 * (big_endian ? width - 1 - i : i)));
}

std::uint32_t get_number(const std::uint8_t* at, int width, bool big_endian) {
    std::uint32_t v = 0;
    for (int i = 0; i < width; ++i)
        v |= std::uint32_t{at[i]} << 8 * (big_endian ? width - 1 - i : i);
    return v;
}

Bytes record_body(const Bytes& payload, std::optional<std::uint32_t> length_word) {
    Bytes body;
    put_number(body, length_word.value_or(static_cast<std::uint32_t>(payload.size())));
    body.insert(body.end(), payload.begin(), payload.end());
    body.resize((body.size() + 3) / 4 * 4, 0);
    return body;
}

std::vector<Bytes> fragments(const Bytes& body, const std::vector<std::size_t>& sizes) {
    std::vector<Bytes> pieces;
    std::size_t at = 0;
    auto emit = [&](std::size_t n, bool last) {
        Bytes piece;
        put_number(piece, static_cast<std::uint32_t>(n) | (last ? last_fragment_bit : 0));
        piece.insert(piece.end(), body.begin() + static_cast<std::ptrdiff_t>(at),
                     body.begin() + static_cast<std::ptrdiff_t>(at + n));
        at += n;
        pieces.push_back(std::move(piece));
    };
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const std::size_t n = std::min(sizes[i], body.size() - at);
        emit(n, i + 1 == sizes.size() && at + n == body.size());
    }
    if (sizes.empty() || at < body.size()) emit(body.size() - at, true);
    return pieces;
}

Bytes frame_record(const Bytes& payload, std::size_t fragment) {
    const Bytes body = record_body(payload);
    Bytes framed;
    for (const Bytes& piece : fragments(body, std::vector(body.size() / fragment, fragment)))
        framed.insert(framed.end(), piece.begin(), piece.end());
    return framed;
}

ReadFragments read_fragments(const ReadExact& read, std::size_t limit, Bytes* raw) {
    ReadFragments r;
    for (bool last = false; !last;) {
        std::uint8_t header[4];
        if (!read(header, 4)) return r;
        r.started = true;
        if (raw != nullptr) raw->insert(raw->end(), header, header + 4);
        const std::uint32_t word = get_number(header);
        last = (word & last_fragment_bit) != 0;
        const std::size_t n = word & ~last_fragment_bit;
        if (n > limit - r.body.size()) return r;
        const std::size_t at = r.body.size();
        r.body.resize(at + n);
        if (n > 0 && !read(r.body.data() + at, n)) return r;
        if (raw != nullptr) raw->insert(raw->end(), r.body.begin() + at, r.body.end());
        ++r.count;
    }
    r.complete = true;
    return r;
}

std::optional<Bytes> body_payload(const Bytes& body) {
    if (body.size() < 4) return std::nullopt;
    const std::uint32_t length = get_number(body.data());
    if (length > body.size() - 4) return std::nullopt;
    return Bytes(body.begin() + 4, body.begin() + 4 + length);
}

} // namespace kl::test
