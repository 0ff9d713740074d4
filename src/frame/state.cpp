// The frame's process-wide state, in one place.  There is one copy per
// process and no per-thread state.  The tables are touched only by the call
// that holds the owner word (the owner word itself is atomic); the trace
// state is also read by calls outside the guard, through shared words and
// a lock (frame/trace.h).
//
// Nothing is torn down when the process ends: the tables are made once and
// never destroyed, so a call made from an application's own exit handlers
// still finds them whole.

#include <new>

#include "frame/call.h"
#include "frame/tables.h"
#include "frame/trace.h"

namespace kl {

// Identity of the thread whose call is in progress; 0 = none.
std::atomic<std::uint32_t> owner_word{0};

// Debug flag and log file name.
TraceState trace_state;

// Client instance and cursor tables.
// Built in static storage, so making it allocates nothing and cannot fail.
alignas(ClientTables) static unsigned char client_tables_storage[sizeof(ClientTables)];
ClientTables& client_tables = *new (client_tables_storage) ClientTables;

} // namespace kl
