// The account that runs an archive's definitions. The restore makes it for
// itself, with a random name and password and rights on one database only,
// and sends every statement of the definitions through it: whatever a
// statement says, the server's own privilege rules keep it inside that
// database (no other database, no account, no server file, no global
// variable). The account is dropped again when the restore is done.
#pragma once

#include <memory>
#include <string>

#include "archive/definitions_entry.h"
#include "restore/connection.h"

namespace vaultrun::restore {

// The restoring account cannot make the limited account (it may not create
// accounts or grant rights on the database): nothing of the definitions ran.
inline constexpr int kErrNoLimitedAccount = 3005;

class LimitedAccount {
 public:
  enum class Rights {
    // A database that holds only what the restore made: tables, views,
    // triggers, routines and events may be created and read, nothing
    // inserted, changed or dropped.
    kNewDatabase,
    // A database that holds someone's data: tables may be created, and
    // nothing that is there may be read, changed or dropped.
    kExistingDatabase,
  };

  // Makes the account through admin (the restoring account's connection)
  // and connects as it, on database. Raises kErrNoLimitedAccount when the
  // restoring account may not do so.
  LimitedAccount(Connection& admin, const std::string& database, Rights rights);
  // Disconnects and drops the account; a failure to drop is only told on
  // err (nothing else is left to do about it).
  ~LimitedAccount();
  LimitedAccount(const LimitedAccount&) = delete;
  LimitedAccount& operator=(const LimitedAccount&) = delete;

  Connection& session() { return *session_; }
  // The account as DEFINER clauses name it.
  const Account& account() const { return account_; }
  // Lets a table take its default from a sequence the restore made (the
  // server asks for SELECT and INSERT on it).
  void AllowSequence(const std::string& sequence);
  // Where a failure to drop the account is told; may be null.
  void set_err(std::ostream* err) { err_ = err; }

 private:
  std::string Grantee() const;
  // Disconnects and drops the account, once.
  void Drop() noexcept;

  Connection& admin_;
  std::string database_;
  Account account_;
  bool made_ = false;
  std::unique_ptr<Connection> session_;
  std::ostream* err_ = nullptr;
};

// A database name as GRANT takes it: "_" and "%" are wildcards there, so
// they (and the backslash) get a backslash.
std::string GrantDatabasePattern(const std::string& database);

}  // namespace vaultrun::restore
