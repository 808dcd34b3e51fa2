#include "platform/path_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vaultrun {
namespace {

TEST(PathRules, FileNamesEachPlatformCanStore) {
  for (const char* name : {"accounts", "odd name's `table`", "Tabelle ß", "a.b", "cons", "com10",
                           "lpt", "nul_items", "com1a"}) {
    EXPECT_TRUE(IsUsablePosixFileName(name)) << name;
    EXPECT_TRUE(IsUsableWindowsFileName(name)) << name;
  }
  for (const std::string& name :
       std::vector<std::string>{"", ".", "..", "a/b", "a\\b", std::string("a\0b", 3)}) {
    EXPECT_FALSE(IsUsablePosixFileName(name)) << name;
    EXPECT_FALSE(IsUsableWindowsFileName(name)) << name;
  }
  // Names that POSIX stores as they are, but Windows would not: a stream of
  // another file, a device, or a name Windows cuts short.
  for (const char* name :
       {"items:stream", "...",     "a?",        "a*",         "a<b",  "a>b",  "a|b",
        "say\"hi\"",    "tab\tle", "trailing.", "trailing ",  "con",  "CON",  "Aux.sql",
        "nul.tar.gz",   "prn",     "com1",      "COM9.csv",   "lpt1", "Lpt5", "com0",
        "conin$",       "CONOUT$", "nul .txt",  "com\xC2\xB9"}) {
    EXPECT_TRUE(IsUsablePosixFileName(name)) << name;
    EXPECT_FALSE(IsUsableWindowsFileName(name)) << name;
  }
}

TEST(PathRules, OnlyLinksAndJunctionsRedirect) {
  EXPECT_TRUE(IsRedirectingReparseTag(0xA000000C));   // symbolic link
  EXPECT_TRUE(IsRedirectingReparseTag(0xA0000003));   // junction
  EXPECT_FALSE(IsRedirectingReparseTag(0x80000013));  // deduplicated file
  EXPECT_FALSE(IsRedirectingReparseTag(0x9000001A));  // cloud files (OneDrive placeholder)
  EXPECT_FALSE(IsRedirectingReparseTag(0x80000017));  // WOF compressed file
  EXPECT_FALSE(IsRedirectingReparseTag(0xC0000004));  // hierarchical storage
}

TEST(PathRules, PathRootsAndTheExtendedLengthForm) {
  EXPECT_EQ("\\\\?\\C:\\a\\b", ExtendedLengthPath("C:\\a\\b"));
  EXPECT_EQ("\\\\?\\UNC\\srv\\share\\b", ExtendedLengthPath("\\\\srv\\share\\b"));
  EXPECT_EQ("\\\\?\\C:\\a", ExtendedLengthPath("\\\\?\\C:\\a"));
  EXPECT_EQ("\\\\.\\pipe\\x", ExtendedLengthPath("\\\\.\\pipe\\x"));
  EXPECT_EQ("relative\\a", ExtendedLengthPath("relative\\a"));

  EXPECT_EQ(1u, PathRootLength("/var/backup/", '/'));
  EXPECT_EQ(0u, PathRootLength("backup/", '/'));
  EXPECT_EQ(3u, PathRootLength("Q:/data/", '/'));
  EXPECT_EQ(3u, PathRootLength("C:\\backup\\", '\\'));
  EXPECT_EQ(2u, PathRootLength("C:backup\\", '\\'));
  EXPECT_EQ(1u, PathRootLength("\\backup\\", '\\'));
  EXPECT_EQ(0u, PathRootLength("backup\\", '\\'));
  EXPECT_EQ(15u, PathRootLength("\\\\server\\share\\backup\\", '\\'));
  EXPECT_EQ(14u, PathRootLength("\\\\server\\share", '\\'));
  EXPECT_EQ(7u, PathRootLength("\\\\?\\C:\\backup\\", '\\'));
  EXPECT_EQ(21u, PathRootLength("\\\\?\\UNC\\server\\share\\backup\\", '\\'));

  EXPECT_TRUE(IsNetworkSharePath("\\\\server\\share\\backup"));
  EXPECT_TRUE(IsNetworkSharePath("\\\\?\\UNC\\server\\share\\backup"));
  EXPECT_FALSE(IsNetworkSharePath("\\\\?\\C:\\backup"));
  EXPECT_FALSE(IsNetworkSharePath("\\\\.\\C:\\backup"));
  EXPECT_FALSE(IsNetworkSharePath("C:\\backup"));
  EXPECT_FALSE(IsNetworkSharePath("\\backup"));
}

TEST(PathRules, Utf8AndTheProtectedFolderDescriptor) {
  EXPECT_TRUE(IsUtf8("plain ascii"));
  EXPECT_TRUE(IsUtf8("spiel\xC3\xA4 \xE6\x97\xA5 \xF0\x9F\x98\x80"));
  EXPECT_FALSE(IsUtf8("spiel\xE4"));     // Windows-1252 a-umlaut
  EXPECT_FALSE(IsUtf8("\xC0\xAF"));      // overlong '/'
  EXPECT_FALSE(IsUtf8("\xED\xA0\x80"));  // surrogate
  EXPECT_FALSE(IsUtf8("\xE6\x97"));      // cut short
  EXPECT_EQ(3u, Utf8CompleteLength("a\xC3\xA4"));
  EXPECT_EQ(1u, Utf8CompleteLength("a\xC3"));
  EXPECT_EQ(1u, Utf8CompleteLength("a\xE6\x97"));
  EXPECT_EQ(4u, Utf8CompleteLength("a\xE6\x97\xA5"));
  EXPECT_EQ(1u, Utf8CompleteLength("a\xF0\x9F\x98"));
  EXPECT_EQ(0u, Utf8CompleteLength(""));
  EXPECT_EQ("D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;S-1-5-21-1-2-3-1001)",
            ProtectedFolderSddl("S-1-5-21-1-2-3-1001"));
}

TEST(PathRules, WindowsCommandLineQuotesWhatWouldSplit) {
  struct Row {
    std::vector<std::string> argv;
    const char* line;
  };
  const Row rows[] = {
      {{"rclone", "lsjson", "nas:backup/db"}, "rclone lsjson nas:backup/db"},
      {{"C:\\Program Files\\rclone.exe", ""}, "\"C:\\Program Files\\rclone.exe\" \"\""},
      {{"a\"b", "c\\d\\", "e f\\"}, "\"a\\\"b\" c\\d\\ \"e f\\\\\""},
      {{"x\\\"y z"}, "\"x\\\\\\\"y z\""},
      {{"C:\\Sauvegardes \xC3\xA9t\xC3\xA9\\db\\1.zip"},
       "\"C:\\Sauvegardes \xC3\xA9t\xC3\xA9\\db\\1.zip\""},
  };
  for (const Row& row : rows) EXPECT_EQ(row.line, WindowsCommandLine(row.argv));
}

}  // namespace
}  // namespace vaultrun
