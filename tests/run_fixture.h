// A run's process state for tests: the real Env, a recording event log and
// a session opened on a fresh database of the test server.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/process.h"
#include "db/session.h"
#include "fakes.h"
#include "run/export_query.h"
#include "test_db.h"
#include "test_util.h"

namespace vaultrun::test {

class RunFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    env_ = NewDefaultEnv();
    process_.env = env_.get();
    process_.event_log = &log_;
    database_ = TestServer::Get().CreateDatabase("run");
    TestServer::Get().UseBackupAccount(process_, database_);
    // Unqualified names in the tests' own SQL (seq_1_to_N) resolve here.
    TestServer::Get().Admin("USE `" + database_ + "`");
  }
  void Open();  // opens the session; fails the test when it cannot
  // Creates a table in the test database and fills it.
  void Table(const std::string& name, const std::string& columns, const std::string& values = "");
  // Runs the export queries and writes the data file of table; returns the
  // file's content.
  std::string Export(const std::string& table, int32_t format_sql,
                     const std::string& format_insert = "0");

  std::unique_ptr<Env> env_;
  RecordingEventLog log_;
  Process process_;
  Session session_;
  std::string database_;
  TempDir dir_;
  RunRecordsets sets_;
};

}  // namespace vaultrun::test
