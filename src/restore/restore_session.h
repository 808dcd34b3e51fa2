// What a restore learns from the archive's mark and the target's catalogue
// before it writes: the session time zone of the archive's TIMESTAMP text,
// and which target tables are views (hold no rows of their own) or
// sequences (always hold their one row).
#pragma once

#include <set>
#include <string>
#include <vector>

#include "archive/reader.h"
#include "restore/connection.h"

namespace vaultrun::restore {

// The time zone the archive's mark names ("" when it names none, as in
// archives of older runs). Raises a Failure when the mark names something
// other than a numeric offset such as "+00:00": the text would go into a
// statement.
std::string ArchiveTimeZone(const ArchiveReader& reader);

// Sets the session's time_zone to zone, so that TIMESTAMP text is read as
// the instant it was written from; "" leaves the session as it is.
void SetSessionTimeZone(Connection& connection, const std::string& zone);

// The names of database's tables of a type of information_schema.TABLES
// ("VIEW", "SEQUENCE").
std::set<std::string> TablesOfType(Connection& connection, const std::string& database,
                                   const std::string& type);

// The entries without those whose table is one of views (archives of older
// runs hold the rows of views); names the ones left out in *skipped.
std::vector<DataEntry> WithoutViews(const std::vector<DataEntry>& entries,
                                    const std::set<std::string>& views,
                                    std::vector<std::string>* skipped);

}  // namespace vaultrun::restore
