#include "platform/reg_file.h"

#include <gtest/gtest.h>

#include <random>

namespace vaultrun::regfile {
namespace {

constexpr char kLm[] = "HKEY_LOCAL_MACHINE";
constexpr char kCfg[] = "Software\\Cobaltine\\Vaultrun\\cfg";

// The string value, or "<none>" when missing or of another type.
std::string Get(const RegDocument& doc, const std::string& key, const std::string& name) {
  const RegValue* v = FindValue(doc, kLm, key, name);
  return v != nullptr && v->is_string ? v->text : "<none>";
}

std::string Set(std::string_view bytes, const std::string& key, const std::string& name,
                const std::string& text) {
  std::optional<std::string> out = SetString(Parse(bytes), kLm, key, name, text);
  EXPECT_TRUE(out.has_value());
  return out.value_or("");
}

// UTF-8 (BMP and astral) to UTF-16LE, for building test files.
std::string ToUtf16(const std::string& utf8) {
  std::string out;
  auto unit = [&](uint32_t u) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  };
  for (size_t i = 0; i < utf8.size();) {
    unsigned char b = static_cast<unsigned char>(utf8[i]);
    int len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    uint32_t cp = len == 1 ? b : len == 2 ? b & 0x1F : len == 3 ? b & 0x0F : b & 0x07;
    for (int k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    if (cp >= 0x10000) {
      unit(0xD800 + ((cp - 0x10000) >> 10));
      unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      unit(cp);
    }
    i += len;
  }
  return out;
}

TEST(RegFile, ReadsBothHeadersAndStringEscapes) {
  for (std::string header : {"REGEDIT4", "Windows Registry Editor Version 5.00"}) {
    RegDocument doc = Parse(header +
                            "\n\n[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\n"
                            "\"config_filename\"=\"conf/inter_kelvane.conf\"\n"
                            "\"quoted \\\"name\\\"\"=\"C:\\\\x\\\\\\\"y\\\"\"\n"
                            "\"empty\"=\"\"\n");
    EXPECT_TRUE(doc.has_header);
    EXPECT_TRUE(doc.unreadable_lines.empty());
    EXPECT_EQ("conf/inter_kelvane.conf", Get(doc, kCfg, "config_filename"));
    EXPECT_EQ("C:\\x\\\"y\"", Get(doc, kCfg, "quoted \"name\""));
    EXPECT_EQ("", Get(doc, kCfg, "empty"));  // stored empty is not missing
    EXPECT_EQ("<none>", Get(doc, kCfg, "absent"));
    EXPECT_EQ("<none>", Get(doc, "Software\\Other", "config_filename"));
  }
}

TEST(RegFile, MatchesKeysAndNamesWithoutCaseAndTrailingBackslash) {
  std::string file =
      "REGEDIT4\n\n[hkey_local_machine\\SOFTWARE\\cobaltine\\VAULTRUN\\Cfg\\]\n"
      "\"Format_SQL\"=\"1\"\n";
  RegDocument doc = Parse(file);
  EXPECT_EQ("1", Get(doc, kCfg, "format_sql"));
  EXPECT_EQ("1", Get(doc, std::string(kCfg) + "\\", "FORMAT_SQL"));
  EXPECT_EQ(
      "1", FindValue(Parse("REGEDIT4\n[HKLM\\Software\\A]\n\"x\"=\"1\"\n"), kLm, "software\\a", "X")
               ->text);

  // A write keeps the spelling that the file has for the key and the name.
  std::string out = Set(file, kCfg, "format_sql", "0");
  EXPECT_EQ(
      "REGEDIT4\n\n[hkey_local_machine\\SOFTWARE\\cobaltine\\VAULTRUN\\Cfg\\]\n"
      "\"Format_SQL\"=\"0\"\n",
      out);
}

TEST(RegFile, LastDuplicateCountsAndIsTheOneReplaced) {
  std::string file =
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\A]\n\"v\"=\"first\"\n\n"
      "[HKEY_LOCAL_MACHINE\\Software\\B]\n\"v\"=\"other\"\n\n"
      "[HKEY_LOCAL_MACHINE\\software\\a]\n\"V\"=\"second\"\n\"w\"=\"1\"\n";
  RegDocument doc = Parse(file);
  EXPECT_EQ("second", Get(doc, "Software\\A", "v"));
  EXPECT_EQ("other", Get(doc, "Software\\B", "v"));
  std::string out = Set(file, "Software\\A", "v", "third");
  EXPECT_EQ(
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\A]\n\"v\"=\"first\"\n\n"
      "[HKEY_LOCAL_MACHINE\\Software\\B]\n\"v\"=\"other\"\n\n"
      "[HKEY_LOCAL_MACHINE\\software\\a]\n\"V\"=\"third\"\n\"w\"=\"1\"\n",
      out);
  // A new value of a key that has two sections goes to the later one.
  out = Set(file, "Software\\A", "n", "x");
  EXPECT_EQ(file + "\"n\"=\"x\"\n", out);
}

