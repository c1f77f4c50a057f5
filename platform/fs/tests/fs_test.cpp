#include "fs/fs.h"

#include <gtest/gtest.h>

namespace {

TEST(FileTime, MissingFileValueDoesNotConvert) {
    fs::SYSTEMTIME st;
    EXPECT_FALSE(fs::FileTimeToSystemTime(fs::FILETIME::Missing(), st));
}

}  // namespace
