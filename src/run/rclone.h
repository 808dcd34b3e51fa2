// rclone, the program that carries archives to another machine (S3 and its
// kin, SFTP, WebDAV, cloud drives, and `crypt` over any of them), run as a
// child process through Env::RunChild: argv, never a shell; its output
// bounded; every call within one deadline. Its credentials stay in its own
// configuration: a remote given as a connection string
// (":s3,secret_access_key=...:bucket") is shown without its parameters.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/env.h"

namespace vaultrun {

// The failure number of an rclone call that failed.
inline constexpr int kErrRclone = 3100;

// The remote as entries and messages show it: a connection string's
// parameters left out (":s3,key=...:bucket/x" gives ":s3:bucket/x").
std::string RemoteForDisplay(const std::string& remote);

// text with the remote's connection-string parameters taken out: the
// remote as written gives RemoteForDisplay's form, and each parameter's
// value (of four or more characters) anywhere else gives "***".
std::string ScrubRemote(const std::string& text, const std::string& remote);

// path inside remote: "nas:backup" + "db" gives "nas:backup/db", "nas:" +
// "db" gives "nas:db" (relative to the remote's root, as "nas:" is).
std::string RemoteJoin(const std::string& remote, const std::string& name);

// True when text names an rclone remote rather than a local file:
// "name:path" or ":backend...:path". One letter before the colon is a
// drive where drive_letters (Windows) is true.
bool LooksLikeRemote(const std::string& text, bool drive_letters);

// A file as rclone lists it.
struct RemoteFile {
  std::string name;
  int64_t size = -1;  // -1 when the backend does not know
  bool is_dir = false;
  std::map<std::string, std::string> hashes;  // e.g. "md5" -> hex
};

// rclone lsjson's output: an array of files (or, with --stat, one object).
// Nothing, with *error saying where, when the text is not such JSON.
std::optional<std::vector<RemoteFile>> ParseRemoteListing(std::string_view json,
                                                          std::string* error);

// Where rclone is and how long it may take.
struct RcloneSetup {
  std::string program = "rclone";
  std::string config;  // empty: rclone's own configuration file
  std::chrono::seconds timeout{3600};
};

// The rclone calls of an off-site copy and a restore. Every call shares one
// deadline (setup.timeout from construction) and raises a Failure naming
// the command and rclone's own last message when rclone fails, is killed at
// the deadline, or cannot be started.
class Rclone {
 public:
  // remote is the remote as the user wrote it, for taking its parameters
  // out of every message.
  Rclone(Env* env, RcloneSetup setup, std::string remote);

  // The files in folder; none when the folder does not exist.
  std::vector<RemoteFile> List(const std::string& folder);
  // One file, with the hashes the backend keeps.
  RemoteFile Stat(const std::string& path);
  void CopyTo(const std::string& source, const std::string& target);
  void MoveTo(const std::string& source, const std::string& target);
  void DeleteFile(const std::string& path);
  // The last `bytes` bytes of a remote file (its first bytes when it is
  // shorter).
  std::string Tail(const std::string& path, uint64_t bytes);
  // Writes a remote file into a new local file (owner only).
  void Fetch(const std::string& path, const std::string& local_file);
  // The hash of a local file as rclone computes it ("md5", "sha1", ...).
  std::string HashSum(const std::string& type, const std::string& local_file);

  // Raises a Failure unless the remote file at path has the local file's
  // size and, where the backend keeps a hash rclone can also compute
  // locally, the same hash.
  void ConfirmSame(const std::string& path, const std::string& local_file);

 private:
  // Runs rclone with args; raises on failure. directory_missing, when
  // given, is set (and nothing raised) for rclone's "directory not found".
  ChildResult Run(const std::vector<std::string>& args, size_t output_limit,
                  const std::string& output_file = "", bool* directory_missing = nullptr);

  Env* env_;
  RcloneSetup setup_;
  std::string remote_;
  std::chrono::steady_clock::time_point deadline_;
};

}  // namespace vaultrun
