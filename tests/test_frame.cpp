#include "support.h"
using namespace libpow_test;
TEST_F(LibPowTest, Placeholder) { EXPECT_EQ(g_libPowLogMask, 3u); }
