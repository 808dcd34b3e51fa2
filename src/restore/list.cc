#include "restore/list.h"

#include <algorithm>
#include <cstdio>

#include "config/backup_folder.h"
#include "config/server_config.h"
#include "config/settings.h"
#include "core/failure.h"
#include "core/process.h"

namespace vaultrun::restore {
namespace {

// A JSON string: quotes, backslashes and control characters escaped.
std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", u);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string Stamp(const ArchiveSummary& archive) { return archive.name.substr(0, 14); }

std::string Json(const std::vector<ArchiveSummary>& archives) {
  std::string out = "[";
  for (const ArchiveSummary& a : archives) {
    out += &a == archives.data() ? "\n" : ",\n";
    out += "  {\"path\": " + JsonString(a.path) + ", \"stamp\": " + JsonString(Stamp(a)) +
           ", \"state\": " + JsonString(StateName(a.state)) +
           ", \"authenticated\": " + (a.authenticated ? "true" : "false") +
           ", \"tables\": " + std::to_string(a.tables) +
           ", \"rows\": " + (a.rows ? std::to_string(*a.rows) : "null") +
           ", \"bytes\": " + std::to_string(a.bytes) + ", \"format\": " + JsonString(a.format) +
           ", \"definitions\": " + (a.definitions ? "true" : "false") +
           ", \"problem\": " + JsonString(a.problem) + "}";
  }
  return out + (archives.empty() ? "]\n" : "\n]\n");
}

std::string Table(const std::string& folder, const std::vector<ArchiveSummary>& archives) {
  if (archives.empty()) return "no archives in " + folder + "\n";
  std::string out = "archives in " + folder + ", newest first:\n";
  char line[512];
  std::snprintf(line, sizeof line, "%-14s  %-10s  %-13s  %6s  %12s  %14s  %-7s  %-11s  %s\n",
                "STAMP", "STATE", "AUTHENTICATED", "TABLES", "ROWS", "BYTES", "FORMAT",
                "DEFINITIONS", "PROBLEM");
  out += line;
  for (const ArchiveSummary& a : archives) {
    std::snprintf(line, sizeof line, "%-14s  %-10s  %-13s  %6llu  %12s  %14llu  %-7s  %-11s  ",
                  Stamp(a).c_str(), StateName(a.state), a.authenticated ? "yes" : "no",
                  static_cast<unsigned long long>(a.tables),
                  a.rows ? std::to_string(*a.rows).c_str() : "-",
                  static_cast<unsigned long long>(a.bytes),
                  a.format.empty() ? "-" : a.format.c_str(), a.definitions ? "yes" : "no");
    std::string row = line + a.problem;
    while (!row.empty() && row.back() == ' ') row.pop_back();
    out += row + "\n";
  }
  return out;
}

}  // namespace

std::vector<ArchiveSummary> ListArchives(Env* env, const std::string& folder, bool deep,
                                         const ArchiveKeyResult* key) {
  std::vector<std::string> names;
  Status listed = StampedArchives(env, folder, &names);
  if (!listed.ok()) throw Failure(listed.number(), "--list: " + listed.description());
  std::vector<ArchiveSummary> archives;
  for (const std::string& name : names) {
    archives.push_back(SummarizeArchive(env, folder + env->Separator() + name, deep, key));
  }
  return archives;
}

std::string FormatListing(const std::string& folder, const std::vector<ArchiveSummary>& archives,
                          bool json) {
  return json ? Json(archives) : Table(folder, archives);
}

std::string InstalledDatabaseFolder(Env* env, SettingsStore* settings) {
  ReadOnlySettingsStore read_only(settings);
  Process process;
  process.env = env;
  process.settings = &read_only;
  try {
    ReadServerConfig(process, ReadRunSettings(process));
  } catch (const Failure& failure) {
    throw Failure(failure.number(),
                  "--list without a folder lists the backup folder of the installed settings, "
                  "but " +
                      failure.EntryText() + "; name the folder: --list FOLDER");
  }
  return GetBackupFolder(process, process.DbName) + process.DbName;
}

}  // namespace vaultrun::restore
