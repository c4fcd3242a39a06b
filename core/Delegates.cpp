#include "core/Delegates.h"

namespace System {

void throw_unmanaged_delegate() {
    throw Sysutils::EInvalidOperation("Delegate must be used with managed methods only");
}

InvokePtrImplBaseBase::~InvokePtrImplBaseBase() { delete owned_; }

} // namespace System
