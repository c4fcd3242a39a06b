// What every module of the program does before its main code runs: start
// the library's helper thread and register the collector's shutdown as an
// exit procedure. Runs once however often it is called.
#pragma once

namespace Benchmark {
void ModuleStartup();
} // namespace Benchmark
