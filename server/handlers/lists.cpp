#include "handlers.h"
#include "server_errors.h"
namespace kls {
void handle_list(Exchange& ex) {
    ex.answer(error_status(err_unknown_code, "not built yet"));
}
void handle_form(Exchange& ex) {
    ex.answer(error_status(err_unknown_code, "not built yet"));
}
} // namespace kls
