#include "program_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "test_db.h"

namespace vaultrun::test {

namespace fs = std::filesystem;

ProgramFolder::ProgramFolder() {
  fs::create_directories(Sub("conf"));
  fs::copy_file(VAULTRUN_BINARY, Sub("vaultrun"));
}

void ProgramFolder::WriteConf(const std::string& text) {
  WriteFileOrDie(Sub("conf/inter_kelvane.conf"), text);
}

void ProgramFolder::WriteConfFor(const std::string& database, const std::string& user,
                                 const std::string& password) {
  TestServer::Get();  // the port must be known to the program's environment
  WriteConf("// test configuration\r\nmysql_server_ip: 127.0.0.1\r\nmysql_char_db: " + database +
            "\r\nmysql_server_id: " + user + "\r\nmysql_server_pw: " + password + "\r\n");
}

void ProgramFolder::WriteSettings(const std::string& body) {
  std::string text = body.rfind("REGEDIT4", 0) == 0 || body.rfind("Windows Registry", 0) == 0
                         ? body
                         : "REGEDIT4\r\n\r\n" + body;
  WriteFileOrDie(settings_path(), text);
}

std::string ProgramFolder::Settings() const {
  return fs::exists(settings_path()) ? ReadFileOrDie(settings_path()) : "";
}

int ProgramFolder::Run() const {
  TestServer::Get();
  return RunCommand("cd '" + path() + "' && VAULTRUN_REGISTRY='" + settings_path() +
                    "' VAULTRUN_EVENT_LOG='" + Sub("events.log") + "' ./vaultrun");
}

std::vector<std::string> ProgramFolder::Entries() const {
  std::vector<std::string> lines;
  if (!fs::exists(Sub("events.log"))) return lines;
  std::istringstream in(ReadFileOrDie(Sub("events.log")));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> ProgramFolder::Archives(const std::string& database) const {
  std::vector<std::string> found;
  std::string folder = Sub("backup/" + database);
  if (!fs::exists(folder)) return found;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().extension() == ".zip") found.push_back(entry.path().string());
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::vector<std::string> ProgramFolder::EntryNames(const std::string& archive) {
  std::string out;
  EXPECT_EQ(0, RunCommand("unzip -Z1 '" + archive + "'", &out)) << archive;
  std::vector<std::string> names;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) names.push_back(line);
  std::sort(names.begin(), names.end());
  return names;
}

std::string ProgramFolder::EntryContent(const std::string& archive, const std::string& entry) {
  std::string out;
  EXPECT_EQ(0, RunCommand("unzip -p '" + archive + "' '" + entry + "'", &out));
  return out;
}

void ProgramFolder::ReplaceEntry(const std::string& archive, const std::string& entry,
                                 const std::string& content) {
  TempDir dir;
  WriteFileOrDie(dir.Sub("entry"), content);
  EXPECT_EQ(0, RunCommand("python3 -c 'import sys, zipfile\n"
                          "src = zipfile.ZipFile(sys.argv[1])\n"
                          "out = zipfile.ZipFile(sys.argv[1] + \".new\", \"w\", "
                          "zipfile.ZIP_DEFLATED)\n"
                          "for i in src.infolist():\n"
                          "  if i.filename != sys.argv[2]:\n"
                          "    out.writestr(i, src.read(i))\n"
                          "out.writestr(sys.argv[2], open(sys.argv[3], \"rb\").read())\n"
                          "out.comment = src.comment\nout.close()' '" +
                          archive + "' '" + entry + "' '" + dir.Sub("entry") + "' && mv '" +
                          archive + ".new' '" + archive + "'"));
}

bool ProgramFolder::ArchiveTestsClean(const std::string& archive) {
  std::string seven;
  return RunCommand("unzip -tq '" + archive + "' >/dev/null") == 0 &&
         RunCommand("7zz t -bd '" + archive + "' 2>&1", &seven) == 0 &&
         seven.find("Warning") == std::string::npos &&
         RunCommand(
             "python3 -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); "
             "sys.exit(z.testzip() is not None)' '" +
             archive + "'") == 0;
}

void ProgramFolder::MakeArchive(const std::string& path,
                                const std::vector<std::pair<std::string, std::string>>& entries) {
  TempDir dir;
  std::string args;
  for (size_t i = 0; i < entries.size(); ++i) {
    std::string file = dir.Sub("entry" + std::to_string(i));
    WriteFileOrDie(file, entries[i].second);
    args += " '" + entries[i].first + "' '" + file + "'";
  }
  EXPECT_EQ(0, RunCommand("python3 -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1], "
                          "\"w\", zipfile.ZIP_DEFLATED); a = sys.argv[2:]; [z.write(a[i + 1], "
                          "a[i]) for i in range(0, len(a), 2)]; z.close()' '" +
                          path + "'" + args));
}

void ProgramFolder::EditArchive(const std::string& archive, const std::string& python) {
  TempDir dir;
  WriteFileOrDie(dir.Sub("edit.py"), python);
  EXPECT_EQ(0, RunCommand("python3 '" VAULTRUN_SOURCE_DIR "/tests/edit_zip.py' '" + archive +
                          "' '" + dir.Sub("edit.py") + "'"))
      << python;
}

}  // namespace vaultrun::test
