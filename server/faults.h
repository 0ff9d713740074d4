// Switches that make the next accept, thread start or request allocation
// fail, so that tests can drive the server's recovery from
// failures that resource limits cannot produce reliably (they are not
// enforced for root and they break the sanitizer runtimes).  Off unless a
// test arms them; each arming fails exactly one attempt.
#pragma once

#include <atomic>

namespace kls::faults {

// The next accept of a client connection fails as if the process had no
// file descriptors left.
void fail_next_accept();
// The next attempt to start a client thread fails as if the system had no
// threads left.
void fail_next_thread_start();
// The next allocation a request makes through the server's memory checks
// fails as if memory had run out.
void fail_next_allocation();

// Called where a connection is accepted / a thread is started / a request
// allocates: true (once) when the switch was armed.
bool accept_should_fail();
bool thread_start_should_fail();
bool allocation_should_fail();

} // namespace kls::faults
