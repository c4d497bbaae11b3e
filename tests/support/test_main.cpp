// main() of every Windows test program: started in a child role (child.h) it
// plays that role; otherwise it runs its tests.
#include <gtest/gtest.h>

#include "child.h"

int main(int argc, char** argv) {
    kesto::test::RunChildRoleWhenAsked();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
