// The collector's start-up and unload, called by the library's start-up
// source first and last.
#pragma once
#include <pthread.h>

namespace gc_detail {

// The TLS slot the design allocates at start-up; must be below 64.
extern pthread_key_t gdwTlsIndex;

// embedded: no marking workers, every collection a full one.
void gc_startup(bool embedded);
// Final collections and the release of the collector's resources; after a
// fatal error it does nothing.
void gc_unload() noexcept;

} // namespace gc_detail
