#include "frame/tables.h"

#include "platform/platform.h"

namespace kl {

int create_client_tables() {
    if (client_tables.instances.create() != 0) return -1;
    if (client_tables.cursors.create() != 0) {
        const int error = platform::system_error();
        return error != 0 ? error : ControlTable<kl_cursor_t>::no_memory;
    }
    client_tables.ready = 1;
    return 0;
}

} // namespace kl
