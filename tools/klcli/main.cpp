// klcli: a command-line client of the database access server, written
// against the library's public header alone, as any application is.

#include <cstdlib>
#include <exception>
#include <iostream>

#include "arguments.h"
#include "commands.h"
#include "klsrv32.h"
#include "session.h"

int main(int argc, char** argv) {
    using namespace klcli;
    try {
        const Arguments args = parse_arguments(argc, argv, std::getenv("KL_ENV"));
        if (args.help) {
            std::cout << usage_text;
            return 0;
        }
        if (args.version) {
            std::cout << "klcli " << KLSRV32_VERSION_TEXT << '\n';
            return 0;
        }
        run_command(args);
        return 0;
    } catch (const UsageError& e) {
        std::cerr << "klcli: " << e.what() << '\n';
        if (e.show_usage)
            std::cerr << usage_text;
        else
            std::cerr << "(klcli --help shows the usage)\n";
        return 2;
    } catch (const CallFailure& e) {
        std::cerr << "klcli: " << e.what() << '\n';
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "klcli: " << e.what() << '\n';
        return 1;
    }
}
