// The backup run driver.
#pragma once

#include "core/process.h"
#include "db/session.h"
#include "run/metrics.h"

namespace vaultrun {

// Performs one backup run with the session that the caller closes. Returns
// on success; every failure is raised (as a Failure) where it happens, for
// the caller's one failure path (RunReported) to report. What the run did,
// as far as it got, goes into *record (when given) for the metrics file.
void Main(Process& process, Session& session, RunRecord* record = nullptr);

}  // namespace vaultrun
