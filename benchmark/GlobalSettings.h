// The program's one settings object: made at start-up before the main
// window, destroyed by an exit procedure; both windows read it here.
#pragma once
#include "benchmark/AppSettings.h"

namespace Benchmark {

TAppSettings* GetAppSettings() noexcept;
// Replaces the object the windows read (start-up, tests); returns the old.
TAppSettings* SetAppSettings(TAppSettings* settings) noexcept;

// Start-up: creates the object from the program's settings file (it must
// exist) and registers its destruction, which writes the file, as an exit
// procedure.
void CreateAppSettings();

} // namespace Benchmark
