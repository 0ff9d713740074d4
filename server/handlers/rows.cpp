#include "handlers.h"
#include "server_errors.h"
namespace kls {
void handle_insert(Exchange& ex) {
    ex.answer(error_status(err_unknown_code, "not built yet"));
}
void handle_update(Exchange& ex) {
    ex.answer(error_status(err_unknown_code, "not built yet"));
}
void handle_delete(Exchange& ex) {
    ex.answer(error_status(err_unknown_code, "not built yet"));
}
} // namespace kls
