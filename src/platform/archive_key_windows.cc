#include "platform/archive_key_windows.h"

#include <windows.h>
// windows.h first: these need its types.
#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <type_traits>

#include "platform/crypto.h"
#include "platform/text_windows.h"

namespace vaultrun {
namespace {

// The view of every setting (see settings_store_windows.cc).
constexpr REGSAM kView = KEY_WOW64_32KEY;
constexpr wchar_t kValueName[] = L"key";
// Nothing inherited from the parent key; full control for SYSTEM and
// Administrators, and for nobody else.
constexpr wchar_t kKeyAccess[] = L"D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)";
// Runs create the key one at a time, across every session of the machine.
constexpr wchar_t kMutexName[] = L"Global\\Vaultrun archive key";
constexpr DWORD kMutexWaitMs = 60000;

struct KeyCloser {
  void operator()(HKEY key) const { ::RegCloseKey(key); }
};
using KeyHandle = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;
struct LocalFreer {
  void operator()(void* p) const { ::LocalFree(p); }
};
struct HandleCloser {
  void operator()(HANDLE h) const { ::CloseHandle(h); }
};

ArchiveKeyResult Outcome(KeyOutcome outcome, std::string problem) {
  ArchiveKeyResult result;
  result.outcome = outcome;
  result.problem = std::move(problem);
  return result;
}

std::string SidText(PSID sid) {
  LPWSTR text = nullptr;
  if (!::ConvertSidToStringSidW(sid, &text)) return "an unknown account";
  std::unique_ptr<void, LocalFreer> owned(text);
  return Utf8(text);
}

// Who besides Administrators and SYSTEM the key's access list lets in
// ("" when nobody).
std::string Exposure(HKEY key) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD r = ::GetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &dacl, nullptr, &descriptor);
  std::unique_ptr<void, LocalFreer> owned(descriptor);
  if (r != ERROR_SUCCESS) return WindowsStatus("its access list cannot be read", r).description();
  if (dacl == nullptr) return "it has no access list, which lets everyone in";
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!::GetAce(dacl, i, &ace)) return "its access list cannot be read";
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;  // for subkeys only
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE &&
        header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) {
      continue;  // a deny entry lets nobody in
    }
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    PSID sid = &allowed->SidStart;
    if (allowed->Mask == 0 || ::IsWellKnownSid(sid, WinLocalSystemSid) ||
        ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) {
      continue;
    }
    return "its access list lets " + SidText(sid) + " in";
  }
  return "";
}

// The key as stored now; *missing tells that there is none (no registry
// key, or one without its value).
ArchiveKeyResult ReadKey(const std::string& key_path, bool* missing) {
  *missing = false;
  const std::string where = "archive key HKEY_LOCAL_MACHINE\\" + key_path;
  HKEY raw = nullptr;
  LONG r = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(key_path).c_str(), 0,
                           KEY_QUERY_VALUE | READ_CONTROL | kView, &raw);
  if (r == ERROR_FILE_NOT_FOUND) {
    *missing = true;
    return Outcome(KeyOutcome::kNone, where + ": none yet");
  }
  if (r != ERROR_SUCCESS) return Outcome(KeyOutcome::kNone, WindowsStatus(where, r).description());
  KeyHandle key(raw);
  std::string exposure = Exposure(key.get());
  if (!exposure.empty()) {
    return Outcome(KeyOutcome::kRefused, where + ": refused, as others may read or change it (" +
                                             exposure +
                                             "); let only Administrators and SYSTEM open it");
  }
  DWORD type = 0;
  BYTE bytes[kArchiveKeyBytes + 1] = {};
  DWORD size = sizeof bytes;
  r = ::RegQueryValueExW(key.get(), kValueName, nullptr, &type, bytes, &size);
  if (r == ERROR_FILE_NOT_FOUND) {
    *missing = true;
    return Outcome(KeyOutcome::kNone, where + ": none yet");
  }
  if (r != ERROR_SUCCESS && r != ERROR_MORE_DATA) {
    return Outcome(KeyOutcome::kNone, WindowsStatus(where, r).description());
  }
  if (r == ERROR_MORE_DATA || type != REG_BINARY || size != kArchiveKeyBytes) {
    return Outcome(KeyOutcome::kRefused,
                   where +
                       ": its value \"key\" is not 32 bytes of REG_BINARY (damaged); put the "
                       "exported copy of the key back in its place");
  }
  ArchiveKeyResult result;
  result.key.assign(reinterpret_cast<const char*>(bytes), kArchiveKeyBytes);
  Status s = ArchiveKeyId(result.key, &result.id);
  if (!s.ok()) return Outcome(KeyOutcome::kNone, where + ": " + s.description());
  result.outcome = KeyOutcome::kReady;
  return result;
}

// Makes the key with its access list and stores 32 random bytes in it.
Status StoreNewKey(const std::string& key_path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kKeyAccess, SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
    return LastWindowsStatus("access list");
  }
  std::unique_ptr<void, LocalFreer> owned(descriptor);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  HKEY raw = nullptr;
  LONG r = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, Wide(key_path).c_str(), 0, nullptr,
                             REG_OPTION_NON_VOLATILE, KEY_SET_VALUE | WRITE_DAC | kView,
                             &attributes, &raw, nullptr);
  if (r != ERROR_SUCCESS) return WindowsStatus("create", r);
  KeyHandle key(raw);
  // Set once more: a key that was there already (a run that died before
  // storing the value) keeps its own list otherwise, and Wine does not take
  // the list at creation.
  PACL dacl = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  if (!::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present) {
    return LastWindowsStatus("access list");
  }
  DWORD set = ::SetSecurityInfo(key.get(), SE_REGISTRY_KEY,
                                DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                nullptr, nullptr, dacl, nullptr);
  if (set != ERROR_SUCCESS) return WindowsStatus("access list", set);
  BYTE bytes[kArchiveKeyBytes];
  Status s = SystemRandomBytes(bytes, sizeof bytes);
  if (!s.ok()) return s;
  r = ::RegSetValueExW(key.get(), kValueName, 0, REG_BINARY, bytes, sizeof bytes);
  SecureZeroMemory(bytes, sizeof bytes);
  if (r != ERROR_SUCCESS) return WindowsStatus("store", r);
  r = ::RegFlushKey(key.get());
  return r == ERROR_SUCCESS ? Status::OK() : WindowsStatus("flush", r);
}

}  // namespace

ArchiveKeyResult LoadRegistryArchiveKey(const std::string& key_path, bool create) {
  bool missing = false;
  ArchiveKeyResult result = ReadKey(key_path, &missing);
  if (!create || !missing) return result;

  const std::string where = "archive key HKEY_LOCAL_MACHINE\\" + key_path;
  std::unique_ptr<void, HandleCloser> mutex(::CreateMutexW(nullptr, FALSE, kMutexName));
  if (!mutex) return Outcome(KeyOutcome::kNone, LastWindowsStatus(where + ": lock").description());
  // An abandoned mutex (a run that died holding it) is ours now.
  DWORD waited = ::WaitForSingleObject(mutex.get(), kMutexWaitMs);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    return Outcome(KeyOutcome::kNone, where + ": another run held the lock for a minute");
  }
  result = ReadKey(key_path, &missing);  // made meanwhile by another run?
  if (missing) {
    Status s = StoreNewKey(key_path);
    result =
        s.ok() ? ReadKey(key_path, &missing)
               : Outcome(KeyOutcome::kNone, where + ": cannot be stored (" + s.description() + ")");
  }
  ::ReleaseMutex(mutex.get());
  return result;
}

}  // namespace vaultrun
