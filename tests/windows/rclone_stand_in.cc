// Test helper: a stand-in rclone.exe for the Windows suite, where no rclone
// runs. It answers the calls of an off-site copy for the remote "fake:",
// which is the folder named by FAKE_RCLONE_ROOT, and a few of its own:
//   args A B ...        writes each argument as [A][B]... (UTF-8)
//   sleep MS [MARKER]   with MARKER, first starts a copy of itself that
//                       creates MARKER after MS ms; then sleeps a minute
// RCLONE_STAND_IN_FAIL=<command> makes that command fail as rclone does;
// RCLONE_STAND_IN_SLOW=<command> makes it sleep a minute first.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::string Utf8(const std::wstring& wide) {
  int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                nullptr, nullptr);
  std::string out(n, '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                        nullptr, nullptr);
  return out;
}

std::wstring Wide(const std::string& utf8) {
  int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(n, L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string Variable(const wchar_t* name) {
  wchar_t buf[4096];
  DWORD n = ::GetEnvironmentVariableW(name, buf, 4096);
  return n > 0 && n < 4096 ? Utf8(std::wstring(buf, n)) : std::string();
}

// "fake:a/b" -> <root>\a\b; a local path stays.
std::wstring Local(const std::string& path) {
  if (path.rfind("fake:", 0) != 0) return Wide(path);
  std::string rest = path.substr(5);
  for (char& c : rest) {
    if (c == '/') c = '\\';
  }
  return Wide(Variable(L"FAKE_RCLONE_ROOT") + "\\" + rest);
}

int Fail(const std::string& message, int code = 1) {
  std::fprintf(stderr, "2026/12/08 02:47:38 ERROR : %s\n", message.c_str());
  std::fprintf(stderr, "2026/12/08 02:47:38 Failed to run: %s\n", message.c_str());
  return code;
}

std::string Read(const std::wstring& path) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Json(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

int Run(const std::vector<std::string>& args, const std::wstring& self) {
  if (args.empty()) return Fail("no command");
  const std::string& command = args[0];
  if (Variable(L"RCLONE_STAND_IN_SLOW") == command) ::Sleep(60000);
  if (Variable(L"RCLONE_STAND_IN_FAIL") == command) return Fail("stand-in refuses " + command);
  if (command == "args") {
    for (size_t i = 1; i < args.size(); ++i) std::printf("[%s]", args[i].c_str());
    return 0;
  }
  if (command == "sleep" || command == "touch-later") {
    if (command == "touch-later" || args.size() < 3) {
      ::Sleep(static_cast<DWORD>(std::stoul(args[1])));
      if (args.size() >= 3) std::ofstream(std::filesystem::path(Wide(args[2]))) << "still alive";
      return 0;
    }
    std::wstring line =
        L"\"" + self + L"\" touch-later " + Wide(args[1]) + L" \"" + Wide(args[2]) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &started)) {
      return Fail("cannot start the second process");
    }
    ::Sleep(60000);
    return 0;
  }
  const std::string target = args.back();
  if (command == "lsjson") {
    const std::wstring path = Local(target);
    const bool stat = args.size() > 1 && args[1] == "--stat";
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
      return Fail(stat ? "object not found" : "directory not found", 3);
    }
    if (stat) {
      std::printf("{\"Name\":%s,\"Size\":%lu,\"IsDir\":false}\n",
                  Json(target.substr(target.find_last_of(":/") + 1)).c_str(), data.nFileSizeLow);
      return 0;
    }
    std::printf("[\n");
    WIN32_FIND_DATAW found;
    HANDLE find = ::FindFirstFileW((path + L"\\*").c_str(), &found);
    bool first = true;
    while (find != INVALID_HANDLE_VALUE) {
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        std::printf("%s{\"Path\":%s,\"Name\":%s,\"Size\":%lu,\"IsDir\":false}", first ? "" : ",\n",
                    Json(Utf8(found.cFileName)).c_str(), Json(Utf8(found.cFileName)).c_str(),
                    found.nFileSizeLow);
        first = false;
      }
      if (!::FindNextFileW(find, &found)) break;
    }
    if (find != INVALID_HANDLE_VALUE) ::FindClose(find);
    std::printf("\n]\n");
    return 0;
  }
  if (command == "copyto" || command == "moveto") {
    const std::wstring to = Local(target);
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(to).parent_path(), ignored);
    const std::wstring from = Local(args[args.size() - 2]);
    bool ok = command == "copyto"
                  ? ::CopyFileW(from.c_str(), to.c_str(), FALSE)
                  : ::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING);
    return ok ? 0 : Fail("cannot " + command + " " + args[args.size() - 2]);
  }
  if (command == "deletefile") {
    return ::DeleteFileW(Local(target).c_str()) ? 0 : Fail("cannot delete " + target);
  }
  if (command == "cat") {
    std::string bytes = Read(Local(target));
    if (args.size() > 2 && args[1].rfind("--offset=-", 0) == 0) {
      size_t n = std::stoul(args[1].substr(10));
      if (n < bytes.size()) bytes = bytes.substr(bytes.size() - n);
    }
    _setmode(_fileno(stdout), _O_BINARY);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    return 0;
  }
  return Fail("unknown command " + command);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    std::string arg = Utf8(argv[i]);
    if (arg == "--config") {
      ++i;
      continue;
    }
    if (arg.rfind("--ask-password", 0) == 0) continue;
    args.push_back(arg);
  }
  wchar_t self[MAX_PATH];
  DWORD n = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  return Run(args, std::wstring(self, n));
}
