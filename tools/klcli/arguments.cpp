// Parsing of klcli's command line.
//
// Options may stand anywhere on the line, before or after the command,
// as "--name value" or "--name=value"; "--" ends them, so operands that
// begin with "--" can still be given.  Which commands exist and how many
// operands each takes is one table, so the checks are the same for all.

#include "arguments.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>

namespace klcli {

const char* const usage_text =
    "Usage: klcli [OPTION...] COMMAND [ARGS...]\n"
    "Runs one command against the database access server through the klsrv32 library.\n"
    "\n"
    "Commands:\n"
    "  tables                      the tables with their numbers of columns and rows\n"
    "  describe TABLE              the columns of TABLE\n"
    "  select TABLE [COLUMN...] [--where CRITERIA] [--limit N]\n"
    "                              rows of TABLE (every column when none is named)\n"
    "  insert TABLE COLUMN=VALUE...\n"
    "                              inserts one row and prints its rowid; columns\n"
    "                              not named stay NULL\n"
    "  info                        host type, host version and library version\n"
    "  version                     version records of the library and the server\n"
    "  error NUMBER                the message text of an error number\n"
    "\n"
    "Options:\n"
    "  --env FILE        environment file of the connection (default: $KL_ENV)\n"
    "  --trace FILE      the library's trace log, through klconnect's TRACE option;\n"
    "                    a trace file named in talvern.ini ([debug] trace=) comes first\n"
    "  --user U          user name passed to the server\n"
    "  --password P      klconnect's password argument, which the library never\n"
    "                    sends; the server gets the password of the environment\n"
    "                    file ([include] password=, sent only with dbdirect=)\n"
    "  --options R|W|E   access mode: read-only, read-write (the server's default)\n"
    "                    or exclusive\n"
    "  --help            this text\n"
    "  --version         the version of klcli and the library\n"
    "\n"
    "Exit status: 0 success, 1 a call failed, 2 the command line is wrong.\n";

namespace {

struct CommandRule {
    const char* name;
    std::size_t min_operands;
    std::size_t max_operands;
    bool select_options; // takes --where and --limit
};

constexpr std::size_t any_number = static_cast<std::size_t>(-1);

constexpr CommandRule command_rules[] = {
    {"tables", 0, 0, false}, {"describe", 1, 1, false},        {"select", 1, any_number, true},
    {"info", 0, 0, false},   {"insert", 2, any_number, false}, {"version", 0, 0, false},
    {"error", 1, 1, false},
};

const CommandRule* find_command(const std::string& name) {
    for (const CommandRule& rule : command_rules)
        if (name == rule.name) return &rule;
    return nullptr;
}

enum class Option { help, version, env, trace, user, password, access, where, limit };

struct OptionRule {
    const char* name;
    Option option;
    bool takes_value;
};

constexpr OptionRule option_rules[] = {
    {"help", Option::help, false},     {"version", Option::version, false},
    {"env", Option::env, true},        {"trace", Option::trace, true},
    {"user", Option::user, true},      {"password", Option::password, true},
    {"options", Option::access, true}, {"where", Option::where, true},
    {"limit", Option::limit, true},
};

long parse_limit(const std::string& text) {
    long value = 0;
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc{} || at != end || value <= 0)
        throw UsageError("--limit takes a positive number, not '" + text + "'");
    return value;
}

std::string parse_access(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    if (text != "R" && text != "W" && text != "E")
        throw UsageError("--options takes R, W or E, not '" + text + "'");
    return text;
}

void apply_option(Arguments& args, Option option, const std::string& value, bool& where_given) {
    switch (option) {
    case Option::help:
        args.help = true;
        break;
    case Option::version:
        args.version = true;
        break;
    case Option::env:
        args.connect.environment = value;
        break;
    case Option::trace:
        args.connect.trace_file = value;
        break;
    case Option::user:
        args.connect.user = value;
        break;
    case Option::password:
        args.connect.password = value;
        break;
    case Option::access:
        args.connect.access = parse_access(value);
        break;
    case Option::where:
        args.where = value;
        where_given = true;
        break;
    case Option::limit:
        args.limit = parse_limit(value);
        break;
    }
}

} // namespace

std::string connect_options(const ConnectSettings& settings) {
    std::string options;
    if (!settings.trace_file.empty()) {
        // The option parser cuts quotes out and ends a value at a blank or
        // comma outside them, so the name is quoted with a quote it does
        // not contain.
        const std::string& file = settings.trace_file;
        const bool has_double = file.find('"') != std::string::npos;
        const bool has_single = file.find('\'') != std::string::npos;
        if (has_double && has_single)
            throw UsageError("--trace: a file name with both kinds of quote cannot be passed");
        const char quote = has_double ? '\'' : '"';
        options = "TRACE=" + std::string(1, quote) + file + quote;
    }
    if (!settings.access.empty()) {
        if (!options.empty()) options += ',';
        options += settings.access;
    }
    // klconnect refuses options of 256 characters or more.
    if (options.size() >= 256) throw UsageError("--trace: the file name is too long");
    return options;
}

Arguments parse_arguments(int argc, const char* const* argv, const char* environment_default) {
    Arguments args;
    bool where_given = false;
    bool options_ended = false;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (!options_ended && word == "--") {
            options_ended = true;
            continue;
        }
        if (!options_ended && (word == "-h" || word.starts_with("--"))) {
            const std::size_t equals = word.find('=');
            const std::string name =
                word == "-h" ? "help"
                             : word.substr(2, equals == std::string::npos ? equals : equals - 2);
            const OptionRule* rule = nullptr;
            for (const OptionRule& s : option_rules)
                if (name == s.name) rule = &s;
            if (rule == nullptr) throw UsageError("unknown option " + word);
            std::string value;
            if (rule->takes_value) {
                if (equals != std::string::npos) {
                    value = word.substr(equals + 1);
                } else if (i + 1 < argc) {
                    value = argv[++i];
                } else {
                    throw UsageError("option --" + name + " needs a value");
                }
            } else if (equals != std::string::npos) {
                throw UsageError("option --" + name + " takes no value");
            }
            apply_option(args, rule->option, value, where_given);
            continue;
        }
        if (args.command.empty())
            args.command = word;
        else
            args.operands.push_back(word);
    }
    if (args.help || args.version) return args;

    if (args.command.empty()) throw UsageError("no command given");
    const CommandRule* rule = find_command(args.command);
    if (rule == nullptr) throw UsageError("unknown command '" + args.command + "'");
    const std::size_t n = args.operands.size();
    if (n < rule->min_operands || n > rule->max_operands)
        throw UsageError("wrong number of arguments for " + args.command);
    if (!rule->select_options && (where_given || args.limit))
        throw UsageError("--where and --limit go with select only");

    if (args.connect.environment.empty() && environment_default != nullptr)
        args.connect.environment = environment_default;
    if (args.connect.environment.empty())
        throw UsageError("no environment file: give --env FILE or set KL_ENV");
    connect_options(args.connect); // refuses what klconnect could not take
    return args;
}

} // namespace klcli
