#include "run/rclone.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <utility>

#include "core/failure.h"

namespace vaultrun {
namespace {

// Where a remote's name and its connection-string parameters end, and the
// parameters' values.
struct RemoteParts {
  size_t name_end = 0;    // the ',' that starts the parameters, or the ':'
  size_t params_end = 0;  // the ':' after the parameters
  std::vector<std::string> values;
};

// Reads one parameter value at remote[*i]: up to ',' or ':', or quoted with
// " or ' (a doubled quote stands for itself). False when a quote is open.
bool ReadValue(const std::string& remote, size_t* i, std::string* value) {
  const size_t n = remote.size();
  if (*i < n && (remote[*i] == '"' || remote[*i] == '\'')) {
    const char quote = remote[(*i)++];
    for (;;) {
      if (*i >= n) return false;
      if (remote[*i] == quote) {
        if (*i + 1 < n && remote[*i + 1] == quote) {
          *value += quote;
          *i += 2;
          continue;
        }
        ++*i;
        return true;
      }
      *value += remote[(*i)++];
    }
  }
  while (*i < n && remote[*i] != ',' && remote[*i] != ':') *value += remote[(*i)++];
  return true;
}

// "[:]name[,key=value,...]:path"; nothing for a local path or a string
// whose parameters do not parse.
std::optional<RemoteParts> SplitRemote(const std::string& remote) {
  const size_t n = remote.size();
  size_t i = !remote.empty() && remote[0] == ':' ? 1 : 0;
  while (i < n && remote[i] != ',' && remote[i] != ':') {
    if (remote[i] == '/' || remote[i] == '\\') return std::nullopt;
    ++i;
  }
  if (i == n) return std::nullopt;
  RemoteParts parts;
  parts.name_end = i;
  while (remote[i] == ',') {
    ++i;
    while (i < n && remote[i] != '=' && remote[i] != ',' && remote[i] != ':') ++i;
    std::string value;
    if (i < n && remote[i] == '=') {
      ++i;
      if (!ReadValue(remote, &i, &value)) return std::nullopt;
    }
    if (!value.empty()) parts.values.push_back(value);
    if (i >= n) return std::nullopt;
  }
  parts.params_end = i;
  return parts;
}

void ReplaceAll(std::string* text, const std::string& from, const std::string& to) {
  if (from.empty()) return;
  for (size_t at = text->find(from); at != std::string::npos;
       at = text->find(from, at + to.size())) {
    text->replace(at, from.size(), to);
  }
}

// rclone's last message: the last line of its error output (or, without
// one, of its output) that says something, without the date and time it
// begins with, on one line and of bounded length.
std::string LastMessage(const ChildResult& result) {
  const std::string& text =
      result.err.find_first_not_of(" \r\n") != std::string::npos ? result.err : result.out;
  size_t end = text.find_last_not_of(" \r\n");
  if (end == std::string::npos) return "exit status " + std::to_string(result.exit_code);
  size_t start = text.rfind('\n', end);
  std::string line = text.substr(start == std::string::npos ? 0 : start + 1,
                                 end + 1 - (start == std::string::npos ? 0 : start + 1));
  // "2026/12/08 02:47:38 " (and with microseconds).
  if (line.size() > 20 && line[4] == '/' && line[7] == '/' && line[10] == ' ' && line[13] == ':') {
    size_t space = line.find(' ', 11);
    if (space != std::string::npos) line.erase(0, space + 1);
  }
  for (char& c : line) {
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  }
  constexpr size_t kMaxMessage = 600;
  if (line.size() > kMaxMessage) line = line.substr(0, kMaxMessage) + "...";
  return line;
}

// A small reader of the JSON that rclone lsjson writes.
class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : s_(text) {}

