#include "RozavUde/ProgramStartup.h"

#include <mutex>

#include "GC/gc_finalizer.h"
#include "RozavUde/AsyncHelperThread.h"
#include "RozavUde/ThreadPoolGlobals.h"
#include "rtl/ExitProc.h"

namespace System {

void ProgramModuleStartup() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (Threading::Async) Threading::Async->Initialize();
        gc_detail::gc_finalizer::SetThreadPoolsTerminator(&Threading::Internal::TerminateThreadPools);
        AddExitProc(&gc_detail::gc_finalizer::ExitProc);
    });
}

} // namespace System
