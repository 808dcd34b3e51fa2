#include "config/settings.h"

#include <gtest/gtest.h>

#include "core/failure.h"
#include "fakes.h"
#include "test_util.h"

namespace vaultrun {
namespace {

// Each key's default is a value its own rule accepts; a value a key refuses
// is named in one warning with what is used instead, and the run goes on.
TEST(RunSettingsTest, RefusedValuesAreNamedWithWhatIsUsed) {
  for (const SettingKey& key : SettingKeys()) {
    RunSettings settings;
    EXPECT_EQ("", key.rule(key.default_text, settings)) << key.name;
  }
  struct Row {
    const char* value;
    const char* warning;  // "" when the value is accepted
  } rows[] = {
      {"\"lock_tables\"=\"yes\"", "setting lock_tables \"yes\" is not 0 or 1; 0 is used instead"},
      {"\"consistent_snapshot\"=\"off\"",
       "setting consistent_snapshot \"off\" is not 0 or 1; 1 is used instead"},
      {"\"format_insert\"=\"no\"", "setting format_insert \"no\" is not 0 or 1; 1 is used instead"},
      {"\"format_sql\"=\"2x\"", "setting format_sql \"2x\" reads as 2: the .sql files then hold"},
      {"\"run_lock_wait\"=\"100000\"",
       "setting run_lock_wait \"100000\" is not a whole number from 0 to 99999; 300 is used"},
      {"\"offsite_timeout\"=\"0\"",
       "setting offsite_timeout \"0\" is not a whole number of seconds from 1 to 2147483647; "
       "3600 is used instead"},
      // Unset or refused, offsite_keep_runs takes keep_runs' value.
      {"\"keep_runs\"=\"4\"\n\"offsite_keep_runs\"=\"3 runs\"",
       "setting offsite_keep_runs \"3 runs\" is not a whole number from 0 to 2147483647; 4 is "
       "used instead"},
      {"\"keep_runs\"=\"7\"\n\"log_success\"=\"1\"\n\"format_sql\"=\"&H1\"", ""},
  };
  test::TempDir dir;
  std::unique_ptr<Env> env = NewDefaultEnv();
  std::unique_ptr<SettingsStore> store = NewRegFileSettingsStore(env.get(), dir.Sub("v.reg"));
  for (const Row& row : rows) {
    test::WriteFileOrDie(dir.Sub("v.reg"),
                         "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\n" +
                             std::string(row.value) + "\n");
    test::RecordingEventLog log;
    Process process;
    process.env = env.get();
    process.settings = store.get();
    process.event_log = &log;
    RunSettings settings = ReadRunSettings(process);
    if (*row.warning == '\0') {
      EXPECT_TRUE(log.entries.empty()) << row.value;
      EXPECT_EQ(7, settings.keep_runs);
      EXPECT_EQ(7, settings.offsite_keep_runs);
      EXPECT_TRUE(settings.log_success);
      EXPECT_EQ(1, settings.format_sql);
      continue;
    }
    ASSERT_EQ(1u, log.entries.size()) << row.value;
    EXPECT_EQ(kEventWarning, log.entries[0].type);
    EXPECT_EQ(0u, log.entries[0].text.find(std::string("Vaultrun: ") + row.warning))
        << log.entries[0].text;
    EXPECT_FALSE(settings.lock_tables);
    EXPECT_TRUE(settings.consistent_snapshot);
    EXPECT_EQ(3600, settings.offsite_timeout);
    EXPECT_EQ(settings.keep_runs, settings.offsite_keep_runs);
    EXPECT_FALSE(process.Failed);
  }

  // A program that runs no backup (a restore fetching from a remote) reads
  // only the keys it names, seeds none, and gets the warnings as texts.
  const std::string text =
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\n"
      "\"offsite_timeout\"=\"soon\"\n\"lock_tables\"=\"yes\"\n\"rclone_config\"=\"/etc/r.conf\"\n";
  test::WriteFileOrDie(dir.Sub("v.reg"), text);
  Process process;
  process.env = env.get();
  process.settings = store.get();
  std::vector<std::string> warnings;
  RunSettings some = ReadSomeSettings(process, {"rclone_config", "offsite_timeout"}, &warnings);
  EXPECT_EQ("/etc/r.conf", some.rclone_config);
  EXPECT_EQ(3600, some.offsite_timeout);
  EXPECT_EQ((std::vector<std::string>{"setting offsite_timeout \"soon\" is not a whole number of "
                                      "seconds from 1 to 2147483647; 3600 is used instead"}),
            warnings);
  EXPECT_EQ(text, test::ReadFileOrDie(dir.Sub("v.reg")));
}

}  // namespace
}  // namespace vaultrun