  bool Files(std::vector<RemoteFile>* files) {
    Space();
    if (Peek() == '{') {
      files->emplace_back();
      if (!File(&files->back())) return false;
    } else {
      if (!Take('[')) return false;
      Space();
      if (Peek() == ']') {
        ++i_;
      } else {
        for (;;) {
          files->emplace_back();
          if (!File(&files->back())) return false;
          Space();
          if (Peek() == ']') {
            ++i_;
            break;
          }
          if (!Take(',')) return false;
        }
      }
    }
    Space();
    return i_ == s_.size();
  }

  size_t at() const { return i_; }

 private:
  char Peek() const { return i_ < s_.size() ? s_[i_] : '\0'; }
  void Space() {
    while (i_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[i_]))) ++i_;
  }
  bool Take(char c) {
    Space();
    if (Peek() != c) return false;
    ++i_;
    return true;
  }

  bool File(RemoteFile* file) {
    return Object([this, file](const std::string& key) {
      if (key == "Name") return String(&file->name);
      if (key == "Size") return Number(&file->size);
      if (key == "IsDir") return Bool(&file->is_dir);
      if (key == "Hashes") {
        return Object([this, file](const std::string& type) {
          Space();
          if (Peek() != '"') return Skip();
          return String(&file->hashes[type]);
        });
      }
      return Skip();
    });
  }

  template <typename Member>
  bool Object(Member member) {
    if (!Take('{')) return false;
    Space();
    if (Peek() == '}') {
      ++i_;
      return true;
    }
    for (;;) {
      std::string key;
      if (!String(&key) || !Take(':') || !member(key)) return false;
      Space();
      if (Peek() == '}') {
        ++i_;
        return true;
      }
      if (!Take(',')) return false;
    }
  }

  bool String(std::string* out) {
    out->clear();
    if (!Take('"')) return false;
    while (i_ < s_.size()) {
      char c = s_[i_++];
      if (c == '"') return true;
      if (c != '\\') {
        *out += c;
        continue;
      }
      if (i_ >= s_.size()) return false;
      char e = s_[i_++];
      switch (e) {
        case 'n':
          *out += '\n';
          break;
        case 't':
          *out += '\t';
          break;
        case 'r':
          *out += '\r';
          break;
        case 'b':
          *out += '\b';
          break;
        case 'f':
          *out += '\f';
          break;
        case 'u': {
          unsigned code = 0;
          if (i_ + 4 > s_.size()) return false;
          auto [end, ec] = std::from_chars(s_.data() + i_, s_.data() + i_ + 4, code, 16);
          if (ec != std::errc() || end != s_.data() + i_ + 4) return false;
          i_ += 4;
          // Names of ours are ASCII; anything else only has to stay apart
          // from them.
          if (code < 0x80) {
            *out += static_cast<char>(code);
          } else {
            *out += "\\u" + std::string(s_.substr(i_ - 4, 4));
          }
          break;
        }
        default:
          *out += e;
      }
    }
    return false;
  }

  bool Number(int64_t* value) {
    Space();
    const char* begin = s_.data() + i_;
    auto [end, ec] = std::from_chars(begin, s_.data() + s_.size(), *value);
    if (ec != std::errc()) return false;
    i_ += static_cast<size_t>(end - begin);
    return true;
  }

  bool Bool(bool* value) {
    Space();
    if (s_.substr(i_, 4) == "true") {
      *value = true;
      i_ += 4;
      return true;
    }
    if (s_.substr(i_, 5) == "false") {
      *value = false;
      i_ += 5;
      return true;
    }
    return false;
  }

  // Any value, read and dropped.
  bool Skip() {
    Space();
    const char c = Peek();
    if (c == '"') {
      std::string ignored;
      return String(&ignored);
    }
    if (c == '{') return Object([this](const std::string&) { return Skip(); });
    if (c == '[') {
      ++i_;
      Space();
      if (Peek() == ']') {
        ++i_;
        return true;
      }
      for (;;) {
        if (!Skip()) return false;
        Space();
        if (Peek() == ']') {
          ++i_;
          return true;
        }
        if (!Take(',')) return false;
      }
    }
    const size_t start = i_;
    while (i_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[i_])) || s_[i_] == '-' ||
                              s_[i_] == '+' || s_[i_] == '.')) {
      ++i_;
    }
    return i_ > start;
  }

  std::string_view s_;
  size_t i_ = 0;
};

}  // namespace

