#include "vbrt/convert.h"
#include "vbrt/error.h"

#include <gtest/gtest.h>

namespace {

TEST(Convert, CLngReadsHexAsUnsigned32) { EXPECT_EQ(vb::CLng(std::string_view("&HFFFF")), 65535); }

}  // namespace
