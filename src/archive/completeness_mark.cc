#include "archive/completeness_mark.h"

#include <charconv>

namespace vaultrun {
namespace {

constexpr size_t kMaxComment = 65535;
constexpr char kZonePrefix[] = "time_zone ";
constexpr char kTagPrefix[] = "tag ";
// Room kept after the table lines: the "more" line, the tag line (151
// bytes) and the last line. The same with or without a tag, so that a
// mark's tables are the same in the text that the tag covers.
constexpr size_t kRoomAfterTables = 64 + 160;

// A tag line never holds a TAB; a table line always does.
bool IsTagLine(std::string_view line) {
  return line.rfind(kTagPrefix, 0) == 0 && line.find('\t') == std::string_view::npos;
}

// Control bytes and "%" become %XX: so a name can neither break the line
// format nor, with the zip signatures' bytes 1 to 8, plant a fake end
// record that readers would take for the archive's own. Other bytes stay.
std::string EncodeName(std::string_view name) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(name.size());
  for (char ch : name) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7f || c == '%') {
      out += '%';
      out += kDigits[c >> 4];
      out += kDigits[c & 15];
    } else {
      out += ch;
    }
  }
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// A "%" without two hex digits after it is kept as it stands, as marks of
// earlier versions wrote names unencoded.
std::string DecodeName(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

std::string BuildCompletenessMark(const CompletenessMark& mark) {
  std::string head =
      "Vaultrun\n" + mark.version + "\n" + mark.stamp + "\n" + EncodeName(mark.database) + "\n";
  if (!mark.time_zone.empty()) head += kZonePrefix + mark.time_zone + "\n";
  std::string lines;
  uint64_t more = mark.more_tables;
  for (size_t i = 0; i < mark.tables.size(); ++i) {
    std::string line =
        EncodeName(mark.tables[i].first) + "\t" + std::to_string(mark.tables[i].second) + "\n";
    // Room is kept for the "more" line and the last line.
    if (i >= kMarkMaxTables ||
        head.size() + lines.size() + line.size() + kRoomAfterTables > kMaxComment) {
      more += mark.tables.size() - i;
      break;
    }
    lines += line;
  }
  std::string text = head + lines;
  if (more > 0) text += "... and " + std::to_string(more) + " more tables\n";
  if (!mark.tag.empty()) {
    text += kTagPrefix + mark.tag_key_id + " " + mark.tag_manifest + " " + mark.tag + "\n";
  }
  return text + kMarkLastLine + "\n";
}

std::optional<CompletenessMark> ParseCompletenessMark(std::string_view comment) {
  std::vector<std::string_view> lines;
  while (!comment.empty()) {
    size_t end = comment.find('\n');
    if (end == std::string_view::npos) return std::nullopt;  // every line ends in LF
    lines.push_back(comment.substr(0, end));
    comment.remove_prefix(end + 1);
  }
  if (lines.size() < 5 || lines[0] != "Vaultrun" || lines.back() != kMarkLastLine) {
    return std::nullopt;
  }
  CompletenessMark mark;
  mark.version = lines[1];
  mark.stamp = lines[2];
  mark.database = DecodeName(lines[3]);
  size_t first_table = 4;
  // A table line always holds a TAB; the zone line holds none.
  if (lines[4].rfind(kZonePrefix, 0) == 0 && lines[4].find('\t') == std::string_view::npos) {
    mark.time_zone = lines[4].substr(sizeof(kZonePrefix) - 1);
    ++first_table;
  }
  // The tag line, when there is one, stands just before the last line.
  size_t tables_end = lines.size() - 1;
  if (tables_end > first_table && IsTagLine(lines[tables_end - 1])) {
    --tables_end;
    std::string_view tag = lines[tables_end].substr(sizeof(kTagPrefix) - 1);
    const size_t first = tag.find(' '), second = tag.find(' ', first + 1);
    if (second != std::string_view::npos && tag.find(' ', second + 1) == std::string_view::npos) {
      mark.tag_key_id = tag.substr(0, first);
      mark.tag_manifest = tag.substr(first + 1, second - first - 1);
      tag.remove_prefix(second + 1);
    }
    mark.tag = tag.empty() ? "-" : std::string(tag);  // a tag line always sets it
  }
  for (size_t i = first_table; i < tables_end; ++i) {
    std::string_view line = lines[i];
    uint64_t n = 0;
    // A table line always holds a TAB, so a table named like the "more"
    // line is still read as a table.
    if (line.rfind("... and ", 0) == 0 && line.find('\t') == std::string_view::npos &&
        i + 1 == tables_end) {
      std::string_view rest = line.substr(8);
      auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), n);
      if (ec != std::errc() || std::string_view(end, static_cast<size_t>(rest.data() + rest.size() -
                                                                         end)) != " more tables") {
        return std::nullopt;
      }
      mark.more_tables = n;
      continue;
    }
    size_t tab = line.rfind('\t');
    if (tab == std::string_view::npos) return std::nullopt;
    std::string_view count = line.substr(tab + 1);
    auto [end, ec] = std::from_chars(count.data(), count.data() + count.size(), n);
    if (ec != std::errc() || end != count.data() + count.size() || count.empty()) {
      return std::nullopt;
    }
    mark.tables.emplace_back(DecodeName(line.substr(0, tab)), n);
  }
  return mark;
}

std::string UntaggedMark(std::string_view comment) {
  std::optional<CompletenessMark> mark = ParseCompletenessMark(comment);
  if (!mark || mark->tag.empty()) return std::string(comment);
  // A mark ends with LF: the last line starts after the LF before it, and
  // the tag line after the LF before that.
  size_t last = comment.rfind('\n', comment.size() - 2) + 1;
  size_t tag = comment.rfind('\n', last - 2) + 1;
  return std::string(comment.substr(0, tag)) + std::string(comment.substr(last));
}

std::string EncodeMarkName(std::string_view name) { return EncodeName(name); }

}  // namespace vaultrun
