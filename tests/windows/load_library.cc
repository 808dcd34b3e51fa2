// Test helper: loads a DLL by its name along Windows' standard search
// order, as a static import is loaded, to show that a DLL planted beside a
// program would be found that way.
//   load_library NAME      exit 0: loaded, 1: not loaded, 2: usage
#include <windows.h>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  return ::LoadLibraryA(argv[1]) != nullptr ? 0 : 1;
}
