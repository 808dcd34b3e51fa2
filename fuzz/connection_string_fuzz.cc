// Connection strings: arbitrary text parses without harm and each pair it
// reads writes back to itself; a string built from four arbitrary values
// parses back to exactly those four values.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "db/connection_string.h"
#include "db/session.h"

namespace {

void RoundTripParsedText(const std::string& text) {
  vaultrun::db::ParsedConnectionString parsed = vaultrun::db::ParseConnectionString(text);
  for (const vaultrun::db::ConnectionStringPair& pair : parsed.pairs) {
    if (pair.key.empty()) std::abort();
    std::string again = pair.key + "=" + vaultrun::db::QuoteConnectionValue(pair.value);
    vaultrun::db::ParsedConnectionString reread = vaultrun::db::ParseConnectionString(again);
    if (reread.pairs.size() != 1 || !reread.unread.empty()) std::abort();
    if (reread.pairs[0].key != pair.key || reread.pairs[0].value != pair.value) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider provider(data, size);
  std::array<std::string, 4> values;
  for (std::string& value : values) value = provider.ConsumeRandomLengthString(256);
  const std::string built =
      vaultrun::BuildConnectionString(values[0], values[1], values[2], values[3]);
  vaultrun::db::ParsedConnectionString parsed = vaultrun::db::ParseConnectionString(built);
  if (!parsed.unread.empty() || parsed.pairs.size() != 6) std::abort();
  const std::array<const char*, 4> keys = {"SERVER", "DATABASE", "UID", "PWD"};
  for (size_t i = 0; i < keys.size(); ++i) {
    std::optional<std::string> found = parsed.Find(keys[i]);
    if (!found || *found != values[i]) std::abort();
  }
  if (parsed.Find("OPTION") != std::optional<std::string>("3")) std::abort();

  RoundTripParsedText(provider.ConsumeRemainingBytesAsString());
  return 0;
}
