// The connection of one klcli run, its cursors, and the texts of failed
// calls.
#pragma once

#include <stdexcept>
#include <string>

#include "arguments.h"
#include "klsrv32.h"

namespace klcli {

// A call that failed, or an answer that cannot be used.  The program
// prints the message and ends with status 1.
class CallFailure : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The message for a failed call: the call's name, the text of the error
// (from klerror for a server status, from apierror for a result code of
// another category) and the numbers.
std::string failure_text(const char* call, std::uint32_t result, const klstatus& status);

// Throws CallFailure with failure_text when the call failed.
void check(const char* call, std::uint32_t result, const klstatus& status);

// The message text of a status through klerror.  Empty when neither a
// message file nor a connected server could give one.
std::string message_text(const klstatus& status);

// One client instance, connected on construction and disconnected when
// it ends.  close() disconnects and reports a failure; the destructor
// disconnects quietly when close() was not reached.
class Session {
  public:
    explicit Session(const ConnectSettings& settings);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    kl_long instance() const { return instance_; }
    void close();

    // The node name of the instance, as the catalogue gives it.
    std::string node() const;
    // True when integers in catalogue answers are in the other byte order
    // than this machine's (the library converts everything else).
    bool catalogue_swapped() const;

  private:
    kl_long instance_ = 0;
    bool open_ = false;
};

// One cursor of a session, opened on construction and closed when it ends.
class Cursor {
  public:
    explicit Cursor(const Session& session);
    ~Cursor();
    Cursor(const Cursor&) = delete;
    Cursor& operator=(const Cursor&) = delete;

    kl_long number() const { return cursor_; }

  private:
    kl_long cursor_ = 0;
};

} // namespace klcli
