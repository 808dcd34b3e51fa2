#include "restore/restore_session.h"

#include <optional>

#include "archive/completeness_mark.h"
#include "core/failure.h"

namespace vaultrun::restore {
namespace {

constexpr int kErrRestore = 3002;

bool IsOffset(const std::string& zone) {
  auto digit = [&](size_t i) { return zone[i] >= '0' && zone[i] <= '9'; };
  return zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && digit(1) && digit(2) &&
         zone[3] == ':' && digit(4) && digit(5);
}

}  // namespace

std::string ArchiveTimeZone(const ArchiveReader& reader) {
  std::optional<CompletenessMark> mark = ParseCompletenessMark(reader.comment());
  if (!mark || mark->time_zone.empty()) return "";
  if (!IsOffset(mark->time_zone)) {
    throw Failure(kErrRestore, reader.path() + ": the completeness mark names the time zone " +
                                   mark->time_zone + ", which is not an offset such as +00:00");
  }
  return mark->time_zone;
}

void SetSessionTimeZone(Connection& connection, const std::string& zone) {
  if (!zone.empty()) connection.Exec("SET SESSION time_zone = '" + zone + "'");
}

std::set<std::string> TablesOfType(Connection& connection, const std::string& database,
                                   const std::string& type) {
  std::set<std::string> names;
  for (const Connection::Row& row : connection.Query(
           "SELECT table_name FROM information_schema.tables WHERE table_schema = " +
           connection.Literal(database) + " AND table_type = " + connection.Literal(type))) {
    names.insert(row[0].value_or(""));
  }
  return names;
}

std::vector<DataEntry> WithoutViews(const std::vector<DataEntry>& entries,
                                    const std::set<std::string>& views,
                                    std::vector<std::string>* skipped) {
  std::vector<DataEntry> kept;
  for (const DataEntry& entry : entries) {
    if (views.count(entry.table) == 0) {
      kept.push_back(entry);
    } else {
      skipped->push_back(entry.table);
    }
  }
  return kept;
}

}  // namespace vaultrun::restore
