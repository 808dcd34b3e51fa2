#include "fault_util.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "platform/reg_file.h"
#include "program_folder.h"
#include "test_db.h"
#include "test_util.h"

extern char** environ;

namespace vaultrun::test {

namespace fs = std::filesystem;

bool WaitFor(const std::function<bool()>& done, std::chrono::seconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

ProgramChild::ProgramChild(const ProgramFolder& folder, const std::string& settings_path,
                           const std::vector<std::pair<std::string, std::string>>& env) {
  TestServer::Get();  // its port is in this process's environment
  std::vector<std::pair<std::string, std::string>> set = {
      {"VAULTRUN_REGISTRY", settings_path.empty() ? folder.settings_path() : settings_path},
      {"VAULTRUN_EVENT_LOG", folder.Sub("events.log")}};
  set.insert(set.end(), env.begin(), env.end());
  std::vector<std::string> vars;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string var = *e;
    bool replaced = false;
    for (const auto& [name, value] : set) replaced |= var.rfind(name + "=", 0) == 0;
    if (!replaced) vars.push_back(var);
  }
  for (const auto& [name, value] : set) vars.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& var : vars) envp.push_back(var.data());
  envp.push_back(nullptr);
  std::string dir = folder.path();
  std::string program = folder.Sub("vaultrun");
  char* argv[] = {program.data(), nullptr};

  pid_ = fork();
  if (pid_ == 0) {
    // Only async-signal-safe calls between fork and exec.
    if (chdir(dir.c_str()) != 0) _exit(126);
    execve(program.c_str(), argv, envp.data());
    _exit(127);
  }
  if (pid_ < 0) ADD_FAILURE() << "fork failed";
}

ProgramChild::~ProgramChild() {
  if (pid_ > 0 && !reaped_) Kill();
}

int ProgramChild::Wait() {
  if (pid_ <= 0) return -1;
  if (!reaped_) {
    while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
  }
  if (WIFEXITED(status_)) return WEXITSTATUS(status_);
  return WIFSIGNALED(status_) ? -WTERMSIG(status_) : -1;
}

bool ProgramChild::Ended() {
  if (pid_ <= 0 || reaped_) return true;
  if (waitpid(pid_, &status_, WNOHANG) == pid_) reaped_ = true;
  return reaped_;
}

void ProgramChild::Kill() {
  if (pid_ <= 0 || reaped_) return;
  kill(pid_, SIGKILL);
  Wait();
}

std::map<std::string, std::string> SnapshotFiles(const std::string& root,
                                                 const std::string& suffix) {
  std::map<std::string, std::string> files;
  if (!fs::exists(root)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    std::string path = entry.path().string();
    if (!entry.is_regular_file() || path.size() < suffix.size() ||
        path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    files[fs::relative(entry.path(), root).string()] = ReadFileOrDie(path);
  }
  return files;
}

std::map<std::string, std::string> SettingsValues(const std::string& bytes, size_t* unreadable) {
  regfile::RegDocument doc = regfile::Parse(bytes);
  auto lower = [](std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) {
      return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    });
    return s;
  };
  std::map<std::string, std::string> values;
  for (const regfile::RegKey& key : doc.keys) {
    for (const regfile::RegValue& value : key.values) {
      values[lower(key.root + "\\" + key.path) + "|" + lower(value.name)] =
          value.is_string ? "s:" + value.text
                          : "o:" + doc.text.substr(value.begin, value.end - value.begin);
    }
  }
  if (unreadable != nullptr) *unreadable = doc.unreadable_lines.size();
  return values;
}

std::string ShellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

void FaultFigures::Print() const {
  std::printf(
      "fault-figures kind=%s trials=%llu entries=%llu archives=%llu bytes=%llu losses=%llu\n",
      kind.c_str(), static_cast<unsigned long long>(trials),
      static_cast<unsigned long long>(entries), static_cast<unsigned long long>(archives),
      static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(losses));
  std::fflush(stdout);
}

void ExpectArchivesUnchanged(const std::string& root,
                             const std::map<std::string, std::string>& before,
                             FaultFigures* figures) {
  for (const auto& [name, bytes] : before) {
    std::string path = root + "/" + name;
    ++figures->archives;
    if (!fs::exists(path)) {
      ++figures->losses;
      ADD_FAILURE() << "archive lost: " << path;
      continue;
    }
    std::string now = ReadFileOrDie(path);
    figures->bytes += bytes.size();
    if (now != bytes) {
      ++figures->losses;
      ADD_FAILURE() << "archive changed: " << path << " (" << bytes.size() << " -> " << now.size()
                    << " bytes)";
    }
  }
}

void ExpectSettingsKept(const std::map<std::string, std::string>& before,
                        const std::string& settings_bytes, FaultFigures* figures) {
  size_t unreadable = 0;
  std::map<std::string, std::string> now = SettingsValues(settings_bytes, &unreadable);
  if (unreadable != 0) {
    ++figures->losses;
    ADD_FAILURE() << unreadable << " unreadable lines in the settings:\n" << settings_bytes;
  }
  for (const auto& [name, value] : before) {
    auto it = now.find(name);
    if (it == now.end() || it->second != value) {
      ++figures->losses;
      ADD_FAILURE() << "settings value lost or changed: " << name << " = " << value;
    }
  }
}

}  // namespace vaultrun::test