TEST(RegFile, OtherValueTypesReadAsMissing) {
  std::string file =
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\A]\n"
      "\"d\"=dword:00000001\n"
      "\"h\"=hex:01,02\n"
      "\"e\"=hex(2):25,00,54,00,\\\n"
      "  45,00,4d,00,\\\n"
      "  50,00,00,00\n"
      "\"after\"=\"ok\"\n"
      "\"gone\"=\"was\"\n"
      "\"gone\"=-\n"
      "@=\"default\"\n";
  RegDocument doc = Parse(file);
  EXPECT_TRUE(doc.unreadable_lines.empty());
  for (const char* name : {"d", "h", "e", "gone"})
    EXPECT_EQ("<none>", Get(doc, "Software\\A", name));
  EXPECT_EQ("ok", Get(doc, "Software\\A", "after"));
  EXPECT_EQ("default", Get(doc, "Software\\A", ""));

  // A string written over a multi-line value replaces all of its lines.
  std::string out = Set(file, "Software\\A", "E", "text");
  EXPECT_EQ(
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\A]\n"
      "\"d\"=dword:00000001\n"
      "\"h\"=hex:01,02\n"
      "\"e\"=\"text\"\n"
      "\"after\"=\"ok\"\n"
      "\"gone\"=\"was\"\n"
      "\"gone\"=-\n"
      "@=\"default\"\n",
      out);
}

// Found by fuzzing: a file that ends inside a multi-line value (its last
// line ends in a backslash) swallowed a value added to the same key.
TEST(RegFile, AValueAddedAfterAnUnfinishedMultiLineValueIsKept) {
  for (std::string end : {"", "\n", "\r\n"}) {
    std::string file = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\A]\n\"h\"=hex:01,\\" + end;
    RegDocument doc = Parse(file);
    EXPECT_TRUE(doc.ends_continued);
    std::string out = Set(file, "Software\\A", "n", "v");
    RegDocument again = Parse(out);
    EXPECT_EQ("v", Get(again, "Software\\A", "n")) << out;
    ASSERT_NE(nullptr, FindValue(again, kLm, "Software\\A", "h"));
    EXPECT_FALSE(FindValue(again, kLm, "Software\\A", "h")->is_string);
    EXPECT_TRUE(again.unreadable_lines.empty());
    // A new key after it, and a second value, too.
    EXPECT_EQ("w", Get(Parse(Set(out, "Software\\A", "m", "w")), "Software\\A", "m"));
    EXPECT_EQ("k", Get(Parse(Set(file, "Software\\B", "n", "k")), "Software\\B", "n"));
  }
  // A finished multi-line value gets no blank line.
  std::string done = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\A]\n\"h\"=hex:01,\\\n  02\n";
  EXPECT_FALSE(Parse(done).ends_continued);
  EXPECT_EQ(done + "\"n\"=\"v\"\n", Set(done, "Software\\A", "n", "v"));
}

// Found by fuzzing: a last line of a lone CR (blank, since a last line's
// CR is cut) became an unreadable line with a stray CR when a line was added.
TEST(RegFile, AddingAfterALastLineThatEndsInCrKeepsItBlank) {
  for (std::string file : {"REGEDIT4\r\n\r", "REGEDIT4\n\r",
                           "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\A]\n\"x\"=\"1\"\r"}) {
    for (const char* key : {"Software\\A", "Software\\B"}) {
      std::string out = Set(file, key, "n", "v");
      RegDocument again = Parse(out);
      EXPECT_TRUE(again.unreadable_lines.empty()) << out;
      EXPECT_EQ("v", Get(again, key, "n"));
      EXPECT_EQ(Get(Parse(file), "Software\\A", "x"), Get(again, "Software\\A", "x"));
    }
  }
}

