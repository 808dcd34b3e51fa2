#include <gtest/gtest.h>
#include <windows.h>
// After windows.h: one call of each delay-loaded system DLL.
#define SECURITY_WIN32
#include <bcrypt.h>
#include <security.h>
#include <wincrypt.h>

#include <string>

#include "platform/system.h"

namespace vaultrun {
namespace {

std::wstring Folder(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }

bool SameNoCase(const std::wstring& a, const std::wstring& b) {
  return ::CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// The system DLLs that are not KnownDLLs are delay-loaded: their calls work,
// and each comes from the system folder by the helper's hook alone (no
// PrepareProcess here), also when a DLL of that name lies beside the program
// (the end-to-end case planted_dll runs this test so).
TEST(DelayLoadTest, SystemDllsComeFromTheSystemFolderAtTheirFirstCall) {
  // The one option file of the Windows rule is in the Windows folder.
  EXPECT_TRUE(ClientOptionFile().ends_with("\\my.ini"));
  wchar_t name[256];
  ULONG size = 256;
  (void)::GetUserNameExW(NameSamCompatible, name, &size);  // Secur32
  const BYTE bytes[3] = {1, 2, 3};
  DWORD length = 0;
  EXPECT_TRUE(::CryptBinaryToStringA(bytes, sizeof bytes, CRYPT_STRING_HEXRAW, nullptr, &length));
  UCHAR random[16];
  EXPECT_EQ(0, ::BCryptGenRandom(nullptr, random, sizeof random, BCRYPT_USE_SYSTEM_PREFERRED_RNG));

  wchar_t system[MAX_PATH];
  const UINT n = ::GetSystemDirectoryW(system, MAX_PATH);
  ASSERT_TRUE(n > 0 && n < MAX_PATH);
  for (const wchar_t* dll : {L"secur32.dll", L"crypt32.dll", L"bcrypt.dll"}) {
    HMODULE module = ::GetModuleHandleW(dll);
    ASSERT_NE(nullptr, module) << "not loaded: " << dll;
    wchar_t path[MAX_PATH];
    const DWORD got = ::GetModuleFileNameW(module, path, MAX_PATH);
    ASSERT_TRUE(got > 0 && got < MAX_PATH);
    EXPECT_TRUE(SameNoCase(std::wstring(system, n), Folder(std::wstring(path, got))))
        << "loaded from elsewhere: " << std::string(path, path + got);
  }
}

}  // namespace
}  // namespace vaultrun
