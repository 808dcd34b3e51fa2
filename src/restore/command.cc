#include "restore/command.h"

#include <charconv>
#include <ostream>

#include "config/settings.h"
#include "core/failure.h"
#include "core/printable.h"
#include "platform/env.h"
#include "platform/settings_store.h"
#include "platform/system.h"
#include "platform/terminal.h"
#include "run/offsite.h"

namespace vaultrun::restore {
namespace {

constexpr const char kProgram[] = "vaultrun-restore";

// Options that take a value, long name and short letter.
struct ValueOption {
  const char* name;
  char letter;
};
constexpr ValueOption kValueOptions[] = {
    {"host", 'h'},     {"port", 'P'},        {"socket", 'S'},        {"user", 'u'},
    {"database", 'D'}, {"defaults-file", 0}, {"source-database", 0}, {"definer", 0},
};

bool SetValue(CommandLine& line, const std::string& name, const std::string& value,
              std::string* error) {
  if (name == "host") {
    line.connect.host = value;
  } else if (name == "port") {
    unsigned port = 0;
    auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), port);
    if (ec != std::errc() || end != value.data() + value.size() || port == 0 || port > 65535) {
      *error = "--port needs a number from 1 to 65535, not '" + value + "'";
      return false;
    }
    line.connect.port = port;
  } else if (name == "socket") {
    line.connect.socket = value;
  } else if (name == "user") {
    line.connect.user = value;
  } else if (name == "database") {
    line.database = value;
  } else if (name == "defaults-file") {
    line.connect.defaults_file = value;
  } else if (name == "source-database") {
    line.source_database = value;
  } else if (name == "definer") {
    line.definer = ParseAccount(value, error);
    if (!line.definer) return false;
  }
  return true;
}

// One part of an account at text[*at]: quoted, or bare up to stop.
bool AccountPart(const std::string& text, size_t* at, char stop, std::string* part) {
  part->clear();
  if (*at < text.size() && (text[*at] == '\'' || text[*at] == '`' || text[*at] == '"')) {
    const char quote = text[(*at)++];
    for (;;) {
      if (*at >= text.size()) return false;
      if (text[*at] == quote) {
        if (*at + 1 < text.size() && text[*at + 1] == quote) {
          *part += quote;
          *at += 2;
          continue;
        }
        ++*at;
        return !part->empty();
      }
      *part += text[(*at)++];
    }
  }
  while (*at < text.size() && text[*at] != stop) *part += text[(*at)++];
  return !part->empty();
}

// An archive on an rclone remote ("b2:kelvane-backups/db/<stamp>.zip"),
// fetched with rclone (rclone_path, rclone_config and offsite_timeout as
// the backup runs set them) into a new file of the owner's only in the
// temp folder, confirmed whole against the remote, and deleted again when
// the command ends.
class FetchedArchive {
 public:
  FetchedArchive(const std::string& remote_path, const Terminal& terminal) : env_(terminal.env) {
    // rclone's settings, read as a run reads them (from the same key table).
    std::unique_ptr<SettingsStore> store = NewDefaultSettingsStore(env_);
    Process process;
    process.env = env_;
    process.settings = store.get();
    std::vector<std::string> warnings;
    const RunSettings settings =
        ReadSomeSettings(process, {"rclone_path", "rclone_config", "offsite_timeout"}, &warnings);
    for (const std::string& warning : warnings) {
      *terminal.console.err << kProgram << ": warning: " << warning << "\n";
    }
    std::string name = remote_path.substr(remote_path.find_last_of(":/") + 1);
    if (!env_->IsUsableFileName(name)) name = "archive.zip";
    path_ = terminal.temp_folder;
    if (!path_.empty() && path_.back() != env_->Separator()) path_ += env_->Separator();
    path_ += std::string(kProgram) + "-" + std::to_string(CurrentProcessId()) + "-" + name;
    Rclone rclone(env_, RcloneSetupOf(env_, settings), remote_path);
    try {
      rclone.Fetch(remote_path, path_);
      rclone.ConfirmSame(remote_path, path_);
    } catch (const Failure& failure) {
      Remove();
      throw Failure(failure.number(), "fetch " + RemoteForDisplay(remote_path) + ": " +
                                          ScrubRemote(failure.description(), remote_path));
    }
  }
  ~FetchedArchive() { Remove(); }
  FetchedArchive(const FetchedArchive&) = delete;
  FetchedArchive& operator=(const FetchedArchive&) = delete;
  const std::string& path() const { return path_; }

