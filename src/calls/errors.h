// The local message file klerror looks in before it asks the server.
#pragma once

namespace kl {

// Read from talvern.ini [Kelora] KLGlobal by the first klerror call and kept
// for the life of the process.  When the entry is missing, known is
// cleared and every later call skips the local file and asks the server.
// klerror runs outside the one-call guard, so it reads and fills the
// record under a lock of its own.
struct MessageFileState {
    bool read = false;   // the entry has been read
    bool known = true;   // the entry names a message file
    char name[254] = {}; // the message file, at most 253 characters
};
extern MessageFileState message_file_state;

} // namespace kl