std::string RemoteForDisplay(const std::string& remote) {
  std::optional<RemoteParts> parts = SplitRemote(remote);
  if (!parts) {
    // Parameters that do not parse are left out whole.
    size_t comma = remote.find(',');
    return comma == std::string::npos ? remote : remote.substr(0, comma) + ",...";
  }
  return remote.substr(0, parts->name_end) + remote.substr(parts->params_end);
}

std::string ScrubRemote(const std::string& text, const std::string& remote) {
  std::string scrubbed = text;
  std::optional<RemoteParts> parts = SplitRemote(remote);
  if (!parts) {
    size_t comma = remote.find(',');
    if (comma != std::string::npos) ReplaceAll(&scrubbed, remote.substr(comma), ",...");
    return scrubbed;
  }
  if (parts->params_end == parts->name_end) return scrubbed;
  ReplaceAll(&scrubbed, remote.substr(0, parts->params_end), remote.substr(0, parts->name_end));
  for (const std::string& value : parts->values) {
    if (value.size() >= 4) ReplaceAll(&scrubbed, value, "***");
  }
  return scrubbed;
}

std::string RemoteJoin(const std::string& remote, const std::string& name) {
  std::string base = remote;
  while (base.size() > 1 && base.back() == '/' && base[base.size() - 2] != ':') base.pop_back();
  if (!base.empty() && (base.back() == ':' || base.back() == '/')) return base + name;
  return base + "/" + name;
}

bool LooksLikeRemote(const std::string& text, bool drive_letters) {
  std::optional<RemoteParts> parts = SplitRemote(text);
  if (!parts || parts->name_end == 0) return false;
  if (text[0] == ':') return parts->name_end > 1;
  if (drive_letters && parts->name_end == 1) return false;
  for (size_t i = 0; i < parts->name_end; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (!std::isalnum(c) && c != '_' && c != '-' && c != '.' && c != '+' && c != '@' && c != ' ') {
      return false;
    }
  }
  return true;
}

std::optional<std::vector<RemoteFile>> ParseRemoteListing(std::string_view json,
                                                          std::string* error) {
  std::vector<RemoteFile> files;
  JsonReader reader(json);
  if (!reader.Files(&files)) {
    *error = "rclone's listing does not read as JSON at byte " + std::to_string(reader.at());
    return std::nullopt;
  }
  return files;
}

Rclone::Rclone(Env* env, RcloneSetup setup, std::string remote)
    : env_(env),
      setup_(std::move(setup)),
      remote_(std::move(remote)),
      deadline_(std::chrono::steady_clock::now() + setup_.timeout) {}

ChildResult Rclone::Run(const std::vector<std::string>& args, size_t output_limit,
                        const std::string& output_file, bool* directory_missing) {
  const std::string command = "rclone " + args[0];
  const std::string limit_text =
      "offsite_timeout (" + std::to_string(setup_.timeout.count()) + " s)";
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline_ - std::chrono::steady_clock::now());
  if (left.count() <= 0)
    throw Failure(kErrRclone, command + ": not started, " + limit_text + " used up");
  ChildRequest request;
  request.argv = {setup_.program};
  if (!setup_.config.empty()) {
    request.argv.push_back("--config");
    request.argv.push_back(setup_.config);
  }
  // Never wait for a password on a terminal that nobody watches.
  request.argv.push_back("--ask-password=false");
  request.argv.insert(request.argv.end(), args.begin(), args.end());
  request.timeout = left;
  request.output_limit = output_limit;
  request.output_file = output_file;
  ChildResult result;
  Status s = env_->RunChild(request, &result);
  if (!s.ok()) throw Failure(kErrRclone, ScrubRemote(s.description(), remote_));
  if (result.timed_out) throw Failure(kErrRclone, command + ": killed at " + limit_text);
  if (result.exit_code == 0) return result;
  // rclone's exit status 3: directory not found.
  if (directory_missing != nullptr && result.exit_code == 3) {
    *directory_missing = true;
    return result;
  }
  throw Failure(kErrRclone, command + ": " + ScrubRemote(LastMessage(result), remote_));
}

