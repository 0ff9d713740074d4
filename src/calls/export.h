// Marks a function as one of the library's exports.  The shared library
// hides every other symbol.
#pragma once

#include "klsrv32.h"

#if defined(_WIN32)
#define KL_EXPORT extern "C"
#else
#define KL_EXPORT extern "C" __attribute__((visibility("default")))
#endif
