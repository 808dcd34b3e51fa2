#include "run_fixture.h"

#include "db/session.h"
#include "run/data_file.h"

namespace vaultrun::test {

void RunFixture::Open() { ASSERT_NO_THROW(OpenConnection(process_, session_)); }

void RunFixture::Table(const std::string& name, const std::string& columns,
                       const std::string& values) {
  TestServer::Get().CreateTable(database_, name, columns);
  if (!values.empty()) TestServer::Get().Insert(database_, name, values);
}

std::string RunFixture::Export(const std::string& table, int32_t format_sql,
                               const std::string& format_insert) {
  if (!session_.connection) Open();
  DataQuery query = RunExportQuery(session_, table, sets_);
  WriteDataFile(process_, table, dir_.Sub(table), sets_, format_sql, format_insert, query);
  return ReadFileOrDie(dir_.Sub(table) + DataFileExtension(format_sql));
}

}  // namespace vaultrun::test