std::vector<RemoteFile> Rclone::List(const std::string& folder) {
  bool missing = false;
  ChildResult result = Run({"lsjson", "--files-only", "--no-modtime", "--no-mimetype", folder},
                           16 << 20, "", &missing);
  if (missing) return {};
  if (result.out_bytes > result.out.size()) {
    throw Failure(kErrRclone, "rclone lsjson: the listing is larger than 16 MB");
  }
  std::string error;
  std::optional<std::vector<RemoteFile>> files = ParseRemoteListing(result.out, &error);
  if (!files) throw Failure(kErrRclone, error);
  return *files;
}

RemoteFile Rclone::Stat(const std::string& path) {
  ChildResult result = Run({"lsjson", "--stat", "--hash", "--no-mimetype", path}, 1 << 20);
  std::string error;
  std::optional<std::vector<RemoteFile>> files = ParseRemoteListing(result.out, &error);
  if (!files || files->size() != 1) {
    throw Failure(kErrRclone, files ? "rclone lsjson --stat: not one file" : error);
  }
  return files->front();
}

void Rclone::CopyTo(const std::string& source, const std::string& target) {
  Run({"copyto", source, target}, 64 << 10);
}

void Rclone::MoveTo(const std::string& source, const std::string& target) {
  Run({"moveto", source, target}, 64 << 10);
}

void Rclone::DeleteFile(const std::string& path) { Run({"deletefile", path}, 64 << 10); }

std::string Rclone::Tail(const std::string& path, uint64_t bytes) {
  ChildResult result =
      Run({"cat", "--offset=-" + std::to_string(bytes), path}, static_cast<size_t>(bytes));
  return result.out;
}

void Rclone::Fetch(const std::string& path, const std::string& local_file) {
  Run({"cat", path}, 64 << 10, local_file);
}

std::string Rclone::HashSum(const std::string& type, const std::string& local_file) {
  ChildResult result = Run({"hashsum", type, local_file}, 64 << 10);
  return result.out.substr(0, result.out.find_first_of(" \t\r\n"));
}

void Rclone::ConfirmSame(const std::string& path, const std::string& local_file) {
  const RemoteFile remote = Stat(path);
  uint64_t local_size = 0;
  ThrowIfError(env_->FileSize(local_file, &local_size));
  const std::string shown = ScrubRemote(path, remote_);
  if (remote.size != static_cast<int64_t>(local_size)) {
    throw Failure(kErrRclone, shown + " holds " + std::to_string(remote.size) +
                                  " bytes, the local archive " + std::to_string(local_size));
  }
  // A hash that rclone can compute here too; a backend without one (crypt)
  // is confirmed by size, and rclone checked its own transfer.
  for (const char* type : {"md5", "sha1", "sha256", "crc32"}) {
    auto found = remote.hashes.find(type);
    if (found == remote.hashes.end() || found->second.empty()) continue;
    std::string local = HashSum(type, local_file);
    std::string theirs = found->second;
    std::transform(local.begin(), local.end(), local.begin(), ::tolower);
    std::transform(theirs.begin(), theirs.end(), theirs.begin(), ::tolower);
    if (local != theirs) {
      throw Failure(kErrRclone, shown + " has the " + type + " hash " + theirs +
                                    ", the local archive " + local);
    }
    return;
  }
}

}  // namespace vaultrun
