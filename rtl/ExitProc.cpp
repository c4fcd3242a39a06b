#include "rtl/ExitProc.h"

#include <cstdlib>
#include <exception>
#include <mutex>
#include <string>
#include <vector>

#include "platform/debug_output.h"

namespace System {

namespace {
std::mutex& Lock() {
    static std::mutex* m = new std::mutex(); // used at exit: never destroyed
    return *m;
}
std::vector<TExitProc>& Procs() {
    static auto* v = new std::vector<TExitProc>();
    return *v;
}
bool g_atexit = false;
} // namespace

void AddExitProc(TExitProc proc) {
    if (!proc) return;
    std::lock_guard<std::mutex> g(Lock());
    Procs().push_back(proc);
    if (!g_atexit) {
        g_atexit = true;
        std::atexit(&RunExitProcs);
    }
}

void RunExitProcs() noexcept {
    for (;;) {
        TExitProc proc;
        {
            std::lock_guard<std::mutex> g(Lock());
            if (Procs().empty()) return;
            proc = Procs().back();
            Procs().pop_back();
        }
        try {
            proc();
        } catch (const std::exception& e) {
            platform::output_debug_string(std::string("Exception in exit procedure: ") + e.what());
        } catch (...) {
            platform::output_debug_string("Exception in exit procedure");
        }
    }
}

} // namespace System
