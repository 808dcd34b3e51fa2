#include "db/option_file.h"

#include "platform/path_rules.h"

namespace vaultrun::db {
namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

// The line up to a "#" that is not inside quotes; inside quotes a
// backslash protects the next character.
std::string_view CutEndComment(std::string_view line) {
  char quote = 0;
  bool escaped = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if ((c == '\'' || c == '"') && !escaped) {
      if (quote == 0) {
        quote = c;
      } else if (quote == c) {
        quote = 0;
      }
    }
    if (quote == 0 && c == '#') return line.substr(0, i);
    escaped = quote != 0 && c == '\\' && !escaped;
  }
  return line;
}

// A value without its matching outer quotes, escapes resolved.
std::string Unquote(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.front() == value.back()) {
    value = value.substr(1, value.size() - 2);
  }
  std::string out;
  out.reserve(value.size());
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      out += value[i];
      continue;
    }
    const char next = value[++i];
    switch (next) {
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 'r':
        out += '\r';
        break;
      case 'b':
        out += '\b';
        break;
      case 's':
        out += ' ';
        break;
      case '"':
      case '\'':
      case '\\':
        out += next;
        break;
      default:
        out += '\\';
        out += next;
    }
  }
  return out;
}

std::string OptionKey(std::string_view key) {
  std::string out(key);
  for (char& c : out) {
    if (c == '_') c = '-';
  }
  if (out.starts_with("loose-")) out.erase(0, 6);
  return out;
}

// "!include FILE" or "!includedir FOLDER"; false for anything else.
bool ParseDirective(std::string_view line, OptionLine* out) {
  for (auto [word, kind] :
       {std::pair{std::string_view("!includedir"), OptionLine::Kind::kIncludeDir},
        std::pair{std::string_view("!include"), OptionLine::Kind::kInclude}}) {
    if (!line.starts_with(word) || line.size() == word.size() || !IsSpace(line[word.size()])) {
      continue;
    }
    std::string_view path = Trim(line.substr(word.size()));
    if (path.empty()) return false;
    out->kind = kind;
    out->value = std::string(path);
    return true;
  }
  return false;
}

}  // namespace

ParsedOptionFile ParseOptionFile(std::string_view text, const std::vector<std::string>& groups) {
  ParsedOptionFile result;
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);  // Notepad's UTF-8 mark
  bool in_group = false;
  bool wanted = false;
  size_t number = 0;
  auto unreadable = [&](const std::string& what) {
    result.unreadable.push_back("line " + std::to_string(number) + ": " + what);
  };
  while (!text.empty()) {
    const size_t lf = text.find('\n');
    std::string_view line = Trim(text.substr(0, lf));
    text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
    ++number;
    if (line.empty() || line.front() == '#' || line.front() == ';') continue;
    if (line.front() == '!') {
      OptionLine include;
      include.line = number;
      if (ParseDirective(line, &include)) {
        result.lines.push_back(std::move(include));
      } else {
        unreadable("not !include FILE or !includedir FOLDER");
      }
      continue;
    }
    if (line.front() == '[') {
      const size_t close = line.find(']');
      if (close == std::string_view::npos) {
        unreadable("a group name without ]");
        continue;
      }
      const std::string_view name = Trim(line.substr(1, close - 1));
      in_group = true;
      wanted = false;
      for (const std::string& group : groups) wanted = wanted || EqualsNoCase(name, group);
      continue;
    }
    if (!in_group) {
      unreadable("an option before the first [group]");
      continue;
    }
    if (!wanted) continue;
    line = Trim(CutEndComment(line));
    const size_t equals = line.find('=');
    OptionLine option;
    option.line = number;
    option.key = OptionKey(Trim(line.substr(0, equals)));
    if (option.key.empty()) {
      unreadable("a value without an option name");
      continue;
    }
    if (equals != std::string_view::npos) option.value = Unquote(Trim(line.substr(equals + 1)));
    result.lines.push_back(std::move(option));
  }
  return result;
}

}  // namespace vaultrun::db
