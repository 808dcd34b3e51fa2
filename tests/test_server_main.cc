// Starts and stops the test server that CTest's cases share (the fixture of
// tests/CMakeLists.txt):
//   vaultrun_test_server start DIR | stop DIR
#include <cstring>
#include <iostream>

#include "test_db.h"

int main(int argc, char** argv) {
  if (argc != 3 || (std::strcmp(argv[1], "start") != 0 && std::strcmp(argv[1], "stop") != 0)) {
    std::cerr << "usage: vaultrun_test_server start|stop DIR\n";
    return 2;
  }
  std::string error = std::strcmp(argv[1], "start") == 0
                          ? vaultrun::test::TestServer::StartShared(argv[2])
                          : vaultrun::test::TestServer::StopShared(argv[2]);
  if (!error.empty()) std::cerr << error << "\n";
  return error.empty() ? 0 : 1;
}
