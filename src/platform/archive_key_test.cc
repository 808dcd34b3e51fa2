// The archive key's file form and its life in a settings file store (the
// store of POSIX runs; under Wine the same code without the mode checks).
#include "platform/archive_key.h"

#include <gtest/gtest.h>

#include "platform/env.h"
#include "platform/settings_store.h"
#include "test_util.h"

namespace vaultrun {
namespace {

const std::string kKey(kArchiveKeyBytes, '\x5a');

TEST(ArchiveKeyTest, KeyFileFormatRoundTripsAndRefusesAnythingElse) {
  std::string text, key, error, id;
  ASSERT_TRUE(FormatKeyFile(kKey, &text).ok());
  ASSERT_TRUE(ArchiveKeyId(kKey, &id).ok());
  EXPECT_EQ(16u, id.size());
  std::string hex;
  for (size_t i = 0; i < kArchiveKeyBytes; ++i) hex += "5a";
  EXPECT_EQ("vaultrun archive key 1\nid " + id + "\nkey " + hex + "\n", text);
  ASSERT_TRUE(ParseKeyFile(text, &key, &error)) << error;
  EXPECT_EQ(kKey, key);
  EXPECT_FALSE(FormatKeyFile("short", &text).ok());

  ASSERT_TRUE(FormatKeyFile(kKey, &text).ok());
  std::string crlf = text;
  for (size_t at = crlf.find('\n'); at != std::string::npos; at = crlf.find('\n', at + 2)) {
    crlf.insert(at, "\r");
  }
  std::string other_id = text;
  other_id[27] = other_id[27] == '0' ? '1' : '0';
  std::string upper = text;
  upper.replace(upper.size() - 3, 1, "A");
  const struct {
    std::string text;
    bool good;
    const char* error;
  } kCases[] = {
      {crlf, true, ""},
      {text.substr(0, text.size() - 1), true, ""},  // no LF at the end
      {"", false, "not a Vaultrun key file"},
      {"vaultrun archive key 2\n" + text.substr(23), false, "not a Vaultrun key file"},
      {other_id, false, "its key does not give its id"},
      {upper, false, "line 3 is not"},
      {text.substr(0, text.size() - 3) + "\n", false, "line 3 is not"},
      {text + "more\n", false, "more than three lines"},
      {text.substr(0, 23), false, "line 2 is not"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    key.clear();
    error.clear();
    EXPECT_EQ(c.good, ParseKeyFile(c.text, &key, &error));
    EXPECT_EQ(c.good ? kKey : "", key);
    EXPECT_NE(std::string::npos, error.find(c.error)) << error;
  }
  EXPECT_EQ("/etc/cobaltine/vaultrun.key", KeyFileBeside("/etc/cobaltine/vaultrun.reg"));
  EXPECT_EQ("/x/settings.txt.key", KeyFileBeside("/x/settings.txt"));
  EXPECT_EQ("/x.reg/.reg.key", KeyFileBeside("/x.reg/.reg"));
}

// A first run makes the key beside the settings file; later runs and an
// export read the same key; a copy written for a restore reads back.
TEST(ArchiveKeyTest, MadeOnceBesideTheSettingsFileAndReadForExport) {
  test::TempDir dir;
  std::unique_ptr<Env> env = NewDefaultEnv();
  auto store = NewRegFileSettingsStore(env.get(), dir.Sub("etc/vaultrun.reg"));
  ArchiveKeyResult none = store->ReadArchiveKey();
  EXPECT_EQ(KeyOutcome::kNone, none.outcome);
  EXPECT_NE(std::string::npos, none.problem.find("none yet")) << none.problem;
  EXPECT_FALSE(env->Exists(dir.Sub("etc/vaultrun.key")));  // reading never makes one

  ArchiveKeyResult made = store->LoadOrCreateArchiveKey();
  ASSERT_TRUE(made.ready()) << made.problem;
  EXPECT_EQ(kArchiveKeyBytes, made.key.size());
  EXPECT_TRUE(env->Exists(dir.Sub("etc/vaultrun.key")));
  EXPECT_FALSE(env->Exists(dir.Sub("etc/vaultrun.reg")));  // no settings value was written
  ArchiveKeyResult again = store->LoadOrCreateArchiveKey();
  ArchiveKeyResult read = store->ReadArchiveKey();
  EXPECT_EQ(made.key, again.key);
  EXPECT_EQ(made.key, read.key);
  EXPECT_EQ(made.id, read.id);

  // The exported copy, as --key-file reads it on another machine.
  const std::string copy = dir.Sub("exported.key");
  ASSERT_TRUE(WriteKeyFile(env.get(), copy, read.key).ok());
  ArchiveKeyResult loaded;
  ASSERT_TRUE(ReadKeyFile(env.get(), copy, &loaded).ok());
  EXPECT_EQ(made.key, loaded.key);
  EXPECT_EQ(made.id, loaded.id);
  test::WriteFileOrDie(copy, "not a key\n");
  Status bad = ReadKeyFile(env.get(), copy, &loaded);
  EXPECT_NE(std::string::npos, bad.description().find(copy + ": not a Vaultrun key file"))
      << bad.description();
  EXPECT_FALSE(ReadKeyFile(env.get(), dir.Sub("missing.key"), &loaded).ok());

  // A damaged key is refused, never replaced by a new one.
  test::WriteFileOrDie(dir.Sub("etc/vaultrun.key"), "vaultrun archive key 1\ngarbage\n");
  ArchiveKeyResult damaged = store->LoadOrCreateArchiveKey();
  EXPECT_EQ(KeyOutcome::kRefused, damaged.outcome);
  EXPECT_NE(std::string::npos, damaged.problem.find("line 2 is not")) << damaged.problem;
  EXPECT_EQ("vaultrun archive key 1\ngarbage\n", test::ReadFileOrDie(dir.Sub("etc/vaultrun.key")));
}

}  // namespace
}  // namespace vaultrun