 private:
  void Remove() {
    if (env_->Exists(path_)) env_->DeleteFile(path_);
  }

  Env* env_;
  std::string path_;
};

// The fetched archive when the command names one on a remote (and no local
// file of that name exists), else nothing.
std::unique_ptr<FetchedArchive> FetchIfRemote(const std::string& archive,
                                              const Terminal& terminal) {
  Env* env = terminal.env;
  if (env->Exists(archive) || !LooksLikeRemote(archive, env->Separator() == '\\')) {
    return nullptr;
  }
  return std::make_unique<FetchedArchive>(archive, terminal);
}

}  // namespace

std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& args,
                                            std::string* error) {
  CommandLine line;
  std::vector<std::string> positional;
  bool options_end = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_end || arg.size() < 2 || arg[0] != '-') {
      positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_end = true;
      continue;
    }
    std::string name, value;
    bool has_value = false;
    if (arg[1] == '-') {
      size_t equals = arg.find('=');
      name = arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
      if (equals != std::string::npos) {
        value = arg.substr(equals + 1);
        has_value = true;
      }
    } else {
      // Short options: -uNAME or -u NAME; -pSECRET or -p alone.
      char letter = arg[1];
      if (letter == 'p') {
        name = "password";
      } else if (letter == 'f') {
        name = "force";
      } else if (letter == '?') {
        name = "help";
      } else {
        for (const ValueOption& option : kValueOptions) {
          if (option.letter == letter) name = option.name;
        }
        if (name.empty()) {
          *error = "unknown option " + arg;
          return std::nullopt;
        }
      }
      if (arg.size() > 2) {
        value = arg.substr(2);
        has_value = true;
      }
      if (has_value && (name == "force" || name == "help")) {
        *error = "unknown option " + arg;
        return std::nullopt;
      }
    }

    if (name == "password") {
      // As in MariaDB's clients, a bare --password or -p prompts.
      if (has_value) {
        line.connect.password = value;
        line.password_on_command_line = true;
      } else {
        line.prompt_password = true;
      }
      continue;
    }
    bool is_flag = true;
    if (name == "help") {
      line.help = true;
    } else if (name == "version") {
      line.version = true;
    } else if (name == "verify") {
      line.verify = true;
    } else if (name == "force") {
      line.force = true;
    } else if (name == "allow-triggers") {
      line.allow_triggers = true;
    } else if (name == "no-defaults") {
      line.connect.read_option_files = false;
    } else {
      is_flag = false;
    }
    if (is_flag) {
      if (has_value) {
        *error = "--" + name + " takes no value";
        return std::nullopt;
      }
      continue;
    }
    bool known = false;
    for (const ValueOption& option : kValueOptions) known = known || name == option.name;
    if (!known) {
      *error = "unknown option " + arg;
      return std::nullopt;
    }
    if (!has_value) {
      if (i + 1 >= args.size()) {
        *error = "--" + name + " needs a value";
        return std::nullopt;
      }
      value = args[++i];
    }
    if (!SetValue(line, name, value, error)) return std::nullopt;
  }
  if (line.help || line.version) return line;

  if (positional.empty()) {
    *error = "no archive named";
    return std::nullopt;
  }
  line.archive = positional[0];
  line.tables.assign(positional.begin() + 1, positional.end());
  if (line.verify) {
    if (!line.database.empty() || !line.tables.empty() || line.allow_triggers) {
      *error =
          "--verify restores the whole archive into a scratch database: it takes neither "
          "--database, table names nor --allow-triggers";
      return std::nullopt;
    }
  } else {
    if (line.database.empty()) {
      *error = "--database=DB is required: the database to restore into";
      return std::nullopt;
    }
    if (!line.source_database.empty()) {
      *error = "--source-database is only used with --verify";
      return std::nullopt;
    }
  }
  return line;
}

