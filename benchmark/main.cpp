// pelorin: the window without arguments, the headless command line with them.
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "benchmark/Headless.h"
#include "benchmark/ModuleStartup.h"
#include "benchmark/frmMain.h"
#include "rtl/ExitProc.h"

int main(int argc, char** argv) {
    // A peer that closes mid-send is an error of that send, not the end of
    // the program.
    std::signal(SIGPIPE, SIG_IGN);
    if (argc <= 1) return Benchmark::RunWindowProgram(argc, argv);
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
