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
#include "restore/list.h"
#include "restore/trust.h"
#include "run/offsite.h"

namespace vaultrun::restore {
namespace {

constexpr const char kProgram[] = "vaultrun-restore";

// What an option takes after it.
enum class Takes {
  kNothing,        // --force
  kValue,          // --host=H, --host H, -hH, -h H
  kAttachedValue,  // --password[=P], -p[P]: a value only when attached
};

// Applies an option's value (has_value: one was given) to the command
// line; returns what is wrong with it, or "".
using Apply = std::string (*)(CommandLine& line, const std::string& value, bool has_value);

struct Option {
  const char* name;  // the long name, after "--"
  char letter;       // the short letter, or 0
  Takes takes;
  Apply apply;
};

// A whole number of seconds from 1 to max.
std::string Seconds(const char* option, const std::string& value, unsigned max, unsigned* out) {
  unsigned seconds = 0;
  auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), seconds);
  if (ec != std::errc() || end != value.data() + value.size() || seconds == 0 || seconds > max) {
    return std::string("--") + option + " needs a number of seconds from 1 to " +
           std::to_string(max) + ", not '" + value + "'";
  }
  *out = seconds;
  return "";
}

bool IsDigest(const std::string& text) {
  return text.size() == 64 && text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

// Every option, one row each.
const Option kOptions[] = {
    {"host", 'h', Takes::kValue,
     [](CommandLine& l, const std::string& v, bool) {
       l.connect.host = v;
       return std::string();
     }},
    {"port", 'P', Takes::kValue,
     [](CommandLine& l, const std::string& v, bool) {
       unsigned port = 0;
       auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), port);
       if (ec != std::errc() || end != v.data() + v.size() || port == 0 || port > 65535) {
         return "--port needs a number from 1 to 65535, not '" + v + "'";
       }
       l.connect.port = port;
       return std::string();
     }},
    {"socket", 'S', Takes::kValue,
     [](CommandLine& l, const std::string& v, bool) {
       l.connect.socket = v;
       return std::string();
     }},
    {"user", 'u', Takes::kValue,
     [](CommandLine& l, const std::string& v, bool) {
       l.connect.user = v;
       return std::string();
     }},
    // As in MariaDB's clients, a bare --password or -p prompts.
    {"password", 'p', Takes::kAttachedValue,
     [](CommandLine& l, const std::string& v, bool has_value) {
       if (has_value) {
         l.connect.password = v;
         l.password_on_command_line = true;
       } else {
         l.prompt_password = true;
       }
       return std::string();
     }},
    {"database", 'D', Takes::kValue,
     [](CommandLine& l, const std::string& v, bool) {
       l.database = v;
       return std::string();
     }},
    {"defaults-file", 0, Takes::kValue,
     [](CommandLine& l, const std::string& v, bool) {
       l.connect.defaults_file = v;
       return std::string();
     }},
    {"no-defaults", 0, Takes::kNothing,
     [](CommandLine& l, const std::string&, bool) {
       l.connect.read_option_files = false;
       return std::string();
     }},
    {"connect-timeout", 0, Takes::kValue,
     [](CommandLine& l, const std::string& v, bool) {
       return Seconds("connect-timeout", v, 3600, &l.connect.connect_timeout);
     }},
    {"net-timeout", 0, Takes::kValue,
     [](CommandLine& l, const std::string& v, bool) {
       std::string error = Seconds("net-timeout", v, 86400, &l.connect.read_timeout);
       l.connect.write_timeout = l.connect.read_timeout;
       return error;
     }},
    {"force", 'f', Takes::kNothing,
     [](CommandLine& l, const std::string&, bool) {
       l.force = true;
       return std::string();
     }},
    {"allow-incomplete", 0, Takes::kNothing,
     [](CommandLine& l, const std::string&, bool) {
       l.allow_incomplete = true;
       return std::string();
     }},
    {"verify", 0, Takes::kNothing,
     [](CommandLine& l, const std::string&, bool) {
       l.verify = true;
       return std::string();
     }},
    {"source-database", 0, Takes::kValue,
     [](CommandLine& l, const std::string& v, bool) {
       l.source_database = v;
       return std::string();
     }},
    {"key-file", 0, Takes::kValue,
     [](CommandLine& l, const std::string& v, bool) {
       l.key_file = v;
       return std::string();
     }},
    {"show-definitions", 0, Takes::kNothing,
     [](CommandLine& l, const std::string&, bool) {
       l.show_definitions = true;
       return std::string();
     }},
    {"trust-definitions", 0, Takes::kValue,
     [](CommandLine& l, const std::string& v, bool) {
       if (!IsDigest(v)) {
         return std::string(
             "--trust-definitions needs the digest that --show-definitions prints (64 hex "
             "digits)");
       }
       l.trust_definitions = v;
       return std::string();
     }},
    {"unauthenticated", 0, Takes::kNothing,
     [](CommandLine& l, const std::string&, bool) {
       l.unauthenticated = true;
       return std::string();
     }},
    {"allow-triggers", 0, Takes::kNothing,
     [](CommandLine& l, const std::string&, bool) {
       l.allow_triggers = true;
       return std::string();
     }},
    {"definer", 0, Takes::kValue,
     [](CommandLine& l, const std::string& v, bool) {
       std::string error;
       l.definer = ParseAccount(v, &error);
       return error;
     }},
    {"list", 0, Takes::kNothing,
     [](CommandLine& l, const std::string&, bool) {
       l.list = true;
       return std::string();
     }},
    {"deep", 0, Takes::kNothing,
     [](CommandLine& l, const std::string&, bool) {
       l.deep = true;
       return std::string();
     }},
    {"json", 0, Takes::kNothing,
     [](CommandLine& l, const std::string&, bool) {
       l.json = true;
       return std::string();
     }},
    {"help", '?', Takes::kNothing,
     [](CommandLine& l, const std::string&, bool) {
       l.help = true;
       return std::string();
     }},
    {"version", 0, Takes::kNothing,
     [](CommandLine& l, const std::string&, bool) {
       l.version = true;
       return std::string();
     }},
};

