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

bool OpenConnection(Process& process) {
  try {
    process.SessionConnection.reset();
    process.SessionConnection = std::make_unique<db::Connection>();
    db::Connection& connection = *process.SessionConnection;
    connection.SetConnectionString(BuildConnectionString(process.DbServer, process.DbName,
                                                         process.DbUser, process.DbPassword));
    connection.SetCursorLocation(db::adUseServer);
    connection.SetMode(db::adModeRead);
    connection.Open("", "", "", -1);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool RunQuery(Process& process, const std::string& sql, std::unique_ptr<db::Recordset>& rs) {
  try {
    if (process.SessionConnection == nullptr) throw Failure(kErrDatabase, kNoConnectionMessage);
    std::unique_ptr<db::Recordset> result = process.SessionConnection->Execute(sql);
    rs = std::move(result);
    return true;
  } catch (const Failure& failure) {
    process.LastErrorDescription = failure.description();
    return false;
  } catch (const std::exception& e) {
    process.LastErrorDescription = e.what();
    return false;
  }
}

void RunQueryOrRaise(Process& process, const std::string& sql, std::unique_ptr<db::Recordset>& rs) {
  if (!RunQuery(process, sql, rs)) throw Failure(kErrDatabase, process.LastErrorDescription);
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

void CloseConnection(Process& process) {
  if (process.SessionConnection == nullptr) return;
  if (process.SessionConnection->State() != db::adStateClosed) process.SessionConnection->Close();
  process.SessionConnection.reset();
}

void ShutDown(Process& process, std::unique_ptr<db::Recordset>& first,
              std::unique_ptr<db::Recordset>& second) {
  CloseRecordset(first);
  CloseRecordset(second);
  CloseConnection(process);
  throw ProcessEnd{};
}

}  // namespace vaultrun
