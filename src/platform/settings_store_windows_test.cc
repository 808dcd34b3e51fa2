#include <gtest/gtest.h>
#include <windows.h>
// windows.h first: these need its types.
#include <aclapi.h>
#include <sddl.h>

#include <thread>

#include "platform/settings_store.h"
#include "platform/text_windows.h"

namespace vaultrun {
namespace {

// A key of its own under HKEY_LOCAL_MACHINE, removed before and after.
constexpr char kKey[] = "Software\\Cobaltine\\VaultrunTest";

// Opens path under HKEY_LOCAL_MACHINE in the given registry view.
bool OpenKey(const wchar_t* path, REGSAM view, HKEY* key) {
  return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS | view, key) == ERROR_SUCCESS;
}

class SettingsStoreWindowsTest : public ::testing::Test {
 protected:
  SettingsStoreWindowsTest() { Remove(); }
  ~SettingsStoreWindowsTest() override { Remove(); }
  static void Remove() {
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
      HKEY parent = nullptr;
      if (!OpenKey(L"Software\\Cobaltine", view, &parent)) continue;
      ::RegDeleteTreeW(parent, L"VaultrunTest");
      ::RegCloseKey(parent);
    }
  }
  std::string Read(const std::string& key, const std::string& name) {
    return store_->ReadRegString(kHkeyLocalMachine, key, name, "<default>");
  }
  std::unique_ptr<SettingsStore> store_ = NewDefaultSettingsStore(nullptr);
};

TEST_F(SettingsStoreWindowsTest, StringsRoundTripThroughTheRegistry) {
  const std::string cfg = std::string(kKey) + "\\cfg";
  EXPECT_EQ("<default>", Read(cfg, "format_sql"));
  ASSERT_TRUE(store_->WriteRegString(kHkeyLocalMachine, cfg, "format_sql", "1"));
  EXPECT_EQ("1", Read(cfg, "format_sql"));
  EXPECT_EQ("1", Read(cfg + "\\", "FORMAT_SQL"));  // names match without case

  const std::string folder = "C:\\Spiele\\Kelvane äöü 日本\\backup\\";
  ASSERT_TRUE(store_->WriteRegString(kHkeyLocalMachine, cfg, "kelvane_path", folder));
  EXPECT_EQ(folder, Read(cfg, "kelvane_path"));
  ASSERT_TRUE(store_->WriteRegString(kHkeyLocalMachine, cfg, "kelvane_path", ""));
  EXPECT_EQ("", Read(cfg, "kelvane_path"));

  // The trailing backslash names the same key.
  ASSERT_TRUE(store_->WriteRegString(kHkeyLocalMachine, std::string(kKey) + "\\", "items", "0"));
  EXPECT_EQ("0", Read(kKey, "items"));

  const std::string long_text(5000, 'x');
  ASSERT_TRUE(store_->WriteRegString(kHkeyLocalMachine, cfg, "long", long_text));
  EXPECT_EQ(long_text, Read(cfg, "long"));
}

TEST_F(SettingsStoreWindowsTest, SettingsLiveInThe32BitViewOfTheOlderProgram) {
  // What the 32-bit predecessor wrote is read, and writes land beside it.
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Cobaltine\\VaultrunTest", 0, nullptr,
                              0, KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, &key, nullptr));
  const wchar_t one[] = L"1";
  ::RegSetValueExW(key, L"format_sql", 0, REG_SZ, reinterpret_cast<const BYTE*>(one), sizeof one);
  ::RegCloseKey(key);
  EXPECT_EQ("1", Read(kKey, "format_sql"));
  ASSERT_TRUE(store_->WriteRegString(kHkeyLocalMachine, kKey, "items", "0"));
  EXPECT_TRUE(OpenKey(L"Software\\WOW6432Node\\Cobaltine\\VaultrunTest", KEY_WOW64_64KEY, &key));
  ::RegCloseKey(key);
  // Nothing in the 64-bit view.
  EXPECT_FALSE(OpenKey(L"Software\\Cobaltine\\VaultrunTest", KEY_WOW64_64KEY, &key));
}

