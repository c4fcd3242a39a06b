// pelorin: the headless command line (the window comes later).
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "RozavUde/AsyncHelperThread.h"
#include "benchmark/Headless.h"

int main(int argc, char** argv) {
    // A peer that closes mid-send is an error of that send, not the end of
    // the program.
    std::signal(SIGPIPE, SIG_IGN);
    // The program's start-up: timers and delayed pool growth need the
    // library's helper thread.
    System::Threading::Async->Initialize();
    std::vector<std::string> args(argv + 1, argv + argc);
    Benchmark::THeadlessContext context;
    context.out = &std::cout;
    context.err = &std::cerr;
    context.interrupted = Benchmark::InstallInterruptHandlers();
    return Benchmark::RunCommandLine(args, context);
}
