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

// Reads every definition of the session's database. Objects the account
// may not read are listed in left_out; any other failure is raised.
Definitions ReadDefinitions(const Process& process, Session& session);

// The one warning entry naming what was left out ("" when nothing was).
std::string LeftOutWarning(const Definitions& definitions);

// The tables (of those given) where the server shows a 4-byte character
// (beyond U+FFFF: emoji, rarer CJK) as "?" in a column default or an ENUM or
// SET member of a column whose character set can hold it, so that their
// stored definitions hold "?" in its place.
std::vector<std::string> TablesWithLostCharacters(Session& session,
                                                  const std::vector<std::string>& tables);
// The one warning entry naming those tables ("" when there are none).
std::string LostCharactersWarning(const std::string& database,
                                  const std::vector<std::string>& tables);

// The run's definitions entry. Writes the warning entries for what was left
// out and for the tables whose definitions lost 4-byte characters (the run
// goes on).
std::string ReadDefinitionsEntry(Process& process, Session& session);

// Packs the entry into the run's archive.
class RunArchive;
void PackDefinitions(RunArchive& archive, const std::string& entry);

}  // namespace vaultrun
