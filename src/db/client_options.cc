#include "db/client_options.h"

#include <mysql.h>

#include <algorithm>
#include <memory>

#include "core/failure.h"
#include "db/option_file.h"
#include "platform/path_rules.h"
#include "platform/system.h"

namespace vaultrun::db {
namespace {

// Option files are a few lines; this bounds what one may make the program
// read, and how deep and how many includes go.
constexpr uint64_t kMaxFileBytes = 1 << 20;
constexpr int kMaxIncludeDepth = 10;
constexpr size_t kMaxFiles = 100;

enum class Kind { kText, kNumber, kSwitch, kProtocol };

struct Allowed {
  const char* key;
  mysql_option option;
  Kind kind;
  bool named_only;   // only from a file the user named
  unsigned max = 0;  // largest number (kNumber)
};

// The options that reach the library, with the names Connector/C reads
// (and its aliases). Everything else (init-command, local-infile,
// max-allowed-packet, default-character-set, connection, ...) is left out:
// each program sets those itself.
constexpr Allowed kAllowed[] = {
    {"host", MARIADB_OPT_HOST, Kind::kText, false},
    {"port", MARIADB_OPT_PORT, Kind::kNumber, false, 65535},
    {"socket", MARIADB_OPT_UNIXSOCKET, Kind::kText, false},
    {"unix-socket", MARIADB_OPT_UNIXSOCKET, Kind::kText, false},
    {"pipe", MYSQL_OPT_NAMED_PIPE, Kind::kSwitch, false},
    {"protocol", MYSQL_OPT_PROTOCOL, Kind::kProtocol, false},
    {"user", MARIADB_OPT_USER, Kind::kText, false},
    {"password", MARIADB_OPT_PASSWORD, Kind::kText, false},
    {"passwd", MARIADB_OPT_PASSWORD, Kind::kText, false},
    {"connect-timeout", MYSQL_OPT_CONNECT_TIMEOUT, Kind::kNumber, false, 86400},
    {"timeout", MYSQL_OPT_CONNECT_TIMEOUT, Kind::kNumber, false, 86400},
    {"compress", MYSQL_OPT_COMPRESS, Kind::kSwitch, false},
    {"bind-address", MYSQL_OPT_BIND, Kind::kText, false},
    {"ssl-ca", MYSQL_OPT_SSL_CA, Kind::kText, false},
    {"ssl-capath", MYSQL_OPT_SSL_CAPATH, Kind::kText, false},
    {"ssl-cert", MYSQL_OPT_SSL_CERT, Kind::kText, false},
    {"ssl-key", MYSQL_OPT_SSL_KEY, Kind::kText, false},
    {"ssl-cipher", MYSQL_OPT_SSL_CIPHER, Kind::kText, false},
    {"ssl-crl", MYSQL_OPT_SSL_CRL, Kind::kText, false},
    {"ssl-crlpath", MYSQL_OPT_SSL_CRLPATH, Kind::kText, false},
    {"ssl-fp", MARIADB_OPT_SSL_FP, Kind::kText, false},
    {"ssl-fp-list", MARIADB_OPT_SSL_FP_LIST, Kind::kText, false},
    {"ssl-fplist", MARIADB_OPT_SSL_FP_LIST, Kind::kText, false},
    {"ssl-passphrase", MARIADB_OPT_TLS_PASSPHRASE, Kind::kText, false},
    {"ssl-enforce", MYSQL_OPT_SSL_ENFORCE, Kind::kSwitch, false},
    {"ssl-verify-server-cert", MYSQL_OPT_SSL_VERIFY_SERVER_CERT, Kind::kSwitch, false},
    {"tls-ca", MYSQL_OPT_SSL_CA, Kind::kText, false},
    {"tls-capath", MYSQL_OPT_SSL_CAPATH, Kind::kText, false},
    {"tls-cert", MYSQL_OPT_SSL_CERT, Kind::kText, false},
    {"tls-key", MYSQL_OPT_SSL_KEY, Kind::kText, false},
    {"tls-cipher", MYSQL_OPT_SSL_CIPHER, Kind::kText, false},
    {"tls-crl", MYSQL_OPT_SSL_CRL, Kind::kText, false},
    {"tls-crlpath", MYSQL_OPT_SSL_CRLPATH, Kind::kText, false},
    {"tls-fp", MARIADB_OPT_SSL_FP, Kind::kText, false},
    {"tls-fplist", MARIADB_OPT_SSL_FP_LIST, Kind::kText, false},
    {"tls-passphrase", MARIADB_OPT_TLS_PASSPHRASE, Kind::kText, false},
    {"tls-enforce", MYSQL_OPT_SSL_ENFORCE, Kind::kSwitch, false},
    {"tls-verify-peer", MYSQL_OPT_SSL_VERIFY_SERVER_CERT, Kind::kSwitch, false},
    {"tls-version", MARIADB_OPT_TLS_VERSION, Kind::kText, false},
    {"server-public-key", MYSQL_SERVER_PUBLIC_KEY, Kind::kText, false},
    {"restricted-auth", MARIADB_OPT_RESTRICTED_AUTH, Kind::kText, false},
    {"plugin-dir", MYSQL_PLUGIN_DIR, Kind::kText, true},
    {"default-auth", MYSQL_DEFAULT_AUTH, Kind::kText, true},
};

const Allowed* FindAllowed(const std::string& key) {
  for (const Allowed& allowed : kAllowed) {
    if (key == allowed.key) return &allowed;
  }
  return nullptr;
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool EndsWithNoCase(const std::string& name, std::string_view suffix) {
  return name.size() > suffix.size() &&
         EqualsNoCase(std::string_view(name).substr(name.size() - suffix.size()), suffix);
}

// The value as the library takes it (a number in decimal, a switch as 1 or
// 0), or nothing when the option cannot take it.
std::optional<std::string> Checked(const Allowed& allowed,
                                   const std::optional<std::string>& value) {
  switch (allowed.kind) {
    case Kind::kText:
      return value;
    case Kind::kNumber: {
      if (!value || value->empty() || value->size() > 9 ||
          value->find_first_not_of("0123456789") != std::string::npos ||
          std::stoul(*value) > allowed.max) {
        return std::nullopt;
      }
      return std::to_string(std::stoul(*value));
    }
    case Kind::kSwitch: {
      // A bare switch turns it on, as MariaDB's own clients read it.
      const std::string v = value ? Lower(*value) : "1";
      if (v == "1" || v == "on" || v == "true" || v == "yes") return "1";
      if (v == "0" || v == "off" || v == "false" || v == "no") return "0";
      return std::nullopt;
    }
    case Kind::kProtocol: {
      const std::string v = value ? Lower(*value) : "";
      if (v == "tcp") return std::to_string(MYSQL_PROTOCOL_TCP);
      if (v == "socket") return std::to_string(MYSQL_PROTOCOL_SOCKET);
      if (v == "pipe") return std::to_string(MYSQL_PROTOCOL_PIPE);
      if (v == "memory") return std::to_string(MYSQL_PROTOCOL_MEMORY);
      return std::nullopt;
    }
  }
  return std::nullopt;
}

class Reader {
 public:
  Reader(Env& env, bool named) : env_(env), named_(named) {}

  // Reads the file at path and what it includes; a missing file is skipped
  // unless must_exist.
  void Read(const std::string& path, int depth, bool must_exist) {
    if (depth > kMaxIncludeDepth || ++files_ > kMaxFiles) {
      throw Failure(kErrDatabase, "option file " + path + ": more than " +
                                      std::to_string(kMaxFiles) + " files or " +
                                      std::to_string(kMaxIncludeDepth) + " levels of !include");
    }
    std::string text;
    if (!ReadBounded(path, must_exist, &text)) return;
    const ParsedOptionFile parsed =
        ParseOptionFile(text, {"client", "client-server", "client-mariadb"});
    if (!parsed.unreadable.empty()) {
      throw Failure(kErrDatabase, "option file " + path + ", " + parsed.unreadable.front());
    }
    for (const OptionLine& line : parsed.lines) {
      switch (line.kind) {
        case OptionLine::Kind::kInclude:
          Read(LocalTextToUtf8(*line.value), depth + 1, false);
          break;
        case OptionLine::Kind::kIncludeDir:
          ReadFolder(LocalTextToUtf8(*line.value), depth + 1);
          break;
        case OptionLine::Kind::kOption:
          Take(path, line);
          break;
      }
    }
  }

  std::vector<ClientOption> options() && { return std::move(options_); }

 private:
  bool ReadBounded(const std::string& path, bool must_exist, std::string* text) {
    std::unique_ptr<File> file;
    Status s = env_.OpenFile(path, OpenMode::kRead, 0, &file);
    if (!s.ok() && env_.IsNotFound(s) && !must_exist) return false;
    if (!s.ok()) {
      throw Failure(s.number(), "option file " + path + ": " +
                                    (env_.IsNotFound(s) ? "not found" : s.description()));
    }
    char buffer[4096];
    for (;;) {
      size_t got = 0;
      s = file->Read(buffer, sizeof buffer, &got);
      if (!s.ok()) throw Failure(s.number(), "option file " + path + ": " + s.description());
      if (got == 0) return true;
      text->append(buffer, got);
      if (text->size() > kMaxFileBytes) {
        throw Failure(kErrDatabase, "option file " + path + ": larger than " +
                                        std::to_string(kMaxFileBytes) + " bytes");
      }
    }
  }

  // The option files in folder (names ending .cnf or .ini), by name.
  void ReadFolder(const std::string& folder, int depth) {
    std::vector<std::string> names;
    if (!env_.FolderExists(folder) || !env_.ListFolder(folder, &names).ok()) return;
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      if (EndsWithNoCase(name, ".cnf") || EndsWithNoCase(name, ".ini")) {
        Read(folder + env_.Separator() + name, depth, false);
      }
    }
  }

  void Take(const std::string& path, const OptionLine& line) {
    const Allowed* allowed = FindAllowed(line.key);
    if (allowed == nullptr || (allowed->named_only && !named_)) return;
    std::optional<std::string> value = Checked(*allowed, line.value);
    if (!value) {
      throw Failure(kErrDatabase, "option file " + path + ", line " + std::to_string(line.line) +
                                      ": " + line.key + " cannot be " +
                                      (line.value ? "\"" + *line.value + "\"" : "left empty"));
    }
    options_.push_back({line.key, std::move(value)});
  }

  Env& env_;
  const bool named_;
  size_t files_ = 0;
  std::vector<ClientOption> options_;
};

}  // namespace

std::vector<ClientOption> ReadClientOptions(Env& env, const std::string& path, bool named) {
  Reader reader(env, named);
  reader.Read(path, 0, named);
  return std::move(reader).options();
}

void ApplyClientOptions(st_mysql* mysql, const std::vector<ClientOption>& options) {
  for (const ClientOption& option : options) {
    const Allowed* allowed = FindAllowed(option.key);
    if (allowed == nullptr || !option.value) continue;
    int rc = 0;
    if (allowed->kind == Kind::kText) {
      rc = mysql_optionsv(mysql, allowed->option, option.value->c_str());
    } else if (allowed->kind == Kind::kSwitch) {
      my_bool on = *option.value == "1";
      rc = mysql_optionsv(mysql, allowed->option, &on);
    } else {
      unsigned int number = static_cast<unsigned int>(std::stoul(*option.value));
      rc = mysql_optionsv(mysql, allowed->option, &number);
    }
    if (rc != 0)
      throw Failure(kErrDatabase, "option " + option.key + ": not taken by the client library");
  }
}

void UseClientOptionFiles(Env* env, st_mysql* mysql, const std::string& named_file) {
  const std::string file = named_file.empty() ? ClientOptionFile() : named_file;
  if (file.empty()) {
    // The library's standard option files, [client] group.
    mysql_optionsv(mysql, MYSQL_READ_DEFAULT_GROUP, "client");
    return;
  }
  if (env == nullptr) throw Failure(kErrDatabase, "option file " + file + ": no Env to read it");
  ApplyClientOptions(mysql, ReadClientOptions(*env, file, !named_file.empty()));
}

}  // namespace vaultrun::db