std::optional<Account> ParseAccount(const std::string& text, std::string* error) {
  Account account;
  std::string host;
  size_t at = 0;
  if (!AccountPart(text, &at, '@', &account.user) || at >= text.size() || text[at] != '@' ||
      !AccountPart(text, &++at, '\0', &host) || at != text.size()) {
    *error = "--definer needs an account as USER@HOST (kelvane@localhost, 'kelvane'@'%'), not '" +
             text + "'";
    return std::nullopt;
  }
  account.host = host;
  return account;
}

std::string HelpText() {
  return R"(Usage: vaultrun-restore [options] ARCHIVE --database=DB [TABLE...]
       vaultrun-restore [options] --verify [--source-database=DB] ARCHIVE

ARCHIVE is a file, or an archive on an rclone remote (remote:path/<stamp>.zip),
which is fetched with rclone into a temporary file first (the settings
rclone_path, rclone_config and offsite_timeout apply).

Restores a vaultrun archive, or the named tables of it, into database DB,
streaming each table from the archive. When DB does not exist it is made
from the definitions the archive holds (tables, then the rows, then
routines, views, triggers and events; dropped again if the restore fails).
When DB exists, a table it lacks is made from the archive's definition. An
archive without definitions needs the tables in DB first (from the game
server's schema). A table missing that way, one that already holds rows
(unless --force), or one with INSERT triggers (unless --allow-triggers)
stops the restore before anything is written. Each table is restored in one
transaction (rolled back on failure, for InnoDB tables).

The archive's definitions run through a temporary account that the restore
makes with rights on the one database alone (so the restoring account needs
the right to create accounts and grant), each under the sql_mode it was
stored with, and are first tried in a scratch database (vaultrun_check_...).
Views, triggers, routines and events get the definers the archive stores,
or the account --definer names.

With --verify, restores the whole archive into a new scratch database
(vaultrun_verify_<stamp>_<pid>) made from the archive's definitions as a
restore makes it (every object; events disabled), or, without them, with the
live database's table definitions (CREATE TABLE ... LIKE), compares each
table's row count with the archive's completeness mark and each restored row
with the archive's (exported again with vaultrun's own code; FLOAT by value),
drops the scratch database and prints the verdict. The live database is the
one the mark names, or --source-database. The account needs CREATE, DROP and
INSERT rights, and for definitions those above.

Options:
  -h, --host=HOST           server host
  -P, --port=PORT           server TCP port
  -S, --socket=PATH         server unix socket
  -u, --user=USER           user name
  -p, --password[=PASSWORD] password; without a value it is asked for on the
                            terminal (a value given here can be seen by other
                            users of the machine: prefer an option file)
  -D, --database=DB         the database to restore into
  -f, --force               also restore into tables that already hold rows
      --allow-triggers      also restore into tables with INSERT triggers, which
                            fire on every row (the restore names them)
      --definer=USER@HOST   make every view, trigger, routine and event with
                            this definer, not the stored ones (archives of
                            older runs store none: they need it)
      --verify              verify the archive as described above
      --source-database=DB  the live database whose definitions --verify copies
                            (for an archive without definitions)
      --defaults-file=FILE  read this option file (it must exist) instead of
                            the standard ones
      --no-defaults         read no option file
      --help, --version

)" + ClientOptionFilesText() +
         R"(
SQL archives (.sql entries) restore exactly: bytes pass unchanged (character
set binary), zero and invalid dates and 0 in AUTO_INCREMENT columns are kept,
generated columns are computed by the server. Only INSERTs of literal rows
into the entry's own table are sent; anything else is refused. A table is
rolled back and the restore fails when the server reports a warning while
loading it, or when its row count differs from the archive's mark. TIMESTAMP
values are read in the zone the archive's mark names (UTC): the same
instants on any server. Archives of older runs name none; their TIMESTAMP
values are taken in this server's time zone: restore them on a server in
the same zone. A statement holds 20 rows; the server's max_allowed_packet must hold
it (you are told the size needed when it does not).

