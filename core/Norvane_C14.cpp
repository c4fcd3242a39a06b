// The library's start-up source. Loading the library runs, in this order
// (platform/startup_order.h): the collector's start-up with the library's
// settings, the helper thread that owns the collector's thread, then the
// units that create something at load. The program's own module start-up
// (RozavUde/ProgramStartup.h) comes after all of them.
// At unload the units finish first and the collector last.
#include <cstdlib>
#include <exception>
#include <string>

#include "GC/collector_thread.h"
#include "GC/gc_finalizer.h"
#include "GC/gc_policy.h"
#include "GC/startup.h"
#include "core/NorvaneSettings.h"
#include "platform/debug_output.h"
#include "platform/startup_order.h"

namespace {

using System::TNorvaneSettings;

void destroy_settings() {
    TNorvaneSettings* s = TNorvaneSettings::Instance();
    TNorvaneSettings::SetInstance(nullptr);
    delete s;
}

// The settings file may be missing (defaults) or broken; a broken one is
// reported and the defaults apply, since the library cannot refuse to load.
bool read_embedded_setting() {
    bool embedded = false;
    try {
        auto* settings = new TNorvaneSettings();
        TNorvaneSettings::SetInstance(settings);
        embedded = settings->GetgcEmbeddedSys();
    } catch (const std::exception& e) {
        platform::output_debug_string(std::string("Norvane_C14: library settings not read: ") + e.what());
    }
    // Overrides the file; for test runs of the embedded mode.
    if (const char* e = std::getenv("NORVANE_GC_EMBEDDED"); e && *e)
        embedded = *e == '1' || *e == 't' || *e == 'T';
    return embedded;
}

NORVANE_STARTUP(platform::startup::collector) void norvane_collector_startup() {
    gc_detail::gc_startup(read_embedded_setting());
    gc_detail::set_collector_thread_proc(&gc_detail::GcThreadProc);
    gc_detail::gc_finalizer::SetSettingsDestroyer(&destroy_settings);
}

NORVANE_UNLOAD(platform::startup::collector) void norvane_collector_unload() {
    gc_detail::gc_unload();
    destroy_settings();
}

} // namespace
