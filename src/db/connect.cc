#include "db/connect.h"

#include <mysql.h>

#include "core/failure.h"
#include "db/client_options.h"

namespace vaultrun::db {
namespace {

const char* OrNull(const std::optional<std::string>& value) {
  return value ? value->c_str() : nullptr;
}

void SetSeconds(MYSQL* mysql, mysql_option option, unsigned seconds) {
  if (seconds > 0) mysql_optionsv(mysql, option, &seconds);
}

}  // namespace

void MysqlCloser::operator()(st_mysql* mysql) const { mysql_close(mysql); }

MysqlHandle Connect(const ConnectOptions& options) {
  MysqlHandle mysql(mysql_init(nullptr));
  if (mysql == nullptr) throw Failure(kErrDatabase, "Out of memory");
  MYSQL* raw = mysql.get();
  if (options.read_option_files) UseClientOptionFiles(options.env, raw, options.defaults_file);
  if (!options.charset.empty()) {
    mysql_optionsv(raw, MYSQL_SET_CHARSET_NAME, options.charset.c_str());
  }
  if (options.local_infile) {
    unsigned int on = 1;
    mysql_optionsv(raw, MYSQL_OPT_LOCAL_INFILE, &on);
  }
  if (options.max_packet > 0) {
    mysql_optionsv(raw, MYSQL_OPT_MAX_ALLOWED_PACKET, &options.max_packet);
  }
  SetSeconds(raw, MYSQL_OPT_CONNECT_TIMEOUT, options.connect_timeout);
  SetSeconds(raw, MYSQL_OPT_READ_TIMEOUT, options.read_timeout);
  SetSeconds(raw, MYSQL_OPT_WRITE_TIMEOUT, options.write_timeout);
  if (mysql_real_connect(raw, OrNull(options.host), OrNull(options.user), OrNull(options.password),
                         OrNull(options.database), options.port, OrNull(options.socket),
                         0) == nullptr) {
    unsigned number = mysql_errno(raw);
    throw Failure(number == 0 ? kErrDatabase : static_cast<int>(number), mysql_error(raw));
  }
  return mysql;
}

}  // namespace vaultrun::db
