#include "benchmark/GlobalSettings.h"

#include <atomic>

#include "rtl/ExitProc.h"

namespace Benchmark {

namespace {
std::atomic<TAppSettings*> g_settings{nullptr};

void DestroyAppSettings() {
    // A failure to write the file has been reported by the store already;
    // it must not stop the exit procedures after this one.
    try {
        delete g_settings.exchange(nullptr);
    } catch (...) {
    }
}
} // namespace

TAppSettings* GetAppSettings() noexcept { return g_settings.load(); }
TAppSettings* SetAppSettings(TAppSettings* s) noexcept { return g_settings.exchange(s); }

void CreateAppSettings() {
    auto* s = new TAppSettings();
    delete g_settings.exchange(s);
    System::AddExitProc(&DestroyAppSettings);
}

} // namespace Benchmark
