#include "handlers.h"
#include "server_errors.h"
namespace kls {
void handle_join(Exchange& ex) {
    ex.answer(error_status(err_unknown_code, "not built yet"));
}
void handle_calc(Exchange& ex) {
    ex.answer(error_status(err_unknown_code, "not built yet"));
}
void handle_export(Exchange& ex) {
    ex.answer(error_status(err_unknown_code, "not built yet"));
}
} // namespace kls
