// A private MariaDB server for a test that stops or breaks its server, so
// the suite's shared TestServer stays untouched. Started with
// scripts/throwaway-server in its own folder under the build tree (own data
// folder, socket and port, bounded waits) and always stopped by the
// destructor; scripts/test also stops one that a killed suite left behind.
#pragma once

#include <memory>
#include <string>

#include "test_db.h"
#include "test_util.h"

namespace vaultrun::test {

class SecondServer {
 public:
  // Starts the server and creates the backup account (TestServer's name
  // and password, SELECT only); on failure ok() is false and the current
  // test has failed.
  SecondServer();
  ~SecondServer();
  SecondServer(const SecondServer&) = delete;
  SecondServer& operator=(const SecondServer&) = delete;

  bool ok() const { return admin_ != nullptr && admin_->ok(); }
  int port() const { return port_; }
  const std::string& socket() const { return socket_; }
  // Root's connection through the socket.
  AdminConnection& admin() { return *admin_; }
  // Stops the server (SIGTERM, then SIGKILL after a bounded wait); the
  // root connection is dropped first. A second call does nothing.
  void Stop();

 private:
  std::string dir_;
  std::string socket_;
  int port_ = 0;
  bool running_ = false;
  std::unique_ptr<AdminConnection> admin_;
};

}  // namespace vaultrun::test
