// The backup run driver.
#pragma once

#include "core/process.h"

namespace vaultrun {

// Performs one backup run and ends the process: every path, the successful
// one included, ends by raising ProcessEnd (through ShutDown or one of the
// other ways of ending), which main() turns into the exit status.
[[noreturn]] void Main(Process& process);

}  // namespace vaultrun
