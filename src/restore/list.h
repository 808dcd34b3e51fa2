// vaultrun-restore --list: the archives of a backup folder with their state,
// newest first, as a table for people or as JSON for scripts.
#pragma once

#include <string>
#include <vector>

#include "archive/summary.h"
#include "platform/env.h"
#include "platform/settings_store.h"

namespace vaultrun::restore {

// The summaries of folder's stamped archives, newest first (deep: every
// entry decompressed), authenticated with key (nullptr: none held). Raises
// a Failure when the folder cannot be listed.
std::vector<ArchiveSummary> ListArchives(Env* env, const std::string& folder, bool deep,
                                         const ArchiveKeyResult* key);

// The listing as printed: a table with a header line, or (json) an array of
// objects with the fields path, stamp, state, authenticated, tables, rows
// (null when unknown), bytes, format, definitions and problem.
std::string FormatListing(const std::string& folder, const std::vector<ArchiveSummary>& archives,
                          bool json);

// The backup folder of the database that the installed settings and the
// game server's configuration name (vaultrun-restore is installed beside
// vaultrun), read without storing anything. Raises a Failure that says
// what is missing.
std::string InstalledDatabaseFolder(Env* env, SettingsStore* settings);

}  // namespace vaultrun::restore
