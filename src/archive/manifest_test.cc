#include "archive/manifest.h"

#include <gtest/gtest.h>

#include "test_util.h"

namespace vaultrun {
namespace {

Sha256Digest Digest(uint8_t first) {
  Sha256Digest digest{};
  digest[0] = first;
  digest[31] = 0xab;
  return digest;
}

TEST(Manifest, BuildsAndReadsBack) {
  const std::vector<ManifestEntry> entries = {
      {"game/accounts.sql", 120, 4000, Digest(1), 4},
      {"game/two\nlines%.csv", 20, 0, Digest(2), 0},
      {"vaultrun-definitions.txt", 300, 900, Digest(3), std::nullopt},
  };
  const std::string text = BuildManifest(entries);
  EXPECT_EQ(0u, text.find("vaultrun manifest 1\nentry 01000000000000000000000000000000"
                          "000000000000000000000000000000ab 120 4000 4 game/accounts.sql\n"));
  EXPECT_NE(std::string::npos, text.find(" 20 0 0 game/two%0Alines%25.csv\n"));
  EXPECT_NE(std::string::npos, text.find(" 300 900 - vaultrun-definitions.txt\nend\n"));
  std::string error;
  auto parsed = ParseManifest(text, &error);
  ASSERT_TRUE(parsed) << error;
  EXPECT_EQ(entries, *parsed);
}

TEST(Manifest, AnythingNotExactlyAManifestIsRefused) {
  const std::string sha(64, 'a');
  const std::string head = "vaultrun manifest 1\n";
  for (const std::string& text : std::vector<std::string>{
           "", "vaultrun manifest 2\nend\n",
           head,                                             // no end
           head + "end\nentry " + sha + " 1 1 1 d/t.sql\n",  // after the end
           head + "entry " + sha + " 1 1 - d/t.sql\nend\n",  // a table without rows
           head + "entry " + sha + " 1 1 5 vaultrun-definitions.txt\nend\n",  // rows of no table
           head + "entry " + sha + " 1 1 1 d/t.sql\nentry " + sha + " 1 1 1 d/t.sql\nend\n",
           head + "entry " + std::string(64, 'A') + " 1 1 1 d/t.sql\nend\n",
           head + "entry " + sha + " 01 1 1 d/t.sql\nend\n",
           head + "entry " + sha + " 1 1 1 d/t%0.sql\nend\n",
           head + "entry " + sha + " 1 1 1 d/t%41.sql\nend\n",  // "A" needs no %
           head + "entry " + sha + " 1 1 1 d/t%0a.sql\nend\n",  // upper case only
           head + "entry " + sha + " 1 1 1 d/t\t.sql\nend\n",
           head + "entry " + sha + " 1 1 - vaultrun-manifest.txt\nend\n",
           head + "entry " + sha + " 1 1 1 d/t.sql\nend",  // cut short
       }) {
    std::string error;
    EXPECT_FALSE(ParseManifest(text, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

// The tag covers every line of the mark and the manifest's SHA-256, which
// the tag line states, and only the same key gives it again; the mark keeps
// its shape with the tag line before its last line.
TEST(Manifest, TheTagCoversTheMarkAndTheManifest) {
  const ArchiveKeyResult key = test::FixedArchiveKey('k');
  const std::string manifest = BuildManifest({{"game/t.sql", 10, 20, Digest(1), 2}});
  CompletenessMark mark{
      "0.1.0", "20261207043000", "game", {{"t", 2}, {"tag x", 1}}, 0, "+00:00"};
  const std::string untagged = BuildCompletenessMark(mark);
  ASSERT_TRUE(TagMark(key, manifest, &mark).ok());
  Sha256Digest digest{};
  ASSERT_TRUE(Sha256Of(manifest, &digest).ok());
  EXPECT_EQ(LowerHex(digest), mark.tag_manifest);
  const std::string text = BuildCompletenessMark(mark);
  EXPECT_EQ(untagged.substr(0, untagged.size() - 23) + "tag " + key.id + " " + mark.tag_manifest +
                " " + mark.tag + "\nVaultrun: run complete\n",
            text);
  EXPECT_EQ(untagged, UntaggedMark(text));
  auto parsed = ParseCompletenessMark(text);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(key.id, parsed->tag_key_id);
  EXPECT_EQ(mark.tag_manifest, parsed->tag_manifest);
  EXPECT_EQ(mark.tag, parsed->tag);
  EXPECT_EQ(mark.tables, parsed->tables);  // "tag x" is a table: its line holds a TAB
  EXPECT_EQ("", CheckMarkTag(text, *parsed, &key));

  const ArchiveKeyResult other = test::FixedArchiveKey('o');
  EXPECT_EQ("it is signed with archive key " + key.id + ", not with the one held here (" +
                other.id + ")",
            CheckMarkTag(text, *parsed, &other));
  EXPECT_EQ("it is signed with archive key " + key.id + ", and no archive key is held here",
            CheckMarkTag(text, *parsed, nullptr));
  std::string changed_mark = text, changed_manifest = text, malformed = text;
  changed_mark.replace(changed_mark.find("t\t2"), 3, "t\t3");
  changed_manifest[changed_manifest.find(mark.tag_manifest)] ^= 1;
  malformed.insert(malformed.find(mark.tag), "x ");
  for (const std::string& forged : {changed_mark, changed_manifest}) {
    parsed = ParseCompletenessMark(forged);
    ASSERT_TRUE(parsed) << forged;
    EXPECT_EQ("its tag does not verify with archive key " + key.id +
                  ": its mark was changed after its run",
              CheckMarkTag(forged, *parsed, &key));
  }
  parsed = ParseCompletenessMark(malformed);
  ASSERT_TRUE(parsed);
  EXPECT_EQ("its mark's tag line is malformed", CheckMarkTag(malformed, *parsed, &key));
}

}  // namespace
}  // namespace vaultrun
