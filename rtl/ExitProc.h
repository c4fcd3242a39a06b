// Exit procedures: run after the program's main work, last registered
// first. The application object runs them after its message loop, the
// headless command line at its end; whatever is still pending when the
// process exits runs then.
#pragma once

namespace System {

using TExitProc = void (*)();

void AddExitProc(TExitProc proc);
// Runs and forgets every pending procedure; one that throws is reported on
// the debugger output and the rest still run. Safe to call more than once.
void RunExitProcs() noexcept;

} // namespace System
