#include "platform/file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/temp_dir.h"

namespace quellsig::platform {
namespace {

class FileTest : public ::testing::Test {
 protected:
  testutil::TempDir dir_{"file"};
};

TEST_F(FileTest, ReadsUpToTheLimitAndRefusesOneByteMore) {
  const std::string exact(1048576, 'x');
  auto text = readWholeFile(dir_.write("exact", exact), 1048576);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(*text, exact);
  EXPECT_EQ(readWholeFile(dir_.write("over", exact + "y"), 1048576).error(), Error::FileTooBig);
  auto empty = readWholeFile(dir_.write("empty", ""), 1048576);
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->empty());
}

TEST_F(FileTest, ReportsNamedErrors) {
  EXPECT_EQ(readWholeFile(dir_.file("missing"), 100).error(), Error::FileNotFound);
  EXPECT_EQ(readWholeFile(dir_.path().string(), 100).error(), Error::IsDir);
  EXPECT_EQ(readWholeFile(std::string_view("a\0b", 3), 100).error(), Error::InvalidPath);
}

TEST_F(FileTest, PermissionBitsAreTheLowTwelveBits) {
  const std::string path = dir_.write("key", "k");
  std::filesystem::permissions(path, std::filesystem::perms(0640));
  auto bits = filePermissionBits(path);
  ASSERT_TRUE(bits.has_value());
  EXPECT_EQ(*bits, 0640u);
  EXPECT_EQ(filePermissionBits(dir_.file("missing")).error(), Error::FileNotFound);
}

}  // namespace
}  // namespace quellsig::platform
