#include "platform/system.h"

namespace vaultrun {

void PrepareProcess() {}

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

std::string LocalTextToUtf8(const std::string& text) { return text; }

std::string ClientOptionFile() { return std::string(); }

std::string ClientOptionFilesText() {
  return "Unset connection options come from the [client] group of MariaDB's option\n"
         "files (/etc/mysql/my.cnf, ~/.my.cnf), as with MariaDB's own clients. Of a\n"
         "--defaults-file it takes where the server is, the account, TLS, the connect\n"
         "timeout, plugin-dir and default-auth.\n";
}

}  // namespace vaultrun
