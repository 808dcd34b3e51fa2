#include "archive/definitions_entry.h"

#include <charconv>

namespace vaultrun {
namespace {

constexpr std::string_view kHeader = "vaultrun definitions 1\n";
constexpr std::string_view kEnd = "end\n";

bool ReadCount(std::string_view& text, char end, size_t* value) {
  size_t stop = text.find(end);
  if (stop == std::string_view::npos || stop == 0 || stop > 12) return false;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + stop, *value);
  if (ec != std::errc() || ptr != text.data() + stop) return false;
  text.remove_prefix(stop + 1);
  return true;
}

bool ReadField(std::string_view& text, size_t size, std::string* out) {
  if (text.size() < size + 1 || text[size] != '\n') return false;
  *out = std::string(text.substr(0, size));
  text.remove_prefix(size + 1);
  return true;
}

}  // namespace

std::string BuildDefinitions(const Definitions& d) {
  std::string text(kHeader);
  auto record = [&text](const DefinitionRecord& r) {
    text += r.kind + " " + std::to_string(r.name.size()) + " " + std::to_string(r.sql_mode.size()) +
            " " + std::to_string(r.text.size()) + "\n" + r.name + "\n" + r.sql_mode + "\n" +
            r.text + "\n";
  };
  record({"database", d.database, "", d.charset + " " + d.collation});
  for (const DefinitionRecord& r : d.objects) record(r);
  for (const DefinitionRecord& r : d.left_out) record(r);
  text += kEnd;
  return text;
}

std::optional<Definitions> ParseDefinitions(std::string_view text) {
  if (text.substr(0, kHeader.size()) != kHeader) return std::nullopt;
  text.remove_prefix(kHeader.size());
  Definitions d;
  bool first = true;
  while (text != kEnd) {
    DefinitionRecord r;
    size_t space = text.find(' ');
    if (space == std::string_view::npos || space == 0 || space > 16) return std::nullopt;
    r.kind = std::string(text.substr(0, space));
    text.remove_prefix(space + 1);
    size_t name_size = 0, mode_size = 0, text_size = 0;
    if (!ReadCount(text, ' ', &name_size) || !ReadCount(text, ' ', &mode_size) ||
        !ReadCount(text, '\n', &text_size) || !ReadField(text, name_size, &r.name) ||
        !ReadField(text, mode_size, &r.sql_mode) || !ReadField(text, text_size, &r.text)) {
      return std::nullopt;
    }
    if (first != (r.kind == "database")) return std::nullopt;
    if (first) {
      size_t split = r.text.find(' ');
      if (split == std::string::npos) return std::nullopt;
      d.database = r.name;
      d.charset = r.text.substr(0, split);
      d.collation = r.text.substr(split + 1);
      first = false;
    } else if (r.kind == "left-out") {
      d.left_out.push_back(std::move(r));
    } else {
      d.objects.push_back(std::move(r));
    }
  }
  if (first) return std::nullopt;
  return d;
}

}  // namespace vaultrun
