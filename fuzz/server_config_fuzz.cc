// ParseServerConfig on arbitrary text and key lists: every value found is a
// cut-down piece of one line, and the unreadable line numbers rise.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config/server_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider provider(data, size);
  std::array<std::string, 4> key_lists;
  // Half the inputs use the built-in lists, so that plain configuration
  // text finds its values.
  if (provider.ConsumeBool()) {
    key_lists = {"mysql_server_ip,login_server_ip", "mysql_char_db,login_server_db",
                 "mysql_server_id,login_server_id", "mysql_server_pw,login_server_pw"};
  } else {
    for (std::string& list : key_lists) list = provider.ConsumeRandomLengthString(64);
  }
  const std::string text = provider.ConsumeRemainingBytesAsString();
  vaultrun::ServerConfigValues found = vaultrun::ParseServerConfig(text, key_lists);

  size_t lines = 0;
  for (size_t pos = 0; pos < text.size(); ++lines) {
    size_t lf = text.find('\n', pos);
    pos = lf == std::string::npos ? text.size() : lf + 1;
  }
  size_t previous = 0;
  for (size_t number : found.unreadable_lines) {
    if (number <= previous || number > lines) std::abort();
    previous = number;
  }
  for (const std::string& value : found.values) {
    if (value.find_first_of(":\n") != std::string::npos) std::abort();
    if (!value.empty() && (value.front() == ' ' || value.back() == ' ')) std::abort();
    if (text.find(value) == std::string::npos) std::abort();
  }
  return 0;
}
