#pragma once

#include <string>
#include <string_view>

#include "storage.h"

namespace kls {

// Writes the sample database `name` (made new): customers, products and
// orders with `orders` rows (deterministic, so runs can be compared).
// False with the reason in error when it cannot.
bool create_sample(Storage& storage, std::string_view name, int orders, std::string& error);

} // namespace kls
