// The database session: the one connection of a run and its queries. Every
// call that fails raises a Failure with the server's error number.
#pragma once

#include <memory>
#include <string>

#include "core/process.h"
#include "db/access.h"

namespace vaultrun {

// The connection string of the run, from its nine pieces. A value that
// holds ";" or begins with "{" is wrapped in braces (a "}" inside doubled),
// so that it reaches the server intact; otherwise the pieces are joined
// exactly as they are.
std::string BuildConnectionString(const std::string& server, const std::string& database,
                                  const std::string& user, const std::string& password);

// The run's one connection; closed when the session ends.
struct Session {
  std::unique_ptr<db::Connection> connection;
};

// Opens a new session connection from the connection parameters, read-only
// with server-side cursors (a connection held before is released). Raises
// the server's error number and message when it cannot.
void OpenConnection(const Process& process, Session& session);

// Runs sql on the session connection: rs holds the result (what it held
// before is released). On failure rs is unchanged and the failure raised.
void RunQuery(Session& session, const std::string& sql, std::unique_ptr<db::Recordset>& rs);

// Closes rs when it is open and empties it. Never fails outward.
void CloseRecordset(std::unique_ptr<db::Recordset>& rs);

// Closes the session connection when it is open and releases it. Never
// fails outward.
void CloseConnection(Session& session);

}  // namespace vaultrun
