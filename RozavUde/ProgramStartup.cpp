#include "RozavUde/ProgramStartup.h"

#include <mutex>

#include "GC/gc_finalizer.h"
#include "RozavUde/AsyncHelperThread.h"
#include "rtl/ExitProc.h"

namespace System {

void ProgramModuleStartup() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (Threading::Async) Threading::Async->Initialize();
        AddExitProc(&gc_detail::gc_finalizer::ExitProc);
    });
}

} // namespace System
