// The row formatter alone: WriteDataFile over result sets held in memory,
// no server and no file, the text handed to a consumer that only counts it.
// A game-like mix of tables: wide integer rows, a chat log (dates, short
// strings, an apostrophe now and then), a market (decimals, dates with
// fractions, nulls, text with escapes) and blobs (binary, hex).
//   format_rows [ROWS_PER_TABLE] [ROUNDS] [FORMAT_SQL]
// Prints MB/s of text written per table and for the mix (median of rounds).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "db/access.h"
#include "run/data_file.h"

namespace {

using namespace vaultrun;

// Rows generated once; each round reads them through a fresh result set.
struct TableData {
  std::string name;
  std::vector<std::pair<std::string, int32_t>> columns;
  std::vector<std::string> cells;  // row after row
  std::vector<bool> nulls;
  size_t rows = 0;
};

class MemoryRecordset : public db::Recordset {
 public:
  explicit MemoryRecordset(const TableData& data) : data_(data) {
    for (const auto& [name, type] : data.columns) fields_.Add(this, name, type);
    values_.resize(data.columns.size());
    lengths_.resize(data.columns.size());
    Load();
  }
  bool Eof() const override { return row_ >= data_.rows; }
  void MoveNext() override {
    ++row_;
    Load();
  }
  const db::Fields& GetFields() const override { return fields_; }
  int State() const override { return open_ ? db::adStateOpen : db::adStateClosed; }
  void Close() override { open_ = false; }
  db::Value ValueAt(int index) const override { return CurrentRow()[index]; }
  db::RowData CurrentRow() const override { return {values_.data(), lengths_.data()}; }

 private:
  void Load() {
    if (Eof()) return;
    const size_t count = values_.size();
    for (size_t j = 0; j < count; ++j) {
      const size_t at = row_ * count + j;
      values_[j] = data_.nulls[at] ? nullptr : data_.cells[at].data();
      lengths_[j] = static_cast<unsigned long>(data_.cells[at].size());
    }
  }

