#include "wire.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <limits>
#include <tuple>

namespace kls {

namespace {

constexpr std::uint32_t last_fragment = protocol::last_fragment_flag;
// Fragments we send stay below 32768 bytes so the length never reaches the
// last-fragment bit.
constexpr std::size_t fragment_data = 8192;

void put_be32(Bytes& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 24));
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}

std::uint32_t get_be32(const std::uint8_t* at) {
    return (std::uint32_t{at[0]} << 24) | (std::uint32_t{at[1]} << 16) |
           (std::uint32_t{at[2]} << 8) | std::uint32_t{at[3]};
}

} // namespace

Channel::Channel(int socket) : socket_(socket) {}

Channel::~Channel() {
    if (socket_ >= 0) ::close(socket_);
}

bool Channel::finish(End end) {
    if (end_ == End::open) end_ = end;
    return false;
}

bool Channel::await(short events, Time until) const {
    for (;;) {
        int wait_ms = -1;
        if (until) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*until - Clock::now());
            if (left.count() <= 0) return false;
            wait_ms = static_cast<int>(std::min<std::int64_t>(left.count(), 1 << 30));
        }
        pollfd item{socket_, events, 0};
        const int n = ::poll(&item, 1, wait_ms);
        if (n > 0) return true; // ready, closed or failed: the next call tells which
        if (n < 0 && errno != EINTR) return true;
    }
}

std::pair<Channel::Clock::time_point, Channel::End> Channel::limit_from_now(End timeout) const {
    const Clock::time_point until = Clock::now() + record_timeout_;
    if (deadline_ && *deadline_ <= until) return {*deadline_, End::deadline};
    return {until, timeout};
}

bool Channel::begin_record(Time first_byte_by) {
    if (finished()) return false;
    const bool deadline_first = deadline_ && (!first_byte_by || *deadline_ <= *first_byte_by);
    if (!await(POLLIN, deadline_first ? deadline_ : first_byte_by))
        return deadline_first ? finish(End::deadline) : false;
    std::tie(record_until_, record_expiry_) = limit_from_now(End::record_timeout);
    return true;
}

template <class Move>
bool Channel::transfer(std::size_t n, short events, Clock::time_point until, End expiry,
                       Move move) {
    std::size_t done = 0;
    while (done < n) {
        const ssize_t moved = move(done);
        if (moved > 0) {
            done += static_cast<std::size_t>(moved);
        } else if (moved < 0 && errno == EINTR) {
            continue;
        } else if (moved < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!await(events, until)) return finish(expiry);
        } else {
            return finish(End::closed);
        }
    }
    return true;
}

bool Channel::read_exact(std::uint8_t* to, std::size_t n) {
    return transfer(n, POLLIN, record_until_, record_expiry_, [&](std::size_t done) {
        return ::recv(socket_, to + done, n - done, MSG_DONTWAIT);
    });
}

std::optional<Bytes> Channel::read_record(Time first_byte_by) {
    if (!begin_record(first_byte_by)) return std::nullopt;
    return read_framed();
}

std::optional<Bytes> Channel::read_record() {
    if (!begin_record(limit_from_now(End::record_timeout).first)) {
        finish(End::record_timeout);
        return std::nullopt;
    }
    return read_framed();
}

std::optional<Bytes> Channel::read_framed() {
    Bytes data;
    for (bool last = false; !last;) {
        std::uint8_t header[4];
        if (!read_exact(header, 4)) return std::nullopt;
        const std::uint32_t word = get_be32(header);
        last = (word & last_fragment) != 0;
        const std::size_t length = word & ~last_fragment;
        if (length > record_limit - data.size()) {
            finish(End::broken);
            return std::nullopt;
        }
        const std::size_t at = data.size();
        data.resize(at + length);
        if (length > 0 && !read_exact(data.data() + at, length)) return std::nullopt;
    }
    // The record holds the length word, the payload and its padding.
    if (data.size() < 4) {
        finish(End::broken);
        return std::nullopt;
    }
    const std::uint32_t length = get_be32(data.data());
    if (length > data.size() - 4) {
        finish(End::broken);
        return std::nullopt;
    }
    return Bytes(data.begin() + 4, data.begin() + 4 + length);
}

