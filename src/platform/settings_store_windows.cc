// The Windows settings store: the registry itself, REG_SZ values, always in
// the 32-bit view. The program this one replaces was a 32-bit program, so
// on 64-bit Windows its settings and table flags live under
// HKLM\Software\WOW6432Node\...; reading that view keeps them.
#include <windows.h>

#include "platform/archive_key_windows.h"
#include "platform/settings_store.h"
#include "platform/text_windows.h"

namespace vaultrun {
namespace {

// Owns an open registry key.
class Key {
 public:
  Key() = default;
  ~Key() {
    if (h_ != nullptr) ::RegCloseKey(h_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  HKEY* out() { return &h_; }
  HKEY get() const { return h_; }

 private:
  HKEY h_ = nullptr;
};

// Every registry access names the view, whatever the program's own bitness.
constexpr REGSAM kView = KEY_WOW64_32KEY;

HKEY RootKey(uint32_t root) { return reinterpret_cast<HKEY>(static_cast<uintptr_t>(root)); }

// The key path without trailing backslashes, which name the same key.
std::wstring KeyPath(const std::string& key_path) {
  std::wstring path = Wide(key_path);
  while (!path.empty() && path.back() == L'\\') path.pop_back();
  return path;
}

// Where the archive key lives: a key of its own beside the settings key.
constexpr char kArchiveKeyPath[] = "Software\\Cobaltine\\Vaultrun\\ArchiveKey";

class RegistrySettingsStore : public SettingsStore {
 public:
  explicit RegistrySettingsStore(std::string archive_key_path)
      : archive_key_path_(std::move(archive_key_path)) {}

  std::string ReadRegString(uint32_t root, const std::string& key_path,
                            const std::string& value_name,
                            const std::string& default_text) override {
    Key key;
    if (::RegOpenKeyExW(RootKey(root), KeyPath(key_path).c_str(), 0, KEY_QUERY_VALUE | kView,
                        key.out()) != ERROR_SUCCESS) {
      return default_text;
    }
    const std::wstring name = Wide(value_name);
    DWORD type = 0;
    DWORD size = 0;
    if (::RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, nullptr, &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
      return default_text;
    }
    // The value may grow between the two calls; try again with its new size.
    for (int attempt = 0; attempt < 4; ++attempt) {
      std::wstring data(size / sizeof(wchar_t) + 1, L'\0');
      DWORD got = static_cast<DWORD>(data.size() * sizeof(wchar_t));
      LONG r = ::RegQueryValueExW(key.get(), name.c_str(), nullptr, &type,
                                  reinterpret_cast<BYTE*>(data.data()), &got);
      if (r == ERROR_MORE_DATA) {
        size = got;
        continue;
      }
      if (r != ERROR_SUCCESS || type != REG_SZ) return default_text;
      data.resize(got / sizeof(wchar_t));
      // A stored string ends at its first NUL (the terminator, usually).
      size_t nul = data.find(L'\0');
      if (nul != std::wstring::npos) data.resize(nul);
      return Utf8(data);
    }
    return default_text;
  }

  bool WriteRegString(uint32_t root, const std::string& key_path, const std::string& value_name,
                      const std::string& text) override {
    Key key;
    if (::RegCreateKeyExW(RootKey(root), KeyPath(key_path).c_str(), 0, nullptr,
                          REG_OPTION_NON_VOLATILE, KEY_SET_VALUE | kView, nullptr, key.out(),
                          nullptr) != ERROR_SUCCESS) {
      return false;
    }
    const std::wstring data = Wide(text);
    return ::RegSetValueExW(key.get(), Wide(value_name).c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(data.c_str()),
                            static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t))) ==
           ERROR_SUCCESS;
  }

  ArchiveKeyResult LoadOrCreateArchiveKey() override {
    return LoadRegistryArchiveKey(archive_key_path_, true);
  }
  ArchiveKeyResult ReadArchiveKey() override {
    return LoadRegistryArchiveKey(archive_key_path_, false);
  }

 private:
  std::string archive_key_path_;
};

}  // namespace

std::unique_ptr<SettingsStore> NewDefaultSettingsStore(Env*) {
  return std::make_unique<RegistrySettingsStore>(kArchiveKeyPath);
}

std::unique_ptr<SettingsStore> NewRegistrySettingsStore(const std::string& archive_key_path) {
  return std::make_unique<RegistrySettingsStore>(archive_key_path);
}

}  // namespace vaultrun
