#include "second_server.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

namespace vaultrun::test {

namespace {
std::string Script() { return std::string(VAULTRUN_SOURCE_DIR) + "/scripts/throwaway-server"; }
std::atomic<int> g_next_server{0};
}  // namespace

SecondServer::SecondServer() {
  dir_ = std::string(VAULTRUN_BUILD_DIR) + "/tmp/mariadb-second-" + std::to_string(getpid()) + "-" +
         std::to_string(++g_next_server);
  std::filesystem::remove_all(dir_);
  std::string out;
  running_ = true;  // a half-started server is stopped too
  if (RunCommand(Script() + " start '" + dir_ + "' 2>&1", &out) != 0) {
    ADD_FAILURE() << "the second server did not start:\n" << out;
    return;
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  socket_ = out.substr(out.find_last_of('\n') + 1);
  port_ = std::stoi(ReadFileOrDie(dir_ + "/port"));
  admin_ = std::make_unique<AdminConnection>(socket_, "root", "");
  if (!admin_->ok()) return;
  for (const char* host : {"localhost", "127.0.0.1"}) {
    std::string account = std::string("'") + TestServer::kBackupUser + "'@'" + host + "'";
    admin_->Exec("CREATE USER " + account + " IDENTIFIED BY '" + TestServer::kBackupPassword + "'");
    admin_->Exec("GRANT SELECT, SHOW VIEW, TRIGGER, EVENT ON *.* TO " + account);
  }
}

SecondServer::~SecondServer() {
  Stop();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

void SecondServer::Stop() {
  admin_.reset();
  if (!running_) return;
  running_ = false;
  RunCommand(Script() + " stop '" + dir_ + "' >/dev/null 2>&1");
}

}  // namespace vaultrun::test
