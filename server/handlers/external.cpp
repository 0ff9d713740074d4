#include "handlers.h"
#include "server_errors.h"
namespace kls {
void handle_command(Exchange& ex) {
    ex.answer(error_status(err_unknown_code, "not built yet"));
}
void handle_external(Exchange& ex) {
    ex.answer(error_status(err_unknown_code, "not built yet"));
}
} // namespace kls
