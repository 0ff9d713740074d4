// The calls that exchange answers with a server, fed answers of any
// content in chunks of any size, a few calls in a row on one connection:
// no call reads or writes outside the caller's areas or its own, every
// call ends, and with the trace on no trace line reads past what the
// caller handed over.
//
// Every caller area is exactly as large as the call's documented bound
// (count x 1956 for fetch and list, the version maximum x 104, 220 per
// column for describe, ...), and ends where an inaccessible stretch of
// address space begins, larger than any offset a 32-bit length can add:
// a write or read one byte past the area, or two gigabytes past it,
// faults.  The bytes in front of an area are poisoned for the sanitizer.
//
// Input: byte 0 picks the byte order (bit 0), the trace switch (bit 1),
// the number of calls, 1 to 4 (bits 2-3), and whether the rest arrives in
// chunks, each led by a byte that gives its size (bit 4 clear), or whole;
// then two bytes per call, the call and a count or length for it; the rest
// arrives on the connection.

#include <sanitizer/asan_interface.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "calls/call_support.h"
#include "calls/errors.h"
#include "frame/call.h"
#include "frame/tables.h"
#include "frame/trace.h"
#include "fuzz_connection.h"
#include "klsrv32.h"
#include "transport/exchange.h"
#include "transport/state.h"

namespace {

// Bounds of the caller's areas, as the calls document them.
constexpr std::size_t record_room = KL_MAX_RECORD_BYTES; // per fetched or listed record
constexpr std::size_t catalogue_room = 1860;             // getinfo, getindexinfo, calc
constexpr std::size_t form_room = 1956;                  // form, fetch keys
constexpr std::size_t description_size = 220;
constexpr std::size_t message_size = 256;
constexpr std::size_t host_version_size = 8;
constexpr std::size_t row_room = 1786;    // insert and update rows
constexpr std::size_t values_room = 1950; // assign values

// Where a call's areas are placed: a stretch of memory followed by two
// gigabytes and a page of address space that may not be touched.
class GuardedSlot {
  public:
    static constexpr std::size_t capacity = 512 * 1024;
    static constexpr std::size_t guard = (std::size_t{1} << 31) + 4096;

