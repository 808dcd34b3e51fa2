#include "platform/archive_key.h"

#include <cerrno>
#include <memory>

#include "platform/crypto.h"
#include "platform/env.h"
#include "platform/file_mode.h"

namespace vaultrun {
namespace {

constexpr std::string_view kFirstLine = "vaultrun archive key 1";
constexpr size_t kIdDigits = 16;
// A key file is about 110 bytes; anything much larger is not one.
constexpr size_t kKeyFileLimit = 4096;

// The next line of text without its LF (and a CR before it); false at the
// end of the text.
bool NextLine(std::string_view& text, std::string_view* line) {
  if (text.empty()) return false;
  size_t end = text.find('\n');
  *line = text.substr(0, end);
  text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  if (!line->empty() && line->back() == '\r') line->remove_suffix(1);
  return true;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The value after "<label> " on line, as bytes from size * 2 lower-case
// hex digits.
bool HexField(std::string_view line, std::string_view label, size_t size, std::string* bytes) {
  if (line.size() != label.size() + 1 + size * 2 || line.substr(0, label.size()) != label ||
      line[label.size()] != ' ') {
    return false;
  }
  line.remove_prefix(label.size() + 1);
  bytes->clear();
  for (size_t i = 0; i < size; ++i) {
    int high = HexValue(line[2 * i]), low = HexValue(line[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    bytes->push_back(static_cast<char>(high * 16 + low));
  }
  return true;
}

ArchiveKeyResult Outcome(KeyOutcome outcome, std::string problem) {
  ArchiveKeyResult result;
  result.outcome = outcome;
  result.problem = std::move(problem);
  return result;
}

// Reads the key file at key_path; *missing tells a file that is not there.
ArchiveKeyResult ReadOwnKeyFile(Env* env, const std::string& key_path, bool* missing) {
  *missing = false;
  std::string text, exposure;
  Status s = ReadPrivateFile(env, key_path, kKeyFileLimit, &text, &exposure);
  if (!s.ok() && env->IsNotFound(s)) {
    // One look decides: another run may rename its new key into place at
    // any moment, and a key that appears meanwhile is read, not refused.
    if (!env->Exists(key_path)) {
      *missing = true;
      return Outcome(KeyOutcome::kNone, "archive key " + key_path + ": none yet");
    }
    s = ReadPrivateFile(env, key_path, kKeyFileLimit, &text, &exposure);
  }
  if (!s.ok()) {
    // A link, a FIFO or an oversized file in its place is not a key.
    if (env->Exists(key_path) && s.number() != EACCES && s.number() != EPERM) {
      return Outcome(KeyOutcome::kRefused,
                     "archive key " + s.description() +
                         ": refused; put the exported copy of the key back in its place");
    }
    return Outcome(KeyOutcome::kNone, "archive key " + s.description());
  }
  if (!exposure.empty()) {
    return Outcome(KeyOutcome::kRefused,
                   "archive key " + key_path + ": refused, as others may read or change it (" +
                       exposure + "); make it readable by its owner only (chmod 600, owner root)");
  }
  ArchiveKeyResult result;
  std::string error;
  if (!ParseKeyFile(text, &result.key, &error)) {
    return Outcome(KeyOutcome::kRefused,
                   "archive key " + key_path + ": " + error +
                       "; put the exported copy of the key back in its place");
  }
  s = ArchiveKeyId(result.key, &result.id);
  if (!s.ok()) return Outcome(KeyOutcome::kNone, "archive key " + s.description());
  result.outcome = KeyOutcome::kReady;
  return result;
}

}  // namespace

Status ArchiveKeyId(std::string_view key, std::string* id) {
  Sha256Digest tag{};
  Status s = HmacSha256Of(key, "vaultrun archive key id", &tag);
  if (!s.ok()) return s;
  *id = LowerHex(tag.data(), kIdDigits / 2);
  return Status::OK();
}

Status FormatKeyFile(std::string_view key, std::string* text) {
  if (key.size() != kArchiveKeyBytes) {
    return Status::Error(EINVAL, "archive key: " + std::to_string(key.size()) +
                                     " bytes instead of " + std::to_string(kArchiveKeyBytes));
  }
  std::string id;
  Status s = ArchiveKeyId(key, &id);
  if (!s.ok()) return s;
  *text = std::string(kFirstLine) + "\nid " + id + "\nkey " +
          LowerHex(reinterpret_cast<const uint8_t*>(key.data()), key.size()) + "\n";
  return Status::OK();
}

bool ParseKeyFile(std::string_view text, std::string* key, std::string* error) {
  std::string_view first, id_line, key_line, rest;
  if (!NextLine(text, &first) || first != kFirstLine) {
    *error = "not a Vaultrun key file (its first line is not \"" + std::string(kFirstLine) + "\")";
    return false;
  }
  std::string id_bytes, key_bytes;
  if (!NextLine(text, &id_line) || !HexField(id_line, "id", kIdDigits / 2, &id_bytes)) {
    *error = "line 2 is not \"id\" and 16 hex digits";
    return false;
  }
  if (!NextLine(text, &key_line) || !HexField(key_line, "key", kArchiveKeyBytes, &key_bytes)) {
    *error = "line 3 is not \"key\" and 64 hex digits";
    return false;
  }
  if (NextLine(text, &rest)) {
    *error = "it holds more than three lines";
    return false;
  }
  std::string id;
  Status s = ArchiveKeyId(key_bytes, &id);
  if (!s.ok()) {
    *error = s.description();
    return false;
  }
  if (id != id_line.substr(3)) {
    *error = "its key does not give its id (the file is damaged)";
    return false;
  }
  *key = std::move(key_bytes);
  return true;
}

Status ReadKeyFile(Env* env, const std::string& path, ArchiveKeyResult* result) {
  std::string text;
  Status s = env->ReadFile(path, &text);
  if (!s.ok()) return Status::Error(s.number(), "key file " + s.description());
  if (text.size() > kKeyFileLimit) {
    return Status::Error(EFBIG, "key file " + path + ": not a Vaultrun key file (too large)");
  }
  ArchiveKeyResult read;
  std::string error;
  if (!ParseKeyFile(text, &read.key, &error)) {
    return Status::Error(EINVAL, "key file " + path + ": " + error);
  }
  s = ArchiveKeyId(read.key, &read.id);
  if (!s.ok()) return s;
  read.outcome = KeyOutcome::kReady;
  *result = std::move(read);
  return Status::OK();
}

Status WriteKeyFile(Env* env, const std::string& path, std::string_view key) {
  std::string text;
  Status s = FormatKeyFile(key, &text);
  if (!s.ok()) return s;
  const std::string temp = path + ".tmp";
  // A new file, so that it gets mode 0600 whatever a leftover had.
  env->DeleteFile(temp);
  std::unique_ptr<File> file;
  s = env->OpenFile(temp, OpenMode::kWriteNew, 0600, &file);
  if (!s.ok()) return s;
  if (!SetFileMode(temp, 0600)) s = Status::Error(EPERM, "chmod " + temp + ": refused");
  if (s.ok()) s = file->Write(text);
  if (s.ok()) s = file->Sync();
  Status closed = file->Close();
  if (s.ok()) s = closed;
  if (s.ok()) s = env->RenameFile(temp, path);
  if (!s.ok()) env->DeleteFile(temp);
  return s;
}

std::string KeyFileBeside(const std::string& settings_path) {
  static const std::string kReg = ".reg";
  size_t base = settings_path.find_last_of("/\\");
  base = base == std::string::npos ? 0 : base + 1;
  if (settings_path.size() > base + kReg.size() &&
      settings_path.compare(settings_path.size() - kReg.size(), kReg.size(), kReg) == 0) {
    return settings_path.substr(0, settings_path.size() - kReg.size()) + ".key";
  }
  return settings_path + ".key";
}

ArchiveKeyResult LoadKeyFile(Env* env, const std::string& key_path, const std::string& lock_path,
                             bool create) {
  bool missing = false;
  ArchiveKeyResult result = ReadOwnKeyFile(env, key_path, &missing);
  if (!create || !missing) return result;

  std::unique_ptr<FileLock> lock;
  Status s = env->LockFile(lock_path, &lock);
  if (!s.ok())
    return Outcome(KeyOutcome::kNone, "archive key " + key_path + ": " + s.description());
  // Another run may have made it while this one waited for the lock.
  result = ReadOwnKeyFile(env, key_path, &missing);
  if (!missing) return result;
  std::string key(kArchiveKeyBytes, '\0');
  s = SystemRandomBytes(key.data(), key.size());
  if (s.ok()) s = WriteKeyFile(env, key_path, key);
  if (!s.ok()) {
    return Outcome(KeyOutcome::kNone,
                   "archive key " + key_path + ": cannot be stored (" + s.description() + ")");
  }
  return ReadOwnKeyFile(env, key_path, &missing);
}

}  // namespace vaultrun
