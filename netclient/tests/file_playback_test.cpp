#include <gtest/gtest.h>
TEST(FilePlayback, Placeholder) {}