TEST(RegFile, ReportsWhatItCannotRead) {
  RegDocument doc = Parse(
      "REGEDIT4\n"
      "\"outside\"=\"a key\"\n"               // 2: before any key
      "[HKEY_LOCAL_MACHINE\\Software\\A]\n"   // 3
      "; a comment\n"                         // 4
      "garbage\n"                             // 5
      "\"open\"=\"no end\n"                   // 6
      "\"x\"=\"1\" trailing\n"                // 7
      "\"y\"=unknown:1\n"                     // 8
      "\"z\"\"1\"\n"                          // 9
      "[HKEY_NOWHERE\\A]\n"                   // 10
      "\"lost\"=\"1\"\n"                      // 11: in an unreadable key
      "[-HKEY_LOCAL_MACHINE\\Software\\A]\n"  // 12: deletions are not applied
      "[HKEY_LOCAL_MACHINE\\Software\\A\n"    // 13
      "[HKEY_LOCAL_MACHINE\\Software\\A]\n"   // 14
      "\"good\"=\"yes\"\n");
  EXPECT_EQ((std::vector<size_t>{2, 5, 6, 7, 8, 9, 10, 11, 12, 13}), doc.unreadable_lines);
  EXPECT_EQ("yes", Get(doc, "Software\\A", "good"));
  EXPECT_EQ("<none>", Get(doc, "Software\\A", "open"));

  // Without a header nothing is read, and nothing is written over it.
  RegDocument other = Parse("[HKEY_LOCAL_MACHINE\\Software\\A]\n\"good\"=\"yes\"\n");
  EXPECT_FALSE(other.has_header);
  EXPECT_EQ(std::vector<size_t>{1}, other.unreadable_lines);
  EXPECT_EQ("<none>", Get(other, "Software\\A", "good"));
  EXPECT_FALSE(SetString(other, kLm, "Software\\A", "good", "no").has_value());
}

TEST(RegFile, WriteKeepsEverythingElseByteForByte) {
  std::string head =
      "\xEF\xBB\xBFREGEDIT4\n"
      "; keep this comment\n"
      "\n[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\n"
      "  \"spaced\" = \"odd but readable\"\t\n"
      "what is this line?\n"
      "\"config_filename\"=\"old\"\n";
  std::string tail =
      "\"format_sql\"=dword:1\n"
      "\n[HKEY_LOCAL_MACHINE\\Software\\Other]\n"
      "\"x\"=\"\xE9\xFF\"\n";
  std::string file = head + "\"config_filename\"=\"old\"\n" + tail;
  RegDocument doc = Parse(file);
  EXPECT_EQ(std::vector<size_t>{6}, doc.unreadable_lines);
  EXPECT_EQ("odd but readable", Get(doc, kCfg, "spaced"));
  EXPECT_EQ("\xE9\xFF", Get(doc, "Software\\Other", "x"));
  EXPECT_EQ(head + "\"config_filename\"=\"new \\\\ \\\"q\\\"\"\n" + tail,
            Set(file, kCfg, "config_filename", "new \\ \"q\""));
  EXPECT_EQ("new \\ \"q\"", Get(Parse(Set(file, kCfg, "config_filename", "new \\ \"q\"")), kCfg,
                                "config_filename"));

  // A new value goes after the key's last value line.
  EXPECT_EQ(head + "\"config_filename\"=\"old\"\n\"format_sql\"=dword:1\n\"new\"=\"v\"\n" +
                "\n[HKEY_LOCAL_MACHINE\\Software\\Other]\n\"x\"=\"\xE9\xFF\"\n",
            Set(file, kCfg, "new", "v"));
  // A new key goes at the end, after a blank line.
  EXPECT_EQ(file + "\n[HKEY_LOCAL_MACHINE\\Software\\New]\n\"n\"=\"1\"\n",
            Set(file, "Software\\New\\", "n", "1"));
  // Line breaks cannot be stored.
  EXPECT_FALSE(SetString(doc, kLm, kCfg, "n", "a\nb").has_value());
}

TEST(RegFile, WritesWithoutTrailingLineEndAndIntoEmptyInput) {
  EXPECT_EQ("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\A]\n\"v\"=\"1\"\n",
            Set("", "Software\\A", "v", "1"));
  EXPECT_EQ(
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\A]\n\"v\"=\"2\"",
      Set("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\A]\n\"v\"=\"1\"", "Software\\A", "v", "2"));
  EXPECT_EQ("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\A]\n\"w\"=\"2\"\n",
            Set("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\A]", "Software\\A", "w", "2"));
  EXPECT_EQ("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\A]\n\"w\"=\"2\"\n",
            Set("REGEDIT4", "Software\\A", "w", "2"));
}

