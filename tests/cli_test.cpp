#include <gtest/gtest.h>

#include "test_util.h"

using test_util::run_zorv;

TEST(Cli, NoArgumentsPrintsUsageOnly) {
    auto r = run_zorv({});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind("ZORV (", 0), 0u);
}
