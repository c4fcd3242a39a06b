#include "benchmark/ModuleStartup.h"

#include <mutex>

#include "GC/gc_finalizer.h"
#include "RozavUde/AsyncHelperThread.h"
#include "rtl/ExitProc.h"

namespace Benchmark {

void ModuleStartup() {
    static std::once_flag once;
    std::call_once(once, [] {
        System::Threading::Async->Initialize();
        System::AddExitProc(&gc_detail::gc_finalizer::ExitProc);
    });
}

} // namespace Benchmark
