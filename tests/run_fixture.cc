#include "run_fixture.h"

#include "db/session.h"
#include "run/data_file.h"

namespace vaultrun::test {

void RunFixture::Open() {
  ASSERT_TRUE(OpenConnection(process_))
      << process_.SessionConnection->GetErrors().Item(0).Description;
}

void RunFixture::Table(const std::string& name, const std::string& columns,
                       const std::string& values) {
  TestServer::Get().CreateTable(database_, name, columns);
  if (!values.empty()) TestServer::Get().Insert(database_, name, values);
}

std::string RunFixture::Export(const std::string& table, int32_t format_sql,
                               const std::string& format_insert) {
  if (!process_.SessionConnection) Open();
  DataQuery query = RunExportQuery(process_, table, sets_);
  WriteDataFile(process_, table, dir_.Sub(table), sets_, format_sql, format_insert, query);
  return ReadFileOrDie(dir_.Sub(table) + DataFileExtension(format_sql));
}

}  // namespace vaultrun::test
