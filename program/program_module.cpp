// Linked into every program built on the library: its module start-up runs
// as a static initializer, before the program's own code.
#include "RozavUde/ProgramStartup.h"

namespace {
[[maybe_unused]] const bool started = (System::ProgramModuleStartup(), true);
}