  const TableData& data_;
  db::Fields fields_;
  size_t row_ = 0;
  bool open_ = true;
  std::vector<const char*> values_;
  std::vector<unsigned long> lengths_;
};

std::string Date(std::mt19937& rng, bool time, int fraction) {
  char buf[64];
  auto u = [&rng](unsigned n) { return static_cast<unsigned>(rng() % n); };
  int n = std::snprintf(buf, sizeof buf, "%04u-%02u-%02u", 2020 + u(7), 1 + u(12), 1 + u(28));
  if (time) n += std::snprintf(buf + n, sizeof buf - n, " %02u:%02u:%02u", u(24), u(60), u(60));
  std::string s(buf, static_cast<size_t>(n));
  if (fraction > 0) s += "." + std::to_string(100000 + rng() % 900000).substr(0, fraction);
  return s;
}

std::string Words(std::mt19937& rng, size_t n) {
  static const char* kWords[] = {"selling", "+7",   "sword", "for",  "k,",   "pm",       "me!",
                                 "it's",    "a",    "good",  "deal", "@",    "prontera", "WTB",
                                 "card",    "\\o/", "lol",   "gg",   "party"};
  std::string s;
  while (s.size() < n) s += std::string(kWords[rng() % 19]) + " ";
  s.resize(n);
  return s;
}

std::vector<TableData> MakeTables(size_t rows) {
  std::mt19937 rng(24);
  std::vector<TableData> tables(4);
  TableData& items = tables[0];
  items.name = "inventory";
  for (const char* c : {"id", "char_id", "nameid", "amount", "equip", "identify", "refine",
                        "attribute", "card0", "card1", "card2", "card3", "expire", "unique_id"}) {
    items.columns.push_back({c, db::adUnsignedInt});
  }
  TableData& chat = tables[1];
  chat.name = "chatlog";
  chat.columns = {{"id", db::adBigInt},       {"time", db::adDBTimeStamp},
                  {"type", db::adChar},       {"src_charid", db::adInteger},
                  {"src_map", db::adVarChar}, {"dst_charname", db::adVarChar},
                  {"message", db::adVarChar}};
  TableData& market = tables[2];
  market.name = "market";
  market.columns = {{"id", db::adInteger},     {"price", db::adNumeric},
                    {"listed", db::adDBDate},  {"expires", db::adDBTimeStamp},
                    {"seller", db::adVarChar}, {"note", db::adLongVarChar},
                    {"rate", db::adDouble}};
  TableData& blobs = tables[3];
  blobs.name = "guild_emblems";
  blobs.columns = {{"guild_id", db::adUnsignedInt},
                   {"emblem_len", db::adUnsignedInt},
                   {"emblem_data", db::adLongVarBinary},
                   {"salt", db::adVarBinary}};
  for (TableData& t : tables) {
    t.rows = t.name == "guild_emblems" ? rows / 100 : rows;
    for (size_t r = 0; r < t.rows; ++r) {
      std::vector<std::string> row;
      std::vector<bool> nulls(t.columns.size(), false);
      if (t.name == "inventory") {
        for (size_t j = 0; j < t.columns.size(); ++j) {
          uint64_t v = j == 0 ? r + 1 : j == 13 ? 1000000000000 + r : rng() % (j < 4 ? 30000 : 12);
          row.push_back(std::to_string(v));
        }
      } else if (t.name == "chatlog") {
        row = {std::to_string(r + 1),
               Date(rng, true, 0),
               std::string(1, "OWPGM"[rng() % 5]),
               std::to_string(rng() % 150000),
               "prontera",
               "Hero " + std::to_string(rng() % 1000),
               Words(rng, 20 + rng() % 100)};
      } else if (t.name == "market") {
        std::string note = Words(rng, rng() % 60);
        if (rng() % 10 == 0) note += "\r\nC:\\items\\list";
        row = {std::to_string(r + 1),
               std::to_string(rng() % 100000) + "." + std::to_string(10 + rng() % 90),
               Date(rng, false, 0),
               Date(rng, true, 3),
               "seller" + std::to_string(rng() % 5000),
               note,
               std::to_string(rng() % 1000) + ".125"};
        nulls[4] = rng() % 7 == 0;
      } else {
        std::string data(1024 + rng() % 3072, '\0');
        for (char& c : data) c = static_cast<char>(rng());
        std::string salt(16, '\0');
        for (char& c : salt) c = static_cast<char>(rng());
        row = {std::to_string(r + 1), std::to_string(data.size()), data, salt};
      }
      for (size_t j = 0; j < row.size(); ++j) {
        t.cells.push_back(std::move(row[j]));
        t.nulls.push_back(nulls[j]);
      }
    }
  }
  return tables;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t rows = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  const int32_t format_sql = argc > 3 ? std::atoi(argv[3]) : 1;
  std::unique_ptr<Env> env = NewDefaultEnv();
  Process process;
  process.env = env.get();
  const std::vector<TableData> tables = MakeTables(rows);

  std::printf("%-16s %10s %12s %10s\n", "table", "rows", "text MB", "MB/s");
  std::vector<double> all_seconds(rounds, 0.0);
  double all_mb = 0;
  for (const TableData& t : tables) {
    std::vector<double> seconds;
    size_t bytes = 0;
    for (int r = 0; r < rounds; ++r) {
      RunRecordsets sets;
      sets.TableResult = std::make_unique<MemoryRecordset>(t);
      DataQuery query;
      query.aliased.assign(t.columns.size(), false);
      bytes = 0;
      auto start = std::chrono::steady_clock::now();
      WriteDataFile(process, t.name, "", sets, format_sql, "0", query,
                    [&bytes](std::unique_ptr<ByteBuffer>* block) { bytes += (*block)->size(); });
      seconds.push_back(
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
      all_seconds[r] += seconds.back();
    }
    std::sort(seconds.begin(), seconds.end());
    const double mb = static_cast<double>(bytes) / 1e6;
    all_mb += mb;
    std::printf("%-16s %10zu %12.1f %10.0f\n", t.name.c_str(), t.rows, mb,
                mb / seconds[seconds.size() / 2]);
  }
  std::sort(all_seconds.begin(), all_seconds.end());
  std::printf("%-16s %10s %12.1f %10.0f   (median of %d rounds)\n", "mix", "", all_mb,
              all_mb / all_seconds[all_seconds.size() / 2], rounds);
  return 0;
}
