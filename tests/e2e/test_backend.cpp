#include "test_backend.h"

#include <cstdlib>

#include "sqlite_storage.h"

namespace kl::test {

namespace {

std::string env(const char* name, const char* fallback = "") {
    const char* value = std::getenv(name);
    return value != nullptr ? value : fallback;
}

} // namespace

bool on_postgres() {
    return env("KL_TEST_BACKEND") == "postgres";
}

std::shared_ptr<kls::Storage> make_test_storage(const std::filesystem::path& data,
                                                int write_wait_seconds) {
    return kls::make_sqlite_storage(
        {std::filesystem::canonical(data).string(), write_wait_seconds * 1000});
}

std::string test_user() {
    return on_postgres() ? env("KL_PG_TEST_USER", "tester") : "tester";
}

std::string test_password() {
    return on_postgres() ? env("KL_PG_TEST_PASSWORD") : "";
}

} // namespace kl::test
