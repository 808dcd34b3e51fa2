// Reading the database's definitions for the run's archive (the entry's
// format is archive/definitions_entry.h).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/definitions_entry.h"
#include "core/process.h"
#include "db/session.h"

namespace vaultrun {

// The statement without its DEFINER=user@host clause (found among the words
// between CREATE and the object's kind), so that the object belongs to the
// account that restores it.
std::string StripDefiner(const std::string& statement);

// Reads every definition of the session's database. Objects the account
// may not read are listed in left_out; any other failure is raised.
Definitions ReadDefinitions(const Process& process, Session& session);

// The one warning entry naming what was left out ("" when nothing was).
std::string LeftOutWarning(const Definitions& definitions);

// The run's definitions entry. Writes the warning entry for what was left
// out (the run goes on).
std::string ReadDefinitionsEntry(Process& process, Session& session);

// Packs the entry into the run's archive.
class RunArchive;
void PackDefinitions(RunArchive& archive, const std::string& entry);

}  // namespace vaultrun
