// Test helper: holds a file open as a virus scanner or sync client does
// (reads shared, writes and deletion not), for a given time.
//   hold_file PATH MILLISECONDS
// Once the file is held, PATH.held is created so the test knows.
#include <windows.h>

#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  HANDLE h = ::CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 1;
  const std::string marker = std::string(argv[1]) + ".held";
  HANDLE m = ::CreateFileA(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (m != INVALID_HANDLE_VALUE) ::CloseHandle(m);
  ::Sleep(static_cast<DWORD>(std::atoi(argv[2])));
  ::CloseHandle(h);
  return 0;
}
