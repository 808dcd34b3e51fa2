// The per-table export queries: a one-row probe learns the column types,
// then the data query selects every column in table order, long binary
// columns converted under a marked alias and date columns rendered by the
// server as digit strings.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/process.h"
#include "db/access.h"

namespace vaultrun {

// The two result sets of a run: the table list ("show tables") and the
// table result set, refilled by each table's probe and data query.
struct RunRecordsets {
  std::unique_ptr<db::Recordset> TableResult;
  std::unique_ptr<db::Recordset> TableList;
};

// The alias suffix of a converted long binary column.
inline constexpr const char kAliasSuffix[] = "___";

// A table or column name as an SQL identifier: in backquotes, each
// backquote inside doubled.
std::string QuoteName(const std::string& name);

// The server expression that renders a date or date-time column as 14
// digits (year padded to four), plus "." and `scale` fraction digits when
// the column keeps fractional seconds.
std::string DateTextExpression(const std::string& column, int scale);

struct DataQuery {
  std::string sql;
  // One flag per column, by position: true when the column was selected
  // converted (a long binary, or the binary form of INET4/INET6/UUID) under
  // the alias suffix.
  std::vector<bool> aliased;
};

// True for the types (INET4, INET6, UUID) whose values the server shows as
// text but reads from a binary string as their binary form: the export
// writes that form.
bool HasBinaryForm(const std::string& data_type_name);

std::string ProbeQueryText(const std::string& table);
// The data query for a table whose probe returned these fields.
DataQuery BuildDataQuery(const db::Fields& probe_fields, const std::string& table);

// Runs the probe and the data query of table into sets.TableResult. When
// either query fails, writes the event-log entry and shuts the process
// down. Returns which columns of the data result are aliased.
std::vector<bool> RunExportQuery(Process& process, const std::string& table, RunRecordsets& sets);

}  // namespace vaultrun
