// The program's module start-up: what a program that uses the library runs
// before its own code. It starts the helper and collector threads, so
// collections come by themselves from then on, and registers the
// collector's exit procedure, which ends the thread pools and settles the
// heap when the program's exit procedures run.
//
// Programs get it by linking the `norvane_program_module` object (a static
// initializer that calls it); calling it again does nothing.
#pragma once

namespace System {

void ProgramModuleStartup();

} // namespace System
