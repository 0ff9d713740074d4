#pragma once

#include <string>

namespace kls {

// Writes the sample database: customers, products and orders with `orders`
// rows (deterministic, so runs can be compared).  False with the reason in
// error when it cannot.
bool create_sample(const std::string& path, int orders, std::string& error);

} // namespace kls
