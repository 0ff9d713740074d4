// klcli's commands, one function each.  Each writes its result to
// standard output and throws CallFailure or UsageError when it cannot.
#pragma once

#include <string>
#include <vector>

#include "arguments.h"
#include "session.h"

namespace klcli {

void list_tables(const Session& session);
void describe_table(const Session& session, const std::string& table);
void select_rows(const Session& session, const std::string& table, const std::string& columns,
                 const std::string& criteria, long limit);
void insert_row(const Session& session, const std::string& table,
                const std::vector<std::string>& assignments);
void show_information();
void show_versions(const Session& session);
void show_error_text(kl_long number);

// Connects, runs the command of the arguments and disconnects.
void run_command(const Arguments& args);

} // namespace klcli
