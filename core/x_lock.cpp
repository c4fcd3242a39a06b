#include "core/x_lock.h"

namespace detail::lock {
volatile std::uint16_t lock = 0;
}
