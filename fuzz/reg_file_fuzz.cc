// The settings file: arbitrary bytes parse; setting a string value gives a
// file that parses again, reads the value back and reads every other value
// as before.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/reg_file.h"

namespace {

using vaultrun::regfile::RegDocument;
using vaultrun::regfile::RegValue;

// Strict UTF-8 without surrogates: what a UTF-16 file can hold exactly.
bool IsStrictUtf8(const std::string& s) {
  size_t i = 0;
  auto cont = [&](size_t k) {
    return k < s.size() && (static_cast<unsigned char>(s[k]) & 0xC0) == 0x80;
  };
  while (i < s.size()) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    size_t len = b < 0x80                 ? 1
                 : b >= 0xC2 && b <= 0xDF ? 2
                 : b >= 0xE0 && b <= 0xEF ? 3
                 : b >= 0xF0 && b <= 0xF4 ? 4
                                          : 0;
    if (len == 0) return false;
    for (size_t k = 1; k < len; ++k) {
      if (!cont(i + k)) return false;
    }
    unsigned char b1 = len > 1 ? static_cast<unsigned char>(s[i + 1]) : 0;
    if (b == 0xE0 && b1 < 0xA0) return false;   // overlong
    if (b == 0xED && b1 >= 0xA0) return false;  // surrogate
    if (b == 0xF0 && b1 < 0x90) return false;   // overlong
    if (b == 0xF4 && b1 >= 0x90) return false;  // past U+10FFFF
    i += len;
  }
  return true;
}

bool SameValue(const RegValue* a, const RegValue* b) {
  if (a == nullptr || b == nullptr) return a == b;
  return a->is_string == b->is_string && a->text == b->text;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
    char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] - 'A' + 'a') : b[i];
    if (x != y) return false;
  }
  return true;
}

std::string StripTrailingBackslashes(std::string s) {
  while (!s.empty() && s.back() == '\\') s.pop_back();
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider provider(data, size);
  static const char* const kRoots[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER",
                                       "HKEY_CLASSES_ROOT", "HKEY_USERS"};
  const std::string root = kRoots[provider.ConsumeIntegralInRange<size_t>(0, 3)];
  const std::string key_path = provider.ConsumeRandomLengthString(32);
  const std::string name = provider.ConsumeRandomLengthString(32);
  const std::string text = provider.ConsumeRandomLengthString(64);
  const std::string bytes = provider.ConsumeRemainingBytesAsString();

  RegDocument doc = vaultrun::regfile::Parse(bytes);
  std::optional<std::string> out = vaultrun::regfile::SetString(doc, root, key_path, name, text);
  if (!out) return 0;
  RegDocument again = vaultrun::regfile::Parse(*out);
  if (!again.has_header || again.encoding != doc.encoding) std::abort();
  // A UTF-16 file holds only what UTF-16 can spell.
  bool exact = doc.encoding == vaultrun::regfile::Encoding::kAnsi ||
               (IsStrictUtf8(key_path) && IsStrictUtf8(name) && IsStrictUtf8(text));
  if (!exact) return 0;

  const RegValue* set = vaultrun::regfile::FindValue(again, root, key_path, name);
  if (set == nullptr || !set->is_string || set->text != text) std::abort();
  // Nothing that was unreadable becomes readable, nor the other way round
  // (a file of blanks alone is replaced by a new one).
  if (doc.has_header && again.unreadable_lines.size() != doc.unreadable_lines.size()) {
    std::abort();
  }

  const std::string set_path = StripTrailingBackslashes(key_path);
  for (const vaultrun::regfile::RegKey& key : doc.keys) {
    bool same_key = key.root == root && EqualNoCase(key.path, set_path);
    for (const auto& [lower_name, index] : key.last_value) {
      if (same_key && EqualNoCase(lower_name, name)) continue;
      const std::string& spelled = key.values[index].name;
      if (!SameValue(vaultrun::regfile::FindValue(doc, key.root, key.path, spelled),
                     vaultrun::regfile::FindValue(again, key.root, key.path, spelled))) {
        std::abort();
      }
    }
  }
  return 0;
}