bool Channel::write_raw(std::span<const std::uint8_t> bytes) {
    if (finished()) return false;
    const auto [until, expiry] = limit_from_now(End::answer_timeout);
    return transfer(bytes.size(), POLLOUT, until, expiry, [&](std::size_t done) {
        return ::send(socket_, bytes.data() + done, bytes.size() - done,
                      MSG_NOSIGNAL | MSG_DONTWAIT);
    });
}

std::optional<Bytes> Channel::read_raw(std::size_t n) {
    if (!begin_record(std::nullopt)) return std::nullopt;
    Bytes bytes(n);
    if (!read_exact(bytes.data(), n)) return std::nullopt;
    return bytes;
}

bool Channel::write_record(std::span<const std::uint8_t> payload) {
    Bytes framed;
    append_record(framed, payload);
    return write_raw(framed);
}

void append_record(Bytes& out, std::span<const std::uint8_t> head,
                   std::span<const std::uint8_t> body) {
    // The record holds the payload's length word, the payload and padding
    // to a multiple of four bytes.
    const std::size_t payload = head.size() + body.size();
    const std::size_t size = (4 + payload + 3) / 4 * 4;
    if (size <= fragment_data) {
        // One fragment: written in place.
        put_be32(out, static_cast<std::uint32_t>(size) | last_fragment);
        put_be32(out, static_cast<std::uint32_t>(payload));
        out.insert(out.end(), head.begin(), head.end());
        out.insert(out.end(), body.begin(), body.end());
        out.resize(out.size() + (size - 4 - payload), 0);
        return;
    }
    Bytes record;
    record.reserve(size);
    put_be32(record, static_cast<std::uint32_t>(payload));
    record.insert(record.end(), head.begin(), head.end());
    record.insert(record.end(), body.begin(), body.end());
    record.resize(size, 0);
    out.reserve(out.size() + size + 4 * (size / fragment_data + 1));
    for (std::size_t at = 0; at < size;) {
        const std::size_t n = std::min(fragment_data, size - at);
        const bool last = at + n == size;
        put_be32(out, static_cast<std::uint32_t>(n) | (last ? last_fragment : 0));
        out.insert(out.end(), record.begin() + static_cast<std::ptrdiff_t>(at),
                   record.begin() + static_cast<std::ptrdiff_t>(at + n));
        at += n;
    }
}

bool Reader::take(std::size_t n) {
    if (failed_ || n > data_.size() - position_) {
        failed_ = true;
        return false;
    }
    return true;
}

std::uint16_t Reader::u16() {
    if (!take(2)) return 0;
    const std::uint8_t* at = data_.data() + position_;
    position_ += 2;
    return big_ ? static_cast<std::uint16_t>((at[0] << 8) | at[1])
                : static_cast<std::uint16_t>((at[1] << 8) | at[0]);
}

std::int32_t Reader::i32() {
    if (!take(4)) return 0;
    const std::int32_t v = get_i32(data_.data() + position_, big_);
    position_ += 4;
    return v;
}

std::uint32_t Reader::id() {
    if (!take(4)) return 0;
    const std::uint32_t v = get_be32(data_.data() + position_);
    position_ += 4;
    return v;
}

std::string Reader::string() {
    if (failed_) return {};
    const auto rest = data_.subspan(position_);
    const auto nul = std::find(rest.begin(), rest.end(), std::uint8_t{0});
    if (nul == rest.end()) {
        failed_ = true;
        return {};
    }
    std::string text(rest.begin(), nul);
    position_ += text.size() + 1;
    return text;
}

std::string Reader::text_field(std::size_t n) {
    if (!take(n)) return {};
    const auto field = data_.subspan(position_, n);
    position_ += n;
    const auto nul = std::find(field.begin(), field.end(), std::uint8_t{0});
    return std::string(field.begin(), nul);
}

