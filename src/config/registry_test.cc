#include "config/registry.h"

#include <gtest/gtest.h>

#include "core/failure.h"
#include "db/access.h"
#include "fakes.h"
#include "test_util.h"

namespace vaultrun {
namespace {

class SeededReadTest : public ::testing::Test {
 protected:
  SeededReadTest() {
    process_.env = env_.get();
    process_.event_log = &log_;
    process_.settings = settings_.get();
  }
  void WriteSettings(const std::string& values) {
    test::WriteFileOrDie(
        path_, "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\n" + values);
  }
  std::string Stored(const std::string& name) {
    return settings_->ReadRegString(kHkeyLocalMachine, kSettingsKey, name, "<none>");
  }

  test::TempDir dir_;
  std::string path_ = dir_.Sub("vaultrun.reg");
  std::unique_ptr<Env> env_ = NewDefaultEnv();
  test::RecordingEventLog log_;
  std::unique_ptr<SettingsStore> settings_ = NewRegFileSettingsStore(env_.get(), path_);
  Process process_;
};

TEST_F(SeededReadTest, EmptyResultsAreReplacedByTheDefaultAndStored) {
  WriteSettings("\"spaces\"=\"   \"\n\"typed\"=dword:00000001\n\"empty\"=\"\"\n");
  EXPECT_EQ("dflt1", SeededRead(process_, kSettingsKey, "missing", "dflt1", true));
  EXPECT_EQ("dflt2", SeededRead(process_, kSettingsKey, "spaces", "dflt2", true));
  EXPECT_EQ("dflt3", SeededRead(process_, kSettingsKey, "typed", "dflt3", false));
  EXPECT_EQ("dflt4", SeededRead(process_, kSettingsKey, "empty", "dflt4", false));
  EXPECT_EQ("dflt1", Stored("missing"));
  EXPECT_EQ("dflt2", Stored("spaces"));
  EXPECT_EQ("dflt3", Stored("typed"));
  EXPECT_EQ("dflt4", Stored("empty"));
  EXPECT_TRUE(log_.entries.empty());
}

TEST_F(SeededReadTest, PresentValuesAreReturnedAndNeverRewritten) {
  WriteSettings("\"padded\"=\"  a b  \"\n\"tabs\"=\"\\t\"\n\"spaces\"=\"   \"\n");
  // The file holds a literal backslash-t, not a tab; put a real tab in.
  std::string file = test::ReadFileOrDie(path_);
  file.replace(file.find("\\t"), 2, "\t");
  test::WriteFileOrDie(path_, file);

  EXPECT_EQ("a b", SeededRead(process_, kSettingsKey, "padded", "d", true));
  EXPECT_EQ("  a b  ", SeededRead(process_, kSettingsKey, "PADDED", "d", false));
  EXPECT_EQ("\t", SeededRead(process_, kSettingsKey, "tabs", "d", true));  // tabs stay
  EXPECT_EQ("   ", SeededRead(process_, kSettingsKey, "spaces", "d", false));
  EXPECT_EQ(file, test::ReadFileOrDie(path_));
}

TEST_F(SeededReadTest, AFailedStoreIsIgnored) {
  test::WriteFileOrDie(dir_.Sub("plain"), "x");
  auto unwritable = NewRegFileSettingsStore(env_.get(), dir_.Sub("plain/vaultrun.reg"));
  process_.settings = unwritable.get();
  EXPECT_EQ("dflt", SeededRead(process_, kSettingsKey, "name", "dflt", true));
  process_.settings = nullptr;
  EXPECT_EQ("dflt", SeededRead(process_, kSettingsKey, "name", "dflt", true));
  EXPECT_TRUE(log_.entries.empty());
}

void ExpectOverflow(const std::string& text) {
  try {
    FormatSqlNumber(text);
    ADD_FAILURE() << "no overflow for \"" << text << "\"";
  } catch (const Failure& f) {
    EXPECT_EQ(kErrOverflow, f.number()) << text;
    EXPECT_EQ("Overflow", f.description()) << text;
  }
}

TEST(FormatSqlNumber, DecimalNumbersLikeVal) {
  EXPECT_EQ(1, FormatSqlNumber("1"));
  EXPECT_EQ(1, FormatSqlNumber(" 1 "));
  EXPECT_EQ(1, FormatSqlNumber("\t1\n"));
  EXPECT_EQ(12, FormatSqlNumber("1 2"));  // blanks are ignored anywhere
  EXPECT_EQ(-12, FormatSqlNumber(" - 1\t2"));
  EXPECT_EQ(1, FormatSqlNumber("1abc"));
  EXPECT_EQ(1, FormatSqlNumber("1\r2"));  // a CR is not a blank
  EXPECT_EQ(0, FormatSqlNumber("abc"));
  EXPECT_EQ(0, FormatSqlNumber(""));
  EXPECT_EQ(0, FormatSqlNumber("-"));
  EXPECT_EQ(0, FormatSqlNumber("--1"));
  EXPECT_EQ(0, FormatSqlNumber("."));
  EXPECT_EQ(5, FormatSqlNumber("+5"));
  EXPECT_EQ(1, FormatSqlNumber("1.2.3"));
  EXPECT_EQ(10, FormatSqlNumber("1e1"));
  EXPECT_EQ(10, FormatSqlNumber("1E+1e5"));
  EXPECT_EQ(100, FormatSqlNumber("1d2"));
  EXPECT_EQ(1, FormatSqlNumber("1e"));
  EXPECT_EQ(1, FormatSqlNumber("1e+x"));
  EXPECT_EQ(0, FormatSqlNumber("1e-5"));
  EXPECT_EQ(123, FormatSqlNumber("0000000000000000000000000123"));
  EXPECT_EQ(0, FormatSqlNumber("0e999999999999999999999"));
  EXPECT_EQ(0, FormatSqlNumber("1e-999999999999999999999"));
}

TEST(FormatSqlNumber, FractionsRoundHalfToEven) {
  EXPECT_EQ(2, FormatSqlNumber("2.5"));
  EXPECT_EQ(4, FormatSqlNumber("3.5"));
  EXPECT_EQ(-2, FormatSqlNumber("-2.5"));
  EXPECT_EQ(0, FormatSqlNumber("-0.5"));
  EXPECT_EQ(0, FormatSqlNumber("0.5"));
  EXPECT_EQ(1, FormatSqlNumber(".51"));
  EXPECT_EQ(3, FormatSqlNumber("2.6"));
  EXPECT_EQ(2, FormatSqlNumber("25e-1"));
}

TEST(FormatSqlNumber, HexAndOctal) {
  EXPECT_EQ(16, FormatSqlNumber("&H10"));
  EXPECT_EQ(16, FormatSqlNumber("&h1 0"));
  EXPECT_EQ(15, FormatSqlNumber("&O17"));
  EXPECT_EQ(15, FormatSqlNumber("&o17"));
  EXPECT_EQ(15, FormatSqlNumber("&17"));
  EXPECT_EQ(7, FormatSqlNumber("&78"));
  EXPECT_EQ(255, FormatSqlNumber("&HFFx"));
  EXPECT_EQ(0, FormatSqlNumber("&H"));
  EXPECT_EQ(0, FormatSqlNumber("&"));
  EXPECT_EQ(0, FormatSqlNumber("&Z1"));
  EXPECT_EQ(-1, FormatSqlNumber("&HFFFF"));  // 16 bits: an Integer
  EXPECT_EQ(-32768, FormatSqlNumber("&H8000"));
  EXPECT_EQ(32767, FormatSqlNumber("&H7FFF"));
  EXPECT_EQ(65536, FormatSqlNumber("&H10000"));
  EXPECT_EQ(-1, FormatSqlNumber("&HFFFFFFFF"));  // 32 bits: a Long
  EXPECT_EQ(-1, FormatSqlNumber("&O177777"));
  ExpectOverflow("&H100000000");
  ExpectOverflow("&O77777777777777777777777777");
}

TEST(FormatSqlNumber, OutOfRangeOverflows) {
  EXPECT_EQ(2147483647, FormatSqlNumber("2147483647"));
  EXPECT_EQ(-2147483647 - 1, FormatSqlNumber("-2147483648"));
  EXPECT_EQ(2147483647, FormatSqlNumber("2147483647.4"));
  ExpectOverflow("2147483648");
  ExpectOverflow("2147483647.5");
  ExpectOverflow("-2147483649");
  ExpectOverflow("1e10");
  ExpectOverflow("1e999999999999999999999999");
  ExpectOverflow(std::string(100000, '9'));
  ExpectOverflow("0." + std::string(50, '0') + "1e999");
}

}  // namespace
}  // namespace vaultrun
