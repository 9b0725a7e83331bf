#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    /* Death tests and our own children fork; keep gtest's output ordered. */
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
