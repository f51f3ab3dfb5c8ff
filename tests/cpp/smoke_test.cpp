// Keeps the native suite non-empty until the libraries bring their own tests.
#include <gtest/gtest.h>

TEST(NativeSuite, Builds) { SUCCEED(); }
