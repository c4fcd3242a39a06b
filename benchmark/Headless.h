// pelorin without a window: the echo server until interrupted (-s), or one
// test against a server (-c), printing rates once a second as text or JSON
// lines.
#pragma once
#include <atomic>
#include <iosfwd>
#include <string>
#include <vector>

#include "core/AppSettings.h"

namespace Benchmark {

struct THeadlessContext {
    std::ostream* out = nullptr;
    std::ostream* err = nullptr;
    // The settings giving the defaults; the program's own file when null.
    System::TAppSettingsBase* settings = nullptr;
    // Set to interrupt (SIGINT, SIGTERM, or a test). The server stops, a
    // test is aborted.
    const std::atomic<bool>* interrupted = nullptr;
};

// The arguments after the program name; returns the exit status.
int RunCommandLine(const std::vector<std::string>& args, const THeadlessContext& context);

// Installs SIGINT and SIGTERM handlers that set the returned flag.
const std::atomic<bool>* InstallInterruptHandlers();

} // namespace Benchmark