TEST(RegFile, CrLfFilesReadTheSameAndKeepTheirLineEnds) {
  std::string file =
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\A]\r\n\"v\"=\"1\"\r\n\"w\"=\"2\"\r\n";
  RegDocument doc = Parse(file);
  EXPECT_EQ("\r\n", doc.newline);
  EXPECT_TRUE(doc.unreadable_lines.empty());
  EXPECT_EQ("1", Get(doc, "Software\\A", "v"));
  EXPECT_EQ("2", Get(doc, "Software\\A", "w"));
  EXPECT_EQ(
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\A]\r\n\"v\"=\"3\"\r\n\"w\"=\"2\"\r\n"
      "\"x\"=\"4\"\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\B]\r\n\"y\"=\"5\"\r\n",
      Set(Set(Set(file, "Software\\A", "v", "3"), "Software\\A", "x", "4"), "Software\\B", "y",
          "5"));
}

TEST(RegFile, Utf16FilesRoundTrip) {
  std::string text =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\A]\r\n"
      "\"name\"=\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\"\r\n";
  std::string file = "\xFF\xFE" + ToUtf16(text);
  RegDocument doc = Parse(file);
  EXPECT_EQ(Encoding::kUtf16Le, doc.encoding);
  EXPECT_EQ("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", Get(doc, "Software\\A", "name"));

  std::string out = Set(file, "Software\\A", "new", "\xC3\xBC");
  EXPECT_EQ("\xFF\xFE" + ToUtf16(text + "\"new\"=\"\xC3\xBC\"\r\n"), out);
  EXPECT_EQ("\xC3\xBC", Get(Parse(out), "Software\\A", "new"));

  // A lone surrogate and an odd last byte survive a write untouched.
  std::string odd = file;
  odd.insert(odd.size() - 6, std::string("\x00\xD8", 2));
  odd += 'Z';
  std::string rewritten = Set(odd, "Software\\A", "name", "x");
  EXPECT_EQ(odd, Set(rewritten, "Software\\A", "name",
                     "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\xED\xA0\x80"));

  // An empty UTF-16 file gets the Unicode header.
  EXPECT_EQ("\xFF\xFE" + ToUtf16("Windows Registry Editor Version 5.00\n\n"
                                 "[HKEY_LOCAL_MACHINE\\Software\\A]\n\"v\"=\"1\"\n"),
            Set("\xFF\xFE", "Software\\A", "v", "1"));
}

TEST(RegFile, AnyBytesParseAndLargeFilesStayLinear) {
  std::mt19937 rng(7);
  const std::string alphabet =
      std::string("[]\"\\=@:;-\r\n HKEY_LOCAL_MACHINEdwordhex(2)REGEDIT4\xFF\xFE") + '\0';
  for (int round = 0; round < 3000; ++round) {
    std::string bytes = round % 2 ? "REGEDIT4\n" : (round % 3 ? "\xFF\xFE" : "");
    size_t n = rng() % 200;
    for (size_t i = 0; i < n; ++i) {
      bytes.push_back(round % 5 == 0 ? static_cast<char>(rng())
                                     : alphabet[rng() % alphabet.size()]);
    }
    RegDocument doc = Parse(bytes);
    std::optional<std::string> out = SetString(doc, kLm, "Software\\A", "v", "value");
    if (out) {
      EXPECT_EQ("value", Get(Parse(*out), "Software\\A", "v")) << round;
    }
  }

  std::string big = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\A]\n";
  for (int i = 0; i < 100000; ++i) {
    big += "\"value" + std::to_string(i) + "\"=\"" + std::string(20, 'x') + "\"\n";
  }
  RegDocument doc = Parse(big);
  EXPECT_EQ(100000u, doc.keys[0].values.size());
  EXPECT_EQ(std::string(20, 'x'), Get(doc, "Software\\A", "VALUE99999"));
  std::string out = Set(big, "Software\\A", "value50000", "y");
  EXPECT_EQ(big.size() - 19, out.size());
  EXPECT_EQ("y", Get(Parse(out), "Software\\A", "value50000"));
}

}  // namespace
}  // namespace vaultrun::regfile
