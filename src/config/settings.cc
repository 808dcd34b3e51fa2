#include "config/settings.h"

#include <algorithm>
#include <charconv>
#include <functional>

#include "config/registry.h"
#include "core/failure.h"
#include "core/report.h"

namespace vaultrun {
namespace {

// Rules, one per kind of value; each reads a text into one field.

template <std::string RunSettings::*field>
std::string Text(std::string_view text, RunSettings& settings) {
  settings.*field = std::string(text);
  return "";
}

template <size_t index>
std::string KeyList(std::string_view text, RunSettings& settings) {
  settings.key_lists[index] = std::string(text);
  return "";
}

template <bool RunSettings::*field>
std::string Flag(std::string_view text, RunSettings& settings) {
  if (text != "0" && text != "1") return "is not 0 or 1";
  settings.*field = text == "1";
  return "";
}

// A whole number of decimal digits from 0 to max.
template <int32_t RunSettings::*field, int32_t max = 2147483647>
std::string Count(std::string_view text, RunSettings& settings) {
  int32_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || text.front() == '-' || ec != std::errc() ||
      end != text.data() + text.size() || value > max) {
    return "is not a whole number from 0 to " + std::to_string(max);
  }
  settings.*field = value;
  return "";
}

// A whole number of seconds from 1 on.
template <int32_t RunSettings::*field>
std::string Seconds(std::string_view text, RunSettings& settings) {
  if (!Count<field>(text, settings).empty() || settings.*field == 0) {
    return "is not a whole number of seconds from 1 to 2147483647";
  }
  return "";
}

// Like keep_runs; unset, keep_runs' own value (read before it).
std::string OffsiteKeepRuns(std::string_view text, RunSettings& settings) {
  if (text.empty()) {
    settings.offsite_keep_runs = settings.keep_runs;
    return "";
  }
  return Count<&RunSettings::offsite_keep_runs>(text, settings);
}

std::string KeepRunsText(const RunSettings& settings) { return std::to_string(settings.keep_runs); }

// Any text; exactly "0" names the columns, and only "0" and "1" say which
// of the two the user meant.
std::string FormatInsert(std::string_view text, RunSettings& settings) {
  settings.format_insert = std::string(text);
  return text == "0" || text == "1" ? "" : "is not 0 or 1";
}

// The lenient number reading of the original program (FormatSqlNumber):
// a text that does not begin with a number is 0; a number out of range
// raises. 0 and 1 are the two forms that restore.
std::string FormatSql(std::string_view text, RunSettings& settings) {
  settings.format_sql = FormatSqlNumber(std::string(text));
  if (settings.format_sql == 0 || settings.format_sql == 1) return "";
  return "reads as " + std::to_string(settings.format_sql) +
         ": the .sql files then hold the rows' values without INSERT statements, a reduced "
         "form that cannot be restored; use 0 or 1";
}

const std::vector<SettingKey> kKeys = {
    {"config_filename", "conf/inter_kelvane.conf", Text<&RunSettings::config_filename>,
     BadValue::kWarn, nullptr, true},
    {"field_ip", "mysql_server_ip,login_server_ip", KeyList<0>, BadValue::kWarn, nullptr, true},
    {"field_database", "mysql_char_db,login_server_db", KeyList<1>, BadValue::kWarn, nullptr, true},
    {"field_username", "mysql_server_id,login_server_id", KeyList<2>, BadValue::kWarn, nullptr,
     true},
    {"field_password", "mysql_server_pw,login_server_pw", KeyList<3>, BadValue::kWarn, nullptr,
     true},
    {"format_sql", "0", FormatSql, BadValue::kKeep},
    {"format_insert", "0", FormatInsert, BadValue::kWarn, "1"},
    {"consistent_snapshot", "1", Flag<&RunSettings::consistent_snapshot>},
    {"lock_tables", "0", Flag<&RunSettings::lock_tables>},
    // Checked before the first table, so that a bad value never ends a run
    // whose archive already says it is whole.
    {"keep_runs", "0", Count<&RunSettings::keep_runs>, BadValue::kFail},
    {"warn_low_space", "0", Flag<&RunSettings::warn_low_space>},
    {"store_definitions", "1", Flag<&RunSettings::store_definitions>},
    {"log_success", "0", Flag<&RunSettings::log_success>},
    {"run_lock_wait", "300", Count<&RunSettings::run_lock_wait, 99999>},
    // Off-site copies; read after keep_runs, whose value offsite_keep_runs
    // takes when unset.
    {"offsite_remote", "", Text<&RunSettings::offsite_remote>},
    {"offsite_keep_runs", "", OffsiteKeepRuns, BadValue::kWarn, nullptr, false, KeepRunsText},
    {"rclone_path", "", Text<&RunSettings::rclone_path>},
    {"rclone_config", "", Text<&RunSettings::rclone_config>},
    {"offsite_timeout", "3600", Seconds<&RunSettings::offsite_timeout>},
};

std::string Describe(const SettingKey& key, const std::string& text) {
  return "setting " + std::string(key.name) + " \"" + text + "\"";
}

// Applies one key's rule; a failure it raises names the key.
std::string Apply(const SettingKey& key, const std::string& text, RunSettings& settings) {
  try {
    return key.rule(text, settings);
  } catch (const Failure& failure) {
    throw Failure(failure.number(), Describe(key, text) + ": " + failure.description());
  }
}

// Reads the keys that wanted picks; seed: the seeded keys store their
// default when empty. Each warning's text goes to warn.
RunSettings ReadKeys(Process& process, const std::function<bool(const SettingKey&)>& wanted,
                     bool seed, const std::function<void(const std::string&)>& warn) {
  if (process.settings != nullptr) {
    Status readable = process.settings->CheckFormat();
    if (!readable.ok()) throw Failure(kErrSetting, readable.description());
  }
  RunSettings settings;
  for (const SettingKey& key : kKeys) {
    if (!wanted(key)) continue;
    std::string default_text = key.default_text;
    for (char& c : default_text) {
      if (c == '/') c = process.env->Separator();
    }
    std::string text = key.seeded && seed
                           ? SeededRead(process, kSettingsKey, key.name, default_text, true)
                           : ReadRegString(process, kSettingsKey, key.name, "");
    if (text.empty()) text = default_text;
    std::string problem = Apply(key, text, settings);
    if (problem.empty()) continue;
    switch (key.bad) {
      case BadValue::kFail:
        throw Failure(kErrSetting, Describe(key, text) + " " + problem);
      case BadValue::kKeep:
        warn(Describe(key, text) + " " + problem);
        break;
      case BadValue::kWarn: {
        const std::string used = key.fallback_from != nullptr ? key.fallback_from(settings)
                                 : key.fallback != nullptr    ? key.fallback
                                                              : default_text;
        warn(Describe(key, text) + " " + problem + "; " + used + " is used instead");
        Apply(key, used, settings);
        break;
      }
    }
  }
  return settings;
}

}  // namespace

const std::vector<SettingKey>& SettingKeys() { return kKeys; }

RunSettings ReadRunSettings(Process& process) {
  return ReadKeys(
      process, [](const SettingKey&) { return true; }, true,
      [&process](const std::string& warning) {
        WriteEventLogEntry(process, "Vaultrun: " + warning, kEventWarning);
      });
}

RunSettings ReadSomeSettings(Process& process, const std::vector<std::string_view>& names,
                             std::vector<std::string>* warnings) {
  return ReadKeys(
      process,
      [&names](const SettingKey& key) {
        return std::find(names.begin(), names.end(), key.name) != names.end();
      },
      false, [warnings](const std::string& warning) { warnings->push_back(warning); });
}

}  // namespace vaultrun
