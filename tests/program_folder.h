// A game server's folder with the real vaultrun program copied into it, its
// conf folder, a settings file and an event-log file, for tests that run
// the whole program as a user would.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "test_util.h"

namespace vaultrun::test {

class ProgramFolder {
 public:
  ProgramFolder();
  const std::string& path() const { return dir_.path(); }
  std::string Sub(const std::string& name) const { return dir_.Sub(name); }

  // conf/inter_kelvane.conf with the given text.
  void WriteConf(const std::string& text);
  // A configuration file (CR LF lines) naming the test server over TCP.
  void WriteConfFor(const std::string& database, const std::string& user,
                    const std::string& password);
  // The settings file (REGEDIT4 header added when missing).
  void WriteSettings(const std::string& body);
  std::string Settings() const;
  std::string settings_path() const { return Sub("vaultrun.reg"); }
  // The installation's archive key, made beside the settings file.
  std::string key_path() const { return Sub("vaultrun.key"); }

  // Runs the program in this folder and returns its exit status.
  int Run() const;
  // The event-log entries, one "type<TAB>text" a line.
  std::vector<std::string> Entries() const;
  // The archives of a database's folder below backup/.
  std::vector<std::string> Archives(const std::string& database) const;
  // Names of the entries in a zip archive, read with Info-ZIP's unzip.
  static std::vector<std::string> EntryNames(const std::string& archive);
  // One entry's content.
  static std::string EntryContent(const std::string& archive, const std::string& entry);
  // Writes content as the archive's entry (put last, in place of the one of
  // that name, if any) with Python's zipfile, keeping the zip comment.
  static void ReplaceEntry(const std::string& archive, const std::string& entry,
                           const std::string& content);
  // True when unzip -t, 7-Zip's test (no warning) and Python's zipfile all
  // find the archive sound.
  static bool ArchiveTestsClean(const std::string& archive);
  // Writes an archive with Python's zipfile: the entries (name, content) in
  // order, deflated, no comment.
  static void MakeArchive(const std::string& path,
                          const std::vector<std::pair<std::string, std::string>>& entries);
  // Edits an archive with tests/edit_zip.py: python is run with `contents`
  // (name -> bytes), `names` (in order) and `comment`; entries it leaves
  // alone keep their stored bytes.
  static void EditArchive(const std::string& archive, const std::string& python);

 private:
  TempDir dir_;
};

}  // namespace vaultrun::test
