#include "platform/file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace quellsig::platform {
namespace {

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("quellsig-file-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string write(const std::string& name, const std::string& bytes) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  std::filesystem::path dir_;
};

TEST_F(FileTest, ReadsUpToTheLimitAndRefusesOneByteMore) {
  const std::string exact(1048576, 'x');
  auto text = readWholeFile(write("exact", exact), 1048576);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(*text, exact);
  EXPECT_EQ(readWholeFile(write("over", exact + "y"), 1048576).error(), Error::FileTooBig);
  auto empty = readWholeFile(write("empty", ""), 1048576);
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->empty());
}

TEST_F(FileTest, ReportsNamedErrors) {
  EXPECT_EQ(readWholeFile((dir_ / "missing").string(), 100).error(), Error::FileNotFound);
  EXPECT_EQ(readWholeFile(dir_.string(), 100).error(), Error::IsDir);
  EXPECT_EQ(readWholeFile(std::string_view("a\0b", 3), 100).error(), Error::InvalidPath);
}

TEST_F(FileTest, PermissionBitsAreTheLowTwelveBits) {
  const std::string path = write("key", "k");
  std::filesystem::permissions(path, std::filesystem::perms(0640));
  auto bits = filePermissionBits(path);
  ASSERT_TRUE(bits.has_value());
  EXPECT_EQ(*bits, 0640u);
  EXPECT_EQ(filePermissionBits((dir_ / "missing").string()).error(), Error::FileNotFound);
}

}  // namespace
}  // namespace quellsig::platform
