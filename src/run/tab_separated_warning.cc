#include "run/tab_separated_warning.h"

namespace vaultrun {
namespace {

// "a (2), b (1)": the tables with a count of the kind that count picks.
std::string Tables(const std::vector<std::pair<std::string, TabSeparatedLosses>>& tables,
                   uint64_t TabSeparatedLosses::*count) {
  std::string text;
  for (const auto& [table, losses] : tables) {
    if (losses.*count == 0) continue;
    text += (text.empty() ? "" : ", ") + table + " (" + std::to_string(losses.*count) + ")";
  }
  return text;
}

}  // namespace

std::string TabSeparatedWarning::Text() const {
  if (tables_.empty()) return "";
  const std::string split = Tables(tables_, &TabSeparatedLosses::split_values);
  const std::string nulls = Tables(tables_, &TabSeparatedLosses::nulls_as_empty);
  std::string text = "Vaultrun: the tab-separated form does not give back every value of this run:";
  if (!split.empty()) {
    text +=
        " values that hold a TAB, CR or LF, which it cannot tell from its separators, in " + split;
  }
  if (!nulls.empty()) {
    text += std::string(split.empty() ? "" : ";") +
            " NULLs of text, binary, ENUM, SET or JSON columns, which it writes as empty fields, "
            "in " +
            nulls;
  }
  return text + ". \"format_sql\"=\"1\" backs them up exactly";
}

}  // namespace vaultrun