const Option* FindOption(const std::string& name, char letter) {
  for (const Option& option : kOptions) {
    if (letter != 0 ? option.letter == letter : name == option.name) return &option;
  }
  return nullptr;
}

// What the mode chosen (restore, --verify, --show-definitions or --list) makes of the
// positional arguments and the options that go with one mode only.
std::string CheckMode(CommandLine& line, const std::vector<std::string>& positional) {
  if (line.list) {
    if (line.verify || line.show_definitions) {
      return "--list goes with neither --verify nor --show-definitions";
    }
    if (positional.size() > 1) return "--list takes one folder";
    if (!line.database.empty() || line.force || line.allow_incomplete) {
      return "--list only lists: it takes neither --database, --force nor --allow-incomplete";
    }
    if (!positional.empty()) line.list_folder = positional[0];
    return "";
  }
  if (line.deep || line.json) return "--deep and --json go with --list";
  if (positional.empty()) return "no archive named";
  line.archive = positional[0];
  line.tables.assign(positional.begin() + 1, positional.end());
  if (line.show_definitions) {
    if (line.verify || !line.database.empty() || !line.tables.empty()) {
      return "--show-definitions only shows an archive's definitions: it takes neither "
             "--verify, --database nor table names";
    }
    return "";
  }
  if (line.verify) {
    if (!line.database.empty() || !line.tables.empty() || line.allow_triggers) {
      return "--verify restores the whole archive into a scratch database: it takes neither "
             "--database, table names nor --allow-triggers";
    }
    return "";
  }
  if (line.database.empty()) return "--database=DB is required: the database to restore into";
  if (!line.source_database.empty()) return "--source-database is only used with --verify";
  return "";
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
    const Option* option = nullptr;
    std::string value;
    bool has_value = false;
    if (arg[1] == '-') {
      size_t equals = arg.find('=');
      option = FindOption(arg.substr(2, equals == std::string::npos ? equals : equals - 2), 0);
      if (equals != std::string::npos) {
        value = arg.substr(equals + 1);
        has_value = true;
      }
    } else {
      // Short options: -uNAME or -u NAME; -pSECRET or -p alone.
      option = FindOption("", arg[1]);
      if (arg.size() > 2) {
        value = arg.substr(2);
        has_value = true;
      }
      if (option != nullptr && option->takes == Takes::kNothing && has_value) option = nullptr;
    }
    if (option == nullptr) {
      *error = "unknown option " + arg;
      return std::nullopt;
    }
    const std::string name = std::string("--") + option->name;
    if (option->takes == Takes::kNothing && has_value) {
      *error = name + " takes no value";
      return std::nullopt;
    }
    if (option->takes == Takes::kValue && !has_value) {
      if (i + 1 >= args.size()) {
        *error = name + " needs a value";
        return std::nullopt;
      }
      value = args[++i];
      has_value = true;
    }
    *error = option->apply(line, value, has_value);
    if (!error->empty()) return std::nullopt;
  }
  if (line.help || line.version) return line;
  *error = CheckMode(line, positional);
  if (!error->empty()) return std::nullopt;
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
       vaultrun-restore [--key-file=FILE] --show-definitions ARCHIVE
       vaultrun-restore [--key-file=FILE] --list [--deep] [--json] [FOLDER]

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

