#include <windows.h>
// After windows.h: CommandLineToArgvW, the delay-load helper's hook.
#include <delayimp.h>
#include <shellapi.h>

#include <string>

#include "platform/path_rules.h"
#include "platform/system.h"
#include "platform/text_windows.h"

namespace {

// The system DLLs that are not KnownDLLs (secur32, crypt32, bcrypt) are
// delay-loaded (scripts/build-windows-deps): the helper asks here first and
// gets each one from the system folder by its full path, whatever the
// search order, so a DLL of that name beside the program is never loaded,
// also on a Windows 7 without SetDefaultDllDirectories. Its own imports come
// from the system folder too (LOAD_WITH_ALTERED_SEARCH_PATH).
FARPROC WINAPI LoadFromSystemFolder(unsigned notify, PDelayLoadInfo info) {
  if (notify != dliNotePreLoadLibrary || info == nullptr || info->szDll == nullptr) return nullptr;
  wchar_t folder[MAX_PATH];
  const UINT n = ::GetSystemDirectoryW(folder, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return nullptr;
  std::wstring path(folder, n);
  path += L'\\';
  for (const char* c = info->szDll; *c != '\0'; ++c) path += static_cast<wchar_t>(*c);  // ASCII
  return reinterpret_cast<FARPROC>(
      ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
}

}  // namespace

// Read by the delay-load helper of the C runtime (delayimp.h).
PfnDliHook __pfnDliNotifyHook2 = LoadFromSystemFolder;

namespace vaultrun {

void PrepareProcess() {
  // Looked up rather than imported: Windows 7 has it only with KB2533623,
  // and a missing import would keep the program from starting at all.
  using SetDirs = BOOL(WINAPI*)(DWORD);
  auto set_dirs = reinterpret_cast<SetDirs>(reinterpret_cast<void (*)()>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
  if (set_dirs != nullptr) set_dirs(LOAD_LIBRARY_SEARCH_SYSTEM32);
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

std::vector<std::string> CommandLineArguments(int, char**) {
  std::vector<std::string> args;
  int count = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) return args;
  for (int i = 1; i < count; ++i) args.push_back(Utf8(std::wstring(wide[i])));
  ::LocalFree(wide);
  return args;
}

std::string LocalTextToUtf8(const std::string& text) {
  constexpr char kBom[] = "\xEF\xBB\xBF";
  if (text.starts_with(kBom)) return text.substr(3);
  if (IsUtf8(text)) return text;
  int n = ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return text;
  std::wstring wide(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return Utf8(wide);
}

std::string ClientOptionFile() {
  wchar_t folder[MAX_PATH];
  UINT n = ::GetSystemWindowsDirectoryW(folder, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return "C:\\Windows\\my.ini";
  return Utf8(std::wstring(folder, n)) + "\\my.ini";
}

std::string ClientOptionFilesText() {
  return "Unset connection options come from the [client] group of one option file,\n" +
         ClientOptionFile() +
         " (MariaDB's own clients also read C:\\my.ini and a my.ini in\n"
         "the program's folder; this tool does not). Of an option file it takes where\n"
         "the server is, the account, TLS and the connect timeout; plugin-dir and\n"
         "default-auth only from a --defaults-file.\n";
}

}  // namespace vaultrun