std::span<const std::uint8_t> Reader::bytes(std::size_t n) {
    if (!take(n)) return {};
    const auto field = data_.subspan(position_, n);
    position_ += n;
    return field;
}

std::span<const std::uint8_t> Reader::rest() {
    if (failed_) return {};
    const auto field = data_.subspan(position_);
    position_ = data_.size();
    return field;
}

void Reader::skip_to(std::size_t offset) {
    if (failed_ || offset < position_ || offset > data_.size()) {
        failed_ = true;
        return;
    }
    position_ = offset;
}

Status error_status(std::int32_t number, std::string_view text, std::int32_t info) {
    Status s;
    s.error = number;
    s.info = info;
    s.text = std::string(text.substr(0, 35));
    return s;
}

Writer& Writer::status(const Status& s) {
    for (std::int32_t word : {s.error, s.warn, s.info, s.count, s.bufflen, s.instance, s.cursor})
        i32(word);
    zeros(5 * 4);
    i32(s.valuesize);
    zeros(4);
    return text_field(std::string_view(s.text).substr(0, 35), 36, '\0');
}

Writer& Writer::u16(std::uint16_t v) {
    if (big_) {
        data_.push_back(static_cast<std::uint8_t>(v >> 8));
        data_.push_back(static_cast<std::uint8_t>(v));
    } else {
        data_.push_back(static_cast<std::uint8_t>(v));
        data_.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    return *this;
}

Writer& Writer::i32(std::int32_t v) {
    const std::size_t at = data_.size();
    data_.resize(at + 4);
    put_i32(data_.data() + at, v, big_);
    return *this;
}

Writer& Writer::i64(std::int64_t v) {
    const std::size_t at = data_.size();
    data_.resize(at + 8);
    put_i64(data_.data() + at, v, big_);
    return *this;
}

Writer& Writer::f64(double v) {
    return i64(std::bit_cast<std::int64_t>(v));
}

Writer& Writer::id(std::uint32_t v) {
    put_be32(data_, v);
    return *this;
}

Writer& Writer::bytes(std::span<const std::uint8_t> b) {
    data_.insert(data_.end(), b.begin(), b.end());
    return *this;
}

Writer& Writer::text(std::string_view t) {
    data_.insert(data_.end(), t.begin(), t.end());
    return *this;
}

Writer& Writer::text_field(std::string_view t, std::size_t n, char pad) {
    const std::size_t take = std::min(t.size(), n);
    data_.insert(data_.end(), t.begin(), t.begin() + static_cast<std::ptrdiff_t>(take));
    data_.insert(data_.end(), n - take, static_cast<std::uint8_t>(pad));
    return *this;
}

Writer& Writer::zeros(std::size_t n) {
    data_.insert(data_.end(), n, 0);
    return *this;
}

std::int32_t clamp_i32(std::int64_t v) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(
        v, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

void put_i32(std::uint8_t* at, std::int32_t v, bool big_endian) {
    const auto u = static_cast<std::uint32_t>(v);
    for (int i = 0; i < 4; ++i)
        at[big_endian ? 3 - i : i] = static_cast<std::uint8_t>(u >> (8 * i));
}

void put_i64(std::uint8_t* at, std::int64_t v, bool big_endian) {
    const auto u = static_cast<std::uint64_t>(v);
    for (int i = 0; i < 8; ++i)
        at[big_endian ? 7 - i : i] = static_cast<std::uint8_t>(u >> (8 * i));
}

std::int32_t get_i32(const std::uint8_t* at, bool big_endian) {
    std::uint32_t u = 0;
    for (int i = 0; i < 4; ++i)
        u |= std::uint32_t{at[big_endian ? 3 - i : i]} << (8 * i);
    return static_cast<std::int32_t>(u);
}

std::int64_t get_i64(const std::uint8_t* at, bool big_endian) {
    std::uint64_t u = 0;
    for (int i = 0; i < 8; ++i)
        u |= std::uint64_t{at[big_endian ? 7 - i : i]} << (8 * i);
    return static_cast<std::int64_t>(u);
}

} // namespace kls