TEST_F(SettingsStoreWindowsTest, OtherValueTypesReadAsTheDefault) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, Wide(kKey).c_str(), 0, nullptr, 0,
                              KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, &key, nullptr));
  DWORD one = 1;
  ::RegSetValueExW(key, L"dword", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
  const wchar_t expand[] = L"%TEMP%";
  ::RegSetValueExW(key, L"expand", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(expand),
                   sizeof expand);
  const BYTE bytes[] = {'1', 0};
  ::RegSetValueExW(key, L"binary", 0, REG_BINARY, bytes, sizeof bytes);
  ::RegCloseKey(key);
  EXPECT_EQ("<default>", Read(kKey, "dword"));
  EXPECT_EQ("<default>", Read(kKey, "expand"));
  EXPECT_EQ("<default>", Read(kKey, "binary"));
  EXPECT_EQ("<default>", Read(kKey, "missing"));
  EXPECT_EQ("<default>", Read(std::string(kKey) + "\\nokey", "missing"));
}

// The SIDs of the entries in the access list of the key at path.
std::vector<std::string> AccessSids(const std::wstring& path) {
  std::vector<std::string> sids;
  HKEY key = nullptr;
  if (!OpenKey(path.c_str(), KEY_WOW64_32KEY, &key)) return {"cannot open"};
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD r = ::GetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &dacl, nullptr, &descriptor);
  ::RegCloseKey(key);
  if (r != ERROR_SUCCESS || dacl == nullptr) return {"no access list"};
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    ::GetAce(dacl, i, &ace);
    LPWSTR text = nullptr;
    ::ConvertSidToStringSidW(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart, &text);
    sids.push_back(Utf8(text));
    ::LocalFree(text);
  }
  ::LocalFree(descriptor);
  return sids;
}

// Gives the key at path the access list of sddl.
void SetAccess(const std::wstring& path, const wchar_t* sddl) {
  HKEY key = nullptr;
  ASSERT_TRUE(OpenKey(path.c_str(), KEY_WOW64_32KEY, &key));
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                                     &descriptor, nullptr));
  EXPECT_EQ(ERROR_SUCCESS, ::RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor));
  ::LocalFree(descriptor);
  ::RegCloseKey(key);
}

// The archive key in a registry key of its own, which only Administrators
// and SYSTEM may open (as far as Wine keeps access lists); one whose list
// lets anyone else in is refused, and two first runs at once agree.
TEST_F(SettingsStoreWindowsTest, ArchiveKeyLivesInAKeyOnlyAdministratorsMayOpen) {
  const std::string path = std::string(kKey) + "\\ArchiveKey";
  EXPECT_EQ(KeyOutcome::kNone, NewRegistrySettingsStore(path)->ReadArchiveKey().outcome);
  std::vector<ArchiveKeyResult> made(2);
  std::vector<std::thread> runs;
  for (ArchiveKeyResult& result : made) {
    runs.emplace_back([&] { result = NewRegistrySettingsStore(path)->LoadOrCreateArchiveKey(); });
  }
  for (std::thread& run : runs) run.join();
  ASSERT_TRUE(made[0].ready()) << made[0].problem;
  EXPECT_EQ(kArchiveKeyBytes, made[0].key.size());
  EXPECT_EQ(made[0].key, made[1].key);
  auto store = NewRegistrySettingsStore(path);
  EXPECT_EQ(made[0].id, store->ReadArchiveKey().id);

  // Nothing inherited from the parent either (Wine does not show the
  // protection flag itself).
  EXPECT_EQ((std::vector<std::string>{"S-1-5-18", "S-1-5-32-544"}), AccessSids(Wide(path)));

  for (const wchar_t* sddl :
       {L"D:P(A;;KA;;;SY)(A;;KA;;;BA)(A;;KR;;;WD)", L"D:P(A;;KA;;;SY)(A;;KA;;;BA)(A;;KW;;;BU)"}) {
    SetAccess(Wide(path), sddl);
    ArchiveKeyResult refused = store->LoadOrCreateArchiveKey();
    EXPECT_EQ(KeyOutcome::kRefused, refused.outcome);
    EXPECT_TRUE(refused.key.empty());
    EXPECT_NE(std::string::npos, refused.problem.find("refused, as others may read or change it"))
        << refused.problem;
  }
  // A list that denies others and allows the two is fine.
  SetAccess(Wide(path), L"D:P(D;;KA;;;AN)(A;;KA;;;SY)(A;;KA;;;BA)");
  EXPECT_EQ(made[0].key, store->ReadArchiveKey().key);
}

}  // namespace
}  // namespace vaultrun