    GuardedSlot() {
        void* at = mmap(nullptr, capacity + guard, PROT_NONE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (at == MAP_FAILED || mprotect(at, capacity, PROT_READ | PROT_WRITE) != 0) std::abort();
        base_ = static_cast<char*>(at);
        __asan_poison_memory_region(base_, capacity);
    }

    // An area of size bytes (at most the capacity), zero-filled.  A size
    // of 0 gives a pointer to the inaccessible stretch itself.
    char* area(std::size_t size) {
        const std::size_t start = capacity - std::min(size, capacity);
        if (start > start_)
            __asan_poison_memory_region(base_ + start_, start - start_);
        else
            __asan_unpoison_memory_region(base_ + start, start_ - start);
        start_ = start;
        std::memset(base_ + start, 0, capacity - start);
        return base_ + start;
    }

  private:
    char* base_ = nullptr;
    std::size_t start_ = capacity; // where the unpoisoned bytes begin
};

// Output areas, input areas and a second input area.
GuardedSlot out, in, in2;

// Client instance 1 and cursor 1 on it, both known to the server and
// opened on the connection in use.
bool open_instance_and_cursor() {
    if (kl::create_client_tables() != 0) return false;
    auto instance = kl::new_block<kl::ClientInstance>();
    std::memcpy(instance->node, "PROD", 5);
    std::memcpy(instance->insert_table, "T", 2);
    instance->connection = kl::live_connection();
    std::int32_t number = 0;
    if (kl::client_tables.instances.add(instance, number) != 0) return false;
    auto cursor = kl::new_block<kl::kl_cursor_t>();
    cursor->instance = number;
    cursor->connection = kl::live_connection();
    return kl::client_tables.cursors.add(cursor, number) == 0;
}

// A count or length that is sometimes negative.
kl_long signed_amount(std::uint8_t amount, int modulus) {
    return static_cast<std::int8_t>(amount) % modulus;
}

std::size_t at_least_zero(std::int64_t n) {
    return static_cast<std::size_t>(std::max<std::int64_t>(n, 0));
}

void run_call(std::uint8_t which, std::uint8_t amount) {
    klstatus st{};
    kl::ClientInstance* instance = kl::client_tables.instances.find(1);
    kl::kl_cursor_t* cursor = kl::client_tables.cursors.find(1);
    const kl_long count = signed_amount(amount, 128);  // records to fetch or list
    const kl_long columns = signed_amount(amount, 16); // to describe or bind
    switch (which % 20) {
    case 0:
        klfetch(1, "", &st, count, out.area(at_least_zero(count) * record_room));
        break;
    case 1:
        kllist(1, "", &st, "T", "C", "", count, out.area(at_least_zero(count) * record_room));
        break;
    case 2: {
        auto* records = reinterpret_cast<klversion_record*>(
            out.area(KL_VERSION_MAX_RECORDS * sizeof(klversion_record)));
        klversion(1, "", &st, amount % 16 == 0 ? "" : "PROD", amount, records);
        break;
    }
    case 3:
        kldescribe(1, "", &st, columns, out.area(at_least_zero(columns) * description_size));
        break;
    case 4:
        klcalc(1, "", &st, "T", "SUM(C)", out.area(catalogue_room));
        break;
    case 5:
        klform(1, "", &st, "T", "C", amount, out.area(form_room));
        break;
    case 6:
        klfetchkeys(1, "", &st, amount, out.area(form_room));
        break;
    case 7: {
        // Table and column as 32-byte fields.
        char* qualifiers = in.area(64);
        std::memset(qualifiers, ' ', 64);
        qualifiers[0] = 'T';
        qualifiers[32] = 'C';
        const kl_long qualifier_items[] = {202, 302, 0};
        const kl_long buffer_items[] = {305, 306, 310, 0};
        klgetinfo(1, "", &st, qualifier_items, qualifiers, buffer_items, out.area(catalogue_room));
        break;
    }
    case 8:
        klgetindexinfo(1, "", &st, "T", out.area(catalogue_room));
        break;
    case 9: {
        const kl_long in_length = amount * 23;
        const kl_long out_length = amount * 37;
        klexternal(1, "", &st, 0, "LIB", "ECHO", in.area(static_cast<std::size_t>(in_length)),
                   in_length, out.area(static_cast<std::size_t>(out_length)), out_length);
        break;
    }
    case 10: {
        // Straight to the server's text: no local message file.
        kl::message_file_state.read = true;
        kl::message_file_state.known = false;
        st.error = 11000 + amount;
        if (amount % 2 == 0)
            klerror(&st, "", out.area(message_size));
        else
            apierror(static_cast<std::uint32_t>(st.error), &st, out.area(message_size));
        break;
    }
    case 11:
        if (amount % 2 == 0)
            apihostversion(out.area(host_version_size));
        else
            apiinfo(0, "hostversion", nullptr, out.area(host_version_size));
        break;
    case 12: {
        // A table whose row lengths are cached reads that many bytes of
        // the row; another asks the catalogue (unless a call before this
        // one did), and its row may then be as long as a request carries.
        const bool cached = amount % 2 == 0 && instance != nullptr;
        if (cached) {
            std::memcpy(instance->insert_table, "T", 2);
            instance->binary_row_length = amount % 64;
            instance->char_row_length = amount % 61;
        }
        const bool character_form = (amount & 2) != 0;
        const std::size_t row =
            !cached ? row_room
                    : static_cast<std::size_t>(character_form ? amount % 61 : amount % 64);
        klinsert(1, character_form ? "CHAR" : "", &st, cached ? "T" : "U", "C", in.area(row));
        break;
    }
    case 13:
        klopencursor(1, "", &st, reinterpret_cast<kl_long*>(out.area(sizeof(kl_long))));
        break;
    case 14:
        klselect(1, "", &st, "T", "C", "");
        break;
    case 15: {
        // The row the last select, bind or form reported: a caller's area
        // holds that many bytes.
        const std::int64_t length = cursor != nullptr ? cursor->record_length : 0;
        klupdate(1, "", &st, "T", "C",
                 in.area(std::min(at_least_zero(length), GuardedSlot::capacity)));
        break;
    }
    case 16: {
        const kl_long values = amount % 8;
        const std::int64_t size = cursor != nullptr ? std::int64_t{cursor->value_size} * values : 0;
        klassignvalues(
            1, "", &st, "L", values,
            in.area(size <= static_cast<std::int64_t>(values_room) ? at_least_zero(size) : 0));
        break;
    }
    case 17:
        klbind(1, "", &st, columns, in.area(at_least_zero(columns) * description_size));
        break;
    case 18: {
        const kl_long length = amount * 23;
        klcommand(1, "", &st, 0, in.area(static_cast<std::size_t>(length)), length,
                  in2.area(static_cast<std::size_t>(length)), length);
        break;
    }
    default: {
        // The calls whose answer is a status alone.
        static void (*const calls[])(klstatus*) = {
            [](klstatus* s) { klqualify(1, "", s, "", "T", "C", "C > 1"); },
            [](klstatus* s) { kljoin(1, "", s, "T", "C", 0, "U", "D"); },
            [](klstatus* s) { kljoin303(1, "", s, "T", "C", "U", "D"); },
            [](klstatus* s) { kldelete(1, "", s, "T"); },
            [](klstatus* s) { klexport(1, "", s, "PROD", "out.txt"); },
            [](klstatus* s) { klclosecursor(1, "", s); },
            [](klstatus* s) { kldisconnect(1, "", s); },
        };
        calls[amount % 7](&st);
        break;
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t calls = 1 + ((data[0] >> 2) & 3);
    const std::size_t header = 1 + 2 * calls;
    if (size < header) return 0;
    kl::fuzz::Input input{data + header, size - header};
    input.in_chunks = (data[0] & 16) == 0;
    if (!kl::fuzz::record_input_connection(input, data[0] & 1)) return 0;
    if ((data[0] & 2) != 0) {
        kl::set_log_file("/dev/null");
        kl::trace_state.debug_flag = 1;
    }
    if (open_instance_and_cursor()) {
        for (std::size_t k = 0; k < calls; ++k)
            run_call(data[1 + 2 * k], data[2 + 2 * k]);
    }
    kl::reset_process_state();
    return 0;
}
