// CheckInsert on arbitrary text: a statement it takes, rebuilt with every
// column kept, is taken again with the same values in the same order, so
// the rebuild passes on literals and nothing else. And the text as a value:
// the export's block-at-a-time escaper writes what the byte-at-a-time one
// writes, and the statement it makes is taken with the value whole.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "restore/insert_check.h"
#include "run/value_text.h"

using vaultrun::restore::CheckInsert;
using vaultrun::restore::ColumnPlan;
using vaultrun::restore::InsertStatement;
using vaultrun::restore::LiteralKind;
using vaultrun::restore::RebuildInsert;

namespace {

void CheckEscaped(std::string_view text) {
  std::string blocks(2 * text.size() + vaultrun::kValueSlack, '\0');
  std::string bytes = blocks;
  blocks.resize(vaultrun::EscapeTo(blocks.data(), text.data(), text.size()) - blocks.data());
  bytes.resize(vaultrun::EscapeToBytewise(bytes.data(), text.data(), text.size()) - bytes.data());
  if (blocks != bytes) std::abort();
  InsertStatement one;
  if (!CheckInsert("insert into `t` values ('" + blocks + "')", "t", &one).empty() ||
      one.values.size() != 1 || one.values[0].kind != LiteralKind::kQuoted ||
      one.values[0].size != blocks.size() + 2) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  CheckEscaped(text);
  InsertStatement insert;
  if (!CheckInsert(text, "t", &insert).empty()) return 0;
  if (insert.width == 0 || insert.values.size() % insert.width != 0) std::abort();
  std::vector<ColumnPlan> plan(insert.width);
  for (size_t i = 0; i < insert.width; ++i) plan[i].name = "c" + std::to_string(i);
  std::string rebuilt = RebuildInsert(text, "t", insert, plan);
  InsertStatement again;
  if (!CheckInsert(rebuilt, "t", &again).empty()) std::abort();
  if (again.values.size() != insert.values.size()) std::abort();
  for (size_t i = 0; i < insert.values.size(); ++i) {
    if (text.substr(insert.values[i].offset, insert.values[i].size) !=
        std::string_view(rebuilt).substr(again.values[i].offset, again.values[i].size)) {
      std::abort();
    }
  }
  return 0;
}
