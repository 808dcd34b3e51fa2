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
    EXPECT_FALSE(process.Failed);
  }
}

}  // namespace
}  // namespace vaultrun
