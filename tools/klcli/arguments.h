// The command line of klcli: global connection options, one command and
// its operands and options.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace klcli {

// A command line that cannot be carried out as written.  The program
// prints the message (and the usage text when show_usage is set) and
// ends with status 2.
class UsageError : public std::runtime_error {
  public:
    explicit UsageError(const std::string& message, bool show_usage = true)
        : std::runtime_error(message), show_usage(show_usage) {}
    bool show_usage;
};

// What klconnect is given.
struct ConnectSettings {
    std::string environment; // environment file
    std::string trace_file;  // empty: no trace log asked for
    std::string user;
    std::string password;
    std::string access; // "", "R", "W" or "E"
};

struct Arguments {
    bool help = false;
    bool version = false;
    ConnectSettings connect;
    std::string command;
    std::vector<std::string> operands; // after the command, options taken out
    std::string where;                 // select's criteria; empty selects every row
    std::optional<long> limit;         // select's row limit
};

// Parses argv[1..argc).  environment_default stands in for a missing
// --env (the caller passes $KL_ENV, or null).  Throws UsageError.
Arguments parse_arguments(int argc, const char* const* argv, const char* environment_default);

// The klconnect options text for the settings: TRACE=file and the access
// mode.  Throws UsageError when the trace file name cannot be written in
// an options text.
std::string connect_options(const ConnectSettings& settings);

extern const char* const usage_text;

} // namespace klcli
