// Loading a table's SQL entry: each line is checked to be a literal INSERT
// into that table before it is sent.
#include <string>
#include <vector>

#include "core/failure.h"
#include "restore/data_lines.h"
#include "restore/insert_check.h"
#include "restore/load.h"
#include "restore/target_columns.h"

namespace vaultrun::restore {
namespace {

[[noreturn]] void RaisePacketTooLarge(const DataEntry& entry, uint64_t line, size_t size,
                                      uint64_t server_max) {
  // Rounded up to whole MB, with room for the packet's header.
  uint64_t needed = ((size + 1024) / (1 << 20) + 1) * (1 << 20);
  throw Failure(kErrPacketTooLarge,
                "table " + entry.table + ": the statement on line " + std::to_string(line) +
                    " of " + entry.name + " is " + std::to_string(size) +
                    " bytes, more than the server's max_allowed_packet (" +
                    std::to_string(server_max) + " bytes); raise it to at least " +
                    std::to_string(needed) + " (SET GLOBAL max_allowed_packet=" +
                    std::to_string(needed) + ", or in the server's configuration) and run again");
}

[[noreturn]] void RaiseLineTooLong(const DataEntry& entry, uint64_t line, size_t limit) {
  throw Failure(kErrPacketTooLarge,
                "table " + entry.table + ": line " + std::to_string(line) + " of " + entry.name +
                    " is longer than " + std::to_string(limit) +
                    " bytes, more than the server's max_allowed_packet allows; raise it (SET "
                    "GLOBAL max_allowed_packet, or in the server's configuration) and run again");
}

// Which of the target's columns a statement's tuples fill, and how: its
// own column list, else the columns an INSERT without a list fills (or
// those less the generated ones, which newer archives leave out). Returns
// what is wrong, or "". *rewrite: the statement must be rebuilt.
std::string PlanColumns(const InsertStatement& insert, const std::vector<TargetColumn>& target,
                        std::vector<ColumnPlan>* plan, bool* rewrite) {
  std::vector<std::string> names = insert.columns;
  *rewrite = false;
  if (!insert.has_column_list) {
    std::vector<std::string> visible, stored;
    for (const TargetColumn& column : target) {
      if (column.invisible) continue;
      visible.push_back(column.name);
      if (!column.generated) stored.push_back(column.name);
    }
    if (insert.width == visible.size()) {
      names = visible;
    } else if (insert.width == stored.size()) {
      names = stored;
      *rewrite = true;
    } else {
      return std::to_string(insert.width) + " values in a tuple where the table has " +
             std::to_string(visible.size()) + " columns";
    }
  }
  plan->clear();
  bool any_kept = false;
  for (const std::string& name : names) {
    const TargetColumn* column = FindColumn(target, name);
    if (column == nullptr) return "names column " + name + ", which the table does not have";
    plan->push_back({name, !column->generated, column->text_form_type});
    any_kept = any_kept || !column->generated;
    if (column->generated || column->text_form_type) *rewrite = true;
  }
  if (!any_kept) return "holds values of generated columns only";
  return "";
}

}  // namespace

uint64_t RestoreSql(ArchiveReader& reader, const DataEntry& entry, Connection& connection,
                    const Console& console, Progress& progress) {
  std::vector<TargetColumn> target = ReadTargetColumns(connection, entry.table);
  std::vector<char> chunk(kChunk);
  LineSplitter lines;
  lines.set_limit(connection.server_max_packet());
  InsertStatement insert;
  std::vector<ColumnPlan> plan;
  std::vector<std::string> planned_for;
  size_t planned_width = 0;
  bool rewrite = false;
  std::string rebuilt;
  uint64_t rows = 0, bytes = 0;
  for (;;) {
    size_t n = reader.Read(chunk.data(), chunk.size());
    if (n == 0) break;
    bytes += n;
    lines.Add(std::string_view(chunk.data(), n));
    std::string_view line;
    while (lines.Next(&line)) {
      CheckStop(console);
      uint64_t number = lines.line_number();
      auto refuse = [&](const std::string& problem) {
        throw Failure(kErrRestore, "table " + entry.table + ": " + entry.name + " line " +
                                       std::to_string(number) + " refused: " + problem);
      };
      std::string_view statement = line;
      if (!statement.empty() && statement.back() == ';') statement.remove_suffix(1);
      // Only literal rows for this table go to the server.
      std::string problem = CheckInsert(statement, entry.table, &insert);
      if (!problem.empty()) refuse(problem);
      if (plan.empty() || insert.columns != planned_for || insert.width != planned_width) {
        problem = PlanColumns(insert, target, &plan, &rewrite);
        if (!problem.empty()) refuse(problem);
        planned_for = insert.columns;
        planned_width = insert.width;
      }
      if (rewrite) {
        rebuilt = RebuildInsert(statement, entry.table, insert, plan);
        statement = rebuilt;
      }
      if (statement.size() + 1 > connection.server_max_packet()) {
        RaisePacketTooLarge(entry, number, statement.size(), connection.server_max_packet());
      }
      try {
        connection.Exec(statement, "table " + entry.table + ": " + entry.name + " line " +
                                       std::to_string(number));
      } catch (const Failure& failure) {
        if (failure.number() == static_cast<int>(kErrPacketTooLarge) ||
            failure.number() == static_cast<int>(kErrClientPacketTooLarge)) {
          RaisePacketTooLarge(entry, number, statement.size(), connection.server_max_packet());
        }
        throw;
      }
      rows += connection.affected_rows();
      FailOnWarnings(connection, entry, entry.name + " line " + std::to_string(number));
      progress.Update(bytes, rows);
    }
    if (lines.too_long()) RaiseLineTooLong(entry, lines.line_number() + 1, lines.limit());
  }
  if (!lines.Finish()) {
    throw Failure(kErrRestore, entry.name + " line " + std::to_string(lines.line_number() + 1) +
                                   " is cut short (the data ends without CR LF)");
  }
  return rows;
}

}  // namespace vaultrun::restore