An archive without its completeness mark (its run failed or was cut off) is
refused, as tables or rows may be missing; --allow-incomplete restores what
it holds.

With --list, lists the archives of FOLDER (without FOLDER: the backup folder
of the database that the installed settings and the game server's
configuration name), newest first: stamp, state (complete: the mark is there
and every table it lists has its entry; incomplete: no mark; damaged: the
archive cannot be read, or, with --deep, which decompresses every entry, an
entry fails its CRC-32), whether it is authenticated, tables, rows (by the
mark), size in bytes, format, whether it holds the definitions, and what is
wrong. --json prints the same as a JSON array. Connects to no server.

Archives are authenticated: each run signs its archive's manifest (every
entry's SHA-256 and every table's row count) with this installation's
archive key (made on its first run, beside the settings). Before it writes
anything, the restore checks the tag with the key it holds (this
installation's, or the exported copy --key-file names), then each entry as
it reads it. Definitions run only from an authenticated archive, or when
--trust-definitions gives the digest that --show-definitions printed beside
them. Rows of an archive that is not authenticated (made before archives
were authenticated, by another installation, or changed) go into an existing
database only with --unauthenticated. --verify follows the same rules.

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
      --allow-incomplete    restore an archive that carries no completeness mark
      --allow-triggers      also restore into tables with INSERT triggers, which
                            fire on every row (the restore names them)
      --definer=USER@HOST   make every view, trigger, routine and event with
                            this definer, not the stored ones (archives of
                            older runs store none: they need it)
      --verify              verify the archive as described above
      --source-database=DB  the live database whose definitions --verify copies
                            (for an archive without definitions)
      --key-file=FILE       check archives with the exported archive key in FILE
                            (vaultrun --export-key FILE), e.g. on a new machine
      --show-definitions    print the archive's definitions and their digest
      --trust-definitions=DIGEST
                            run the definitions of an archive that is not
                            authenticated, when their digest is DIGEST
      --unauthenticated     restore or verify the rows of an archive that is
                            not authenticated, as they are
      --list                list the archives of a folder as described above
      --deep                with --list: decompress and check every entry
      --json                with --list: print JSON
      --defaults-file=FILE  read this option file (it must exist) instead of
                            the standard ones
      --no-defaults         read no option file
      --connect-timeout=S   seconds to wait for the server to answer a
                            connection (default 30)
      --net-timeout=S       seconds to wait for any one read or write on the
                            connection (default 600)
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
  TrustOptions trust;
  trust.trust_definitions = line->trust_definitions;
  trust.unauthenticated = line->unauthenticated;
  if (!line->key_file.empty()) {
    std::unique_ptr<Env> own_env = terminal.env != nullptr ? nullptr : NewDefaultEnv();
    Status s = ReadKeyFile(terminal.env != nullptr ? terminal.env : own_env.get(), line->key_file,
                           &trust.key);
    if (!s.ok()) {
      err << kProgram << ": " << s.description() << "\n";
      return kExitFailed;
    }
  } else if (terminal.installation_key) {
    trust.key = terminal.installation_key();
  }
  if (line->show_definitions) {
    try {
      const std::unique_ptr<FetchedArchive> fetched = FetchIfRemote(line->archive, terminal);
      return ShowDefinitions(fetched ? fetched->path() : line->archive, trust, out, err)
                 ? kExitOk
                 : kExitFailed;
    } catch (const Failure& failure) {
      err << kProgram << ": " << failure.description() << "\n";
      return kExitFailed;
    }
  }
  if (line->list) {
    try {
      Env* env = terminal.env;
      std::string folder = line->list_folder;
      if (folder.empty()) {
        std::unique_ptr<SettingsStore> settings = NewDefaultSettingsStore(env);
        folder = InstalledDatabaseFolder(env, settings.get());
      }
      out << FormatListing(folder, ListArchives(env, folder, line->deep, &trust.key), line->json);
      return kExitOk;
    } catch (const Failure& failure) {
      err << kProgram << ": " << failure.description() << "\n";
      return kExitFailed;
    }
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
      request.trust = trust;
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
    request.allow_incomplete = line->allow_incomplete;
    request.trust = trust;
    request.allow_triggers = line->allow_triggers;
    request.definer = line->definer;
    RestoreSummary summary = Restore(request, *connection, terminal.console);
    out << "Restored " << summary.tables.size() << " tables, " << summary.rows << " rows into "
        << line->database
        << (summary.authenticated ? "" : ", from an archive that is not authenticated") << "\n";
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
