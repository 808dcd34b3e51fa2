// The database session: the one connection of a run and its queries.
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

// Opens a new session connection from the connection parameters, read-only
// with server-side cursors. False on failure; the connection then stays in
// process.SessionConnection, not open, with the server's message in its
// error list.
bool OpenConnection(Process& process);

// Runs sql on the session connection. True with rs holding the result (what
// rs held before is released), or false with LastErrorDescription set and
// rs unchanged.
bool RunQuery(Process& process, const std::string& sql, std::unique_ptr<db::Recordset>& rs);

// RunQuery that raises the failure (kErrDatabase, LastErrorDescription)
// instead of returning false, for steps under the run-level handler.
void RunQueryOrRaise(Process& process, const std::string& sql, std::unique_ptr<db::Recordset>& rs);

// Closes rs when it is open and empties it. Never fails outward.
void CloseRecordset(std::unique_ptr<db::Recordset>& rs);

// Closes the session connection when it is open and releases it. A failure
// of the close reaches the caller.
void CloseConnection(Process& process);

// Closes both result sets, closes the connection and ends the process
// (raises ProcessEnd). Does not return.
[[noreturn]] void ShutDown(Process& process, std::unique_ptr<db::Recordset>& first,
                           std::unique_ptr<db::Recordset>& second);

}  // namespace vaultrun
