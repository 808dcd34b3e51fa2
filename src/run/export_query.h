// The per-table export queries: the table's stored columns are listed from
// the server's catalogue (INVISIBLE ones included, generated ones left out:
// the server computes those again), a one-row probe learns their types,
// then the data query selects them in table order, long binary columns
// converted under a marked alias. Date columns come as the server sends
// them; the writer turns them into digit strings.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/process.h"
#include "db/access.h"
#include "db/session.h"

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
// the column keeps fractional seconds. The export no longer sends it (the
// server spent more time on it than on the fetch); it stays as the
// reference that AppendDateDigits is held to.
std::string DateTextExpression(const std::string& column, int scale);

struct DataQuery {
  std::string sql;
  // One flag per column, by position: true when the column was selected
  // converted (a long binary, or the binary form of INET4/INET6/UUID) under
  // the alias suffix.
  std::vector<bool> aliased;
  // True when the table has INVISIBLE or generated columns: an insert
  // without a column list would not line its values up with the table's
  // columns, so the SQL form names them whatever format_insert says.
  bool names_required = false;
  // One flag per column, by position: true for a FLOAT column, whose text
  // an archive of an older run holds with about six digits only.
  std::vector<bool> single_precision;
  // One flag per column, by position: true when the tab-separated form
  // writes a NULL of this column as an empty field that restores as a
  // value, or is refused (text, binary strings, ENUM, SET, JSON).
  std::vector<bool> null_as_empty;
};

// The stored columns of a table, in table order.
struct ExportColumns {
  // The probe's select list: the quoted names, or "*" when the catalogue
  // lists none (a server without it).
  std::string select_list = "*";
  bool names_required = false;
  // The catalogue's data_type of each listed column (empty without one).
  std::vector<std::string> data_types;
};

// The catalogue query that lists table's columns with two flags each
// (generated, invisible) and their data_type.
std::string ColumnQueryText(const std::string& table);
ExportColumns ReadExportColumns(Session& session, const std::string& table);

// True for the types (INET4, INET6, UUID) whose values the server shows as
// text but reads from a binary string as their binary form: the export
// writes that form.
bool HasBinaryForm(const std::string& data_type_name);

// True for the catalogue data types whose NULL the tab-separated form
// cannot tell from an empty value.
bool NullLooksEmpty(const std::string& data_type_name);

std::string ProbeQueryText(const std::string& table, const std::string& select_list = "*");
// The data query for a table whose probe returned these fields. A FLOAT
// column is selected as a DOUBLE: the server's text for a FLOAT keeps
// about six digits (16777216 reads 16777200), a DOUBLE's every bit.
DataQuery BuildDataQuery(const db::Fields& probe_fields, const std::string& table);

// Lists the columns, then runs the probe and the data query of table into
// sets.TableResult. Raises a Failure when a query fails.
DataQuery RunExportQuery(Session& session, const std::string& table, RunRecordsets& sets);

}  // namespace vaultrun
