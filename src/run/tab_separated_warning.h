// The one warning entry of a run about what its tab-separated data files
// could not hold as it was: values that hold a TAB, CR or LF, and NULLs
// that the form writes as empty fields. The default form loses them, so a
// run that is otherwise a success says so, once, naming the tables.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "run/data_file.h"

namespace vaultrun {

class TabSeparatedWarning {
 public:
  void Add(const std::string& table, const TabSeparatedLosses& losses) {
    if (losses.any()) tables_.emplace_back(table, losses);
  }
  // The entry's text; "" when every value was written as it was.
  std::string Text() const;

 private:
  std::vector<std::pair<std::string, TabSeparatedLosses>> tables_;
};

}  // namespace vaultrun
