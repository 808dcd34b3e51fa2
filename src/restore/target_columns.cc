#include "restore/target_columns.h"

#include "db/connection_string.h"
#include "run/export_query.h"

namespace vaultrun::restore {

std::vector<TargetColumn> ReadTargetColumns(Connection& connection, const std::string& table) {
  std::vector<TargetColumn> columns;
  for (const Connection::Row& row : connection.Query(
           "SELECT column_name, LOWER(data_type), is_nullable, IFNULL(numeric_precision, 0), "
           "LOWER(extra) FROM information_schema.columns WHERE table_schema = DATABASE() AND "
           "table_name = " +
           connection.Literal(table) + " ORDER BY ordinal_position")) {
    TargetColumn column;
    column.name = row[0].value_or("");
    column.data_type = row[1].value_or("");
    column.nullable = row[2].value_or("") == "YES";
    column.precision = std::stoull(row[3].value_or("0"));
    std::string extra = row[4].value_or("");
    column.generated = extra.find("generated") != std::string::npos;
    column.invisible = extra.find("invisible") != std::string::npos;
    column.auto_increment = extra.find("auto_increment") != std::string::npos;
    column.text_form_type = HasBinaryForm(column.data_type);
    columns.push_back(std::move(column));
  }
  return columns;
}

const TargetColumn* FindColumn(const std::vector<TargetColumn>& columns, const std::string& name) {
  for (const TargetColumn& column : columns) {
    // Column names compare without regard to case, as the server does.
    if (db::EqualsIgnoreCase(column.name, name)) return &column;
  }
  return nullptr;
}

}  // namespace vaultrun::restore
