#include "handlers.h"
#include "server_errors.h"
namespace kls {
void handle_describe(Exchange& ex) {
    ex.answer(error_status(err_unknown_code, "not built yet"));
}
void handle_bind(Exchange& ex) {
    ex.answer(error_status(err_unknown_code, "not built yet"));
}
} // namespace kls
