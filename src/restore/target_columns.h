// The columns of a restore's target table, as information_schema describes
// them: what each data form needs to decide how a column's values are
// sent, and which columns the server fills itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "restore/connection.h"

namespace vaultrun::restore {

struct TargetColumn {
  std::string name;
  std::string data_type;  // lower case, as information_schema has it
  bool nullable = false;
  uint64_t precision = 0;
  bool generated = false;  // VIRTUAL or STORED/PERSISTENT: computed, never inserted
  bool invisible = false;  // not among the values of an INSERT without a column list
  bool auto_increment = false;
  // A type with a binary form of its own (INET4, INET6, UUID): a value in
  // the binary character set is read as that form, the text form needs a
  // text character set.
  bool text_form_type = false;
};

// In table order; empty when the table does not exist.
std::vector<TargetColumn> ReadTargetColumns(Connection& connection, const std::string& table);

// The column named name, or nullptr.
const TargetColumn* FindColumn(const std::vector<TargetColumn>& columns, const std::string& name);

}  // namespace vaultrun::restore
