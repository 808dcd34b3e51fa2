// The floor of a backup's time: a plain "select *" of every table of a
// database through the access layer, every row fetched, nothing written.
//   fetch_only SERVER DATABASE USER PASSWORD
#include <cstdio>
#include <string>
#include <vector>

#include "db/access.h"
#include "db/session.h"
#include "run/export_query.h"

int main(int argc, char** argv) {
  using namespace vaultrun;
  if (argc != 5) {
    std::fprintf(stderr, "usage: fetch_only SERVER DATABASE USER PASSWORD\n");
    return 2;
  }
  try {
    db::Connection connection;
    connection.SetConnectionString(BuildConnectionString(argv[1], argv[2], argv[3], argv[4]));
    connection.SetMode(db::adModeRead);
    connection.Open();
    std::vector<std::string> tables;
    for (auto list = connection.Execute("show tables"); !list->Eof(); list->MoveNext()) {
      tables.push_back(list->GetFields().Item(0).GetValue().Text());
    }
    unsigned long long rows = 0, bytes = 0;
    for (const std::string& table : tables) {
      auto rs = connection.Execute("select * from " + QuoteName(table));
      const int count = rs->GetFields().Count();
      for (; !rs->Eof(); rs->MoveNext()) {
        ++rows;
        for (int j = 0; j < count; ++j) bytes += rs->ValueAt(j).Bytes().size();
      }
    }
    std::printf("%zu tables, %llu rows, %llu value bytes\n", tables.size(), rows, bytes);
  } catch (const Failure& failure) {
    std::fprintf(stderr, "fetch_only: %s\n", failure.description().c_str());
    return 1;
  }
  return 0;
}
