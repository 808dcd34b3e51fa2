#include "run/export_query.h"

#include "core/report.h"
#include "db/session.h"
#include "run/data_file.h"

namespace vaultrun {

std::string QuoteName(const std::string& name) {
  std::string quoted = "`";
  for (char c : name) {
    if (c == '`') quoted += '`';
    quoted += c;
  }
  quoted += '`';
  return quoted;
}

std::string DateTextExpression(const std::string& column, int scale) {
  // Month to second get a leading zero below 10; the year is padded to four
  // digits so that years below 1000 and zero dates also give 14 digits.
  static const char kTemplate[] =
      "concat(lpad(year(%1),4,'0'),if(month(%1)<10,concat('0',month(%1)),month(%1)),"
      "if(day(%1)<10,concat('0',day(%1)),day(%1)),"
      "if(hour(%1)<10,concat('0',hour(%1)),hour(%1)),"
      "if(minute(%1)<10,concat('0',minute(%1)),minute(%1)),"
      "if(second(%1)<10,concat('0',second(%1)),second(%1))%2)";
  std::string fraction;
  if (scale > 0) {
    int digits = scale > 6 ? 6 : scale;
    fraction = ",'.',left(lpad(microsecond(%1),6,'0')," + std::to_string(digits) + ")";
  }
  std::string text;
  for (const char* p = kTemplate; *p != '\0'; ++p) {
    if (p[0] == '%' && p[1] == '1') {
      text += column;
      ++p;
    } else if (p[0] == '%' && p[1] == '2') {
      for (size_t i = 0; i < fraction.size(); ++i) {
        if (fraction[i] == '%' && i + 1 < fraction.size() && fraction[i + 1] == '1') {
          text += column;
          ++i;
        } else {
          text += fraction[i];
        }
      }
      ++p;
    } else {
      text += *p;
    }
  }
  return text;
}

bool HasBinaryForm(const std::string& data_type_name) {
  return data_type_name == "inet4" || data_type_name == "inet6" || data_type_name == "uuid";
}

std::string ColumnQueryText(const std::string& table) {
  // The name goes in as a hex literal: no quoting rule of the server's
  // sql_mode can change what it says. MySQL's DEFAULT_GENERATED (an
  // expression default) is a stored column and stays.
  std::string hex;
  AppendHex(&hex, table);
  return "select column_name,"
         " extra like '%VIRTUAL GENERATED%' or extra like '%STORED GENERATED%'"
         " or extra like '%PERSISTENT GENERATED%',"
         " extra like '%INVISIBLE%', data_type"
         " from information_schema.columns where table_schema = database()"
         " and table_name = convert(X'" +
         hex + "' using utf8mb4) order by ordinal_position";
}

ExportColumns ReadExportColumns(Session& session, const std::string& table) {
  std::unique_ptr<db::Recordset> rs;
  RunQuery(session, ColumnQueryText(table), rs);
  ExportColumns columns;
  std::string list;
  for (; !rs->Eof(); rs->MoveNext()) {
    const bool generated = rs->ValueAt(1).Text() == "1";
    const bool invisible = rs->ValueAt(2).Text() == "1";
    if (generated || invisible) columns.names_required = true;
    if (generated) continue;
    list += QuoteName(rs->ValueAt(0).Text()) + ",";
    columns.data_types.push_back(rs->ValueAt(3).Text());
  }
  CloseRecordset(rs);
  if (!list.empty()) {
    list.pop_back();
    columns.select_list = list;
  }
  return columns;
}

bool NullLooksEmpty(const std::string& data_type_name) {
  // MariaDB names a JSON column's type longtext, MySQL json.
  static const char* const kTypes[] = {
      "char", "varchar", "tinytext",  "text",     "mediumtext", "longtext",   "enum",    "set",
      "json", "binary",  "varbinary", "tinyblob", "blob",       "mediumblob", "longblob"};
  for (const char* type : kTypes) {
    if (data_type_name == type) return true;
  }
  return false;
}

std::string ProbeQueryText(const std::string& table, const std::string& select_list) {
  return "select " + select_list + " from " + QuoteName(table) + " limit 1";
}

DataQuery BuildDataQuery(const db::Fields& probe_fields, const std::string& table) {
  DataQuery query;
  std::string list = "select ";
  for (int i = 0; i < probe_fields.Count(); ++i) {
    const db::Field& field = probe_fields.Item(i);
    std::string name = QuoteName(field.Name());
    bool aliased = false;
    switch (field.Type()) {
      case db::adLongVarBinary:
        list += "convert(" + name + ", binary) as " + QuoteName(field.Name() + kAliasSuffix) + ",";
        aliased = true;
        break;
      case db::adChar:
        // INET4, INET6 and UUID come as text, but a restore in the binary
        // character set reads a value as their binary form: export that.
        if (HasBinaryForm(field.DataTypeName())) {
          list += "cast(" + name + " as binary) as " + QuoteName(field.Name() + kAliasSuffix) + ",";
          aliased = true;
          break;
        }
        list += name + ",";
        break;
      case db::adSingle:
        // Times one: exact for every value (plus zero would turn -0 into 0).
        list += name + "*1e0 as " + name + ",";
        break;
      default:
        list += name + ",";
        break;
    }
    query.aliased.push_back(aliased);
    query.single_precision.push_back(field.Type() == db::adSingle);
  }
  list.pop_back();  // the comma of the last item
  query.sql = list + " from " + QuoteName(table);
  return query;
}

DataQuery RunExportQuery(Session& session, const std::string& table, RunRecordsets& sets) {
  ExportColumns columns = ReadExportColumns(session, table);
  RunQuery(session, ProbeQueryText(table, columns.select_list), sets.TableResult);
  const db::Fields& fields = sets.TableResult->GetFields();
  DataQuery query = BuildDataQuery(fields, table);
  query.names_required = columns.names_required;
  for (int i = 0; i < fields.Count(); ++i) {
    // Without the catalogue the type code decides: text and binary strings.
    const int32_t type = fields.Item(i).Type();
    query.null_as_empty.push_back(columns.data_types.size() == static_cast<size_t>(fields.Count())
                                      ? NullLooksEmpty(columns.data_types[i])
                                      : (type == db::adChar && !query.aliased[i]) ||
                                            type == db::adVarChar || type == db::adLongVarChar ||
                                            type == db::adVarBinary || type == db::adLongVarBinary);
  }
  // A probe that found a row is closed; an empty one is simply replaced.
  if (!sets.TableResult->Eof()) sets.TableResult->Close();
  RunQuery(session, query.sql, sets.TableResult);
  return query;
}

}  // namespace vaultrun
