#include "app/run.h"

#include <gtest/gtest.h>

// Systems supply at least the program's name (Linux adds an empty one when a caller passes
// none), so an empty argument vector is reached only by calling the run directly.
TEST(Run, EmptyArgumentVectorEndsWithMinusOne) {
    const char* const noArguments[] = {nullptr};
    EXPECT_EQ(runMorvane(0, noArguments), -1);
}
