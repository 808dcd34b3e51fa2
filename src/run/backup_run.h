// The backup run driver.
#pragma once

#include "core/process.h"
#include "db/session.h"

namespace vaultrun {

// Performs one backup run with the session that the caller closes. Returns
// on success; every failure is raised (as a Failure) where it happens, for
// the caller's one failure path (RunReported) to report.
void Main(Process& process, Session& session);

}  // namespace vaultrun