Tab-separated archives (.csv entries) are loaded with LOAD DATA LOCAL, which
the server must allow (local_infile=ON). Their limits: an empty field
restores as an empty value in text and binary columns (NULL cannot be told
from empty text there; in number and date columns an empty field restores
as NULL where the column allows it), and a row with the wrong number of
fields (a value that held a TAB or a line break) stops the restore with its
line number.

Exit status: 0 on success (and an OK verdict), 1 on a failure, 2 on bad usage.
)";
}

int RunRestoreCommand(const std::vector<std::string>& args, const Terminal& terminal) {
  std::ostream& out = *terminal.console.out;
  std::ostream& err = *terminal.console.err;
  std::string error;
  std::optional<CommandLine> line = ParseCommandLine(args, &error);
  if (!line) {
    err << kProgram << ": " << error << "\nUsage: " << kProgram
        << " [options] ARCHIVE --database=DB [TABLE...]\n"
        << "Try '" << kProgram << " --help' for more.\n";
    return kExitUsage;
  }
  if (line->help) {
    out << HelpText();
    return kExitOk;
  }
  if (line->version) {
    out << kProgram << " " << VAULTRUN_VERSION << "\n";
    return kExitOk;
  }
  if (line->password_on_command_line) {
    err << kProgram
        << ": warning: a password on the command line can be seen by other users of this "
           "machine; use --password without a value to be asked for it, or an option file\n";
  }
  if (line->prompt_password) {
    std::optional<std::string> password;
    if (terminal.read_password) password = terminal.read_password("Enter password: ");
    if (!password) {
      err << kProgram << ": cannot ask for the password: no terminal\n";
      return kExitFailed;
    }
    line->connect.password = *password;
  }
  line->connect.env = terminal.env;

  try {
    std::unique_ptr<Connection> connection;
    try {
      connection = Connection::Open(line->connect);
    } catch (const Failure& failure) {
      err << kProgram << ": cannot connect to the server: " << EscapeControl(failure.description())
          << "\n";
      return kExitFailed;
    }
    // Every mode reads the archive from a local file: one on a remote is
    // fetched first (a mode added later gets it here too).
    const std::unique_ptr<FetchedArchive> fetched = FetchIfRemote(line->archive, terminal);
    if (fetched) line->archive = fetched->path();
    if (line->verify) {
      VerifyRequest request;
      request.archive = line->archive;
      request.source_database = line->source_database;
      request.scratch_database =
          terminal.scratch_name ? terminal.scratch_name() : std::string("vaultrun_verify");
      ConnectOptions options = line->connect;
      request.reconnect = [options] { return Connection::Open(options); };
      request.definer = line->definer;
      VerifyResult result = Verify(request, *connection, terminal.console);
      // Each line of the verdict as the terminal may show it.
      std::string_view verdict = result.verdict;
      for (size_t end; (end = verdict.find('\n')) != std::string_view::npos;
           verdict.remove_prefix(end + 1)) {
        out << EscapeControl(verdict.substr(0, end)) << "\n";
      }
      out << EscapeControl(verdict) << "\n";
      return result.ok ? kExitOk : kExitFailed;
    }
    RestoreRequest request;
    request.archive = line->archive;
    request.database = line->database;
    request.tables = line->tables;
    request.force = line->force;
    request.allow_triggers = line->allow_triggers;
    request.definer = line->definer;
    RestoreSummary summary = Restore(request, *connection, terminal.console);
    out << "Restored " << summary.tables.size() << " tables, " << summary.rows << " rows into "
        << line->database << "\n";
    return kExitOk;
  } catch (const Failure& failure) {
    err << kProgram << ": " << EscapeControl(failure.description()) << "\n";
    return kExitFailed;
  } catch (const std::exception& e) {
    err << kProgram << ": " << EscapeControl(e.what()) << "\n";
    return kExitFailed;
  }
}

}  // namespace vaultrun::restore
