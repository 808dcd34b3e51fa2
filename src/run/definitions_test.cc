// What the run stores of a definition: the statement without its DEFINER.
#include "run/definitions.h"

#include <gtest/gtest.h>

namespace vaultrun {
namespace {

TEST(DefinitionsRead, StripsTheDefinerClauseOnly) {
  EXPECT_EQ("CREATE VIEW `v` AS select 1",
            StripDefiner("CREATE DEFINER=`ro``ot`@`local host` VIEW `v` AS select 1"));
  EXPECT_EQ("CREATE ALGORITHM=UNDEFINED SQL SECURITY DEFINER VIEW `v` AS select 1",
            StripDefiner("CREATE ALGORITHM=UNDEFINED DEFINER=`root`@`%` SQL SECURITY DEFINER "
                         "VIEW `v` AS select 1"));
  EXPECT_EQ("CREATE TRIGGER t AFTER INSERT ON x FOR EACH ROW SET @a = 'DEFINER=`u`@`h` '",
            StripDefiner("CREATE DEFINER=`admin_role` TRIGGER t AFTER INSERT ON x FOR EACH ROW "
                         "SET @a = 'DEFINER=`u`@`h` '"));
}

}  // namespace
}  // namespace vaultrun
