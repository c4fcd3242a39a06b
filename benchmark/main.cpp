// pelorin: the headless command line (the window comes later).
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "benchmark/Headless.h"
#include "benchmark/ModuleStartup.h"
#include "rtl/ExitProc.h"

int main(int argc, char** argv) {
    // A peer that closes mid-send is an error of that send, not the end of
    // the program.
    std::signal(SIGPIPE, SIG_IGN);
    Benchmark::ModuleStartup();
    std::vector<std::string> args(argv + 1, argv + argc);
    Benchmark::THeadlessContext context;
    context.out = &std::cout;
    context.err = &std::cerr;
    context.interrupted = Benchmark::InstallInterruptHandlers();
    const int status = Benchmark::RunCommandLine(args, context);
    std::cout.flush();
    System::RunExitProcs();
    return status;
}
