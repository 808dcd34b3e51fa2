#include "restore/limited_account.h"

#include <ostream>

#include "core/failure.h"
#include "core/printable.h"
#include "platform/crypto.h"

namespace vaultrun::restore {
namespace {

// Long enough for any statement of a schema; a statement that sleeps is cut.
constexpr int kStatementSeconds = 300;

std::string RandomHex(size_t bytes) {
  std::string raw(bytes, '\0');
  ThrowIfError(SystemRandomBytes(raw.data(), raw.size()));
  return LowerHex(reinterpret_cast<const uint8_t*>(raw.data()), raw.size());
}

[[noreturn]] void CannotMake(const std::string& database, const Failure& failure) {
  throw Failure(kErrNoLimitedAccount,
                "cannot make the temporary account that runs the archive's definitions with "
                "rights on database " +
                    database + " alone (" + failure.description() +
                    "): restore as an account that may create accounts and grant rights on "
                    "that database (root, for example)");
}

}  // namespace

std::string GrantDatabasePattern(const std::string& database) {
  std::string out;
  for (char c : database) {
    if (c == '_' || c == '%' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

LimitedAccount::LimitedAccount(Connection& admin, const std::string& database, Rights rights)
    : admin_(admin), database_(database) {
  // The host the server sees this client as, so that the new account's
  // connection from here is taken for it.
  const std::string user = admin_.QueryOne("SELECT USER()");
  const size_t at = user.rfind('@');
  account_.user = "vaultrun_restore_" + RandomHex(8);
  account_.host = at == std::string::npos ? "localhost" : user.substr(at + 1);
  // Upper and lower case, digits and a sign: what password checks ask for.
  const std::string password = "Vr#" + RandomHex(16) + "x9";
  const std::string on = QuoteIdentifier(GrantDatabasePattern(database_)) + ".*";
  try {
    admin_.Exec("CREATE USER " + Grantee() + " IDENTIFIED BY " + admin_.Literal(password));
    made_ = true;
    admin_.Exec(std::string("GRANT ") +
                (rights == Rights::kNewDatabase
                     ? "CREATE, CREATE VIEW, SHOW VIEW, SELECT, TRIGGER, EVENT, CREATE ROUTINE, "
                       "ALTER ROUTINE, EXECUTE"
                     : "CREATE") +
                " ON " + on + " TO " + Grantee());
  } catch (const Failure& failure) {
    Drop();
    CannotMake(database_, failure);
  }
  try {
    // A foreign key may name a table of another database; the right to do
    // so reads and changes nothing there.
    admin_.Exec("GRANT REFERENCES ON *.* TO " + Grantee());
  } catch (const Failure&) {
    // Without it, only such a foreign key fails, with the server's message.
  }
  ConnectOptions options = admin_.options();
  options.user = account_.user;
  options.password = password;
  options.database = database_;
  try {
    session_ = Connection::Open(options);
  } catch (const Failure& failure) {
    Drop();
    CannotMake(database_, failure);
  }
  session_->Exec("SET NAMES utf8mb4");
  try {
    session_->Exec("SET SESSION max_statement_time = " + std::to_string(kStatementSeconds));
  } catch (const Failure&) {
    // A server without it (MySQL) bounds statements by the read timeout.
  }
}

LimitedAccount::~LimitedAccount() { Drop(); }

void LimitedAccount::Drop() noexcept {
  session_.reset();
  if (!made_) return;
  made_ = false;
  try {
    admin_.Exec("DROP USER IF EXISTS " + Grantee());
  } catch (const std::exception& e) {
    if (err_ != nullptr) {
      *err_ << "warning: could not drop the restore's temporary account " << Grantee() << " ("
            << EscapeControl(e.what()) << "): drop it by hand\n";
    }
  }
}

void LimitedAccount::AllowSequence(const std::string& sequence) {
  admin_.Exec("GRANT SELECT, INSERT ON " + QuoteIdentifier(database_) + "." +
              QuoteIdentifier(sequence) + " TO " + Grantee());
}

std::string LimitedAccount::Grantee() const {
  return admin_.Literal(account_.user) + "@" + admin_.Literal(*account_.host);
}

}  // namespace vaultrun::restore
