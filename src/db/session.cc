#include "db/session.h"

#include <exception>
#include <utility>

#include "db/connection_string.h"

namespace vaultrun {
namespace {

// What a query on a missing connection reports (the text of the Basic
// runtime's error 91).
const char kNoConnectionMessage[] = "Object variable or With block variable not set";

}  // namespace

std::string BuildConnectionString(const std::string& server, const std::string& database,
                                  const std::string& user, const std::string& password) {
  return "DRIVER={MySQL ODBC 3.51 Driver};SERVER=" + db::QuoteConnectionValue(server) +
         ";DATABASE=" + db::QuoteConnectionValue(database) +
         ";UID=" + db::QuoteConnectionValue(user) + ";PWD=" + db::QuoteConnectionValue(password) +
         ";OPTION=3";
}

void OpenConnection(const Process& process, Session& session) {
  session.connection.reset();
  auto connection = std::make_unique<db::Connection>();
  connection->SetConnectionString(
      BuildConnectionString(process.DbServer, process.DbName, process.DbUser, process.DbPassword));
  connection->SetCursorLocation(db::adUseServer);
  connection->SetMode(db::adModeRead);
  connection->SetEnv(process.env);
  connection->Open("", "", "", -1);
  session.connection = std::move(connection);
}

void RunQuery(Session& session, const std::string& sql, std::unique_ptr<db::Recordset>& rs) {
  if (session.connection == nullptr) throw Failure(kErrDatabase, kNoConnectionMessage);
  rs = session.connection->Execute(sql);
}

void RunStatement(Session& session, const std::string& sql) {
  std::unique_ptr<db::Recordset> result;
  RunQuery(session, sql, result);
  CloseRecordset(result);
}

void CloseRecordset(std::unique_ptr<db::Recordset>& rs) {
  if (rs == nullptr) return;
  try {
    if (rs->State() != db::adStateClosed) rs->Close();
  } catch (const std::exception&) {
    // Closing is best effort: the result set is released either way.
  }
  rs.reset();
}

void CloseConnection(Session& session) {
  if (session.connection == nullptr) return;
  try {
    if (session.connection->State() != db::adStateClosed) session.connection->Close();
  } catch (const std::exception&) {
    // The handle is released either way.
  }
  session.connection.reset();
}

}  // namespace vaultrun
