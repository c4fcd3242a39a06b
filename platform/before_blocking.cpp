#include "platform/before_blocking.h"

namespace platform {

__attribute__((tls_model("initial-exec"))) thread_local before_blocking_fn t_before_blocking = nullptr;

} // namespace platform
