#include "platform/file.h"

#include <sys/stat.h>

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

// Only regular files: the open does not block, so a FIFO without a writer
// fails at once instead of holding the caller up.
TEST_F(FileTest, RegularFilesOnlyWithTheirModeFromTheSameDescriptor) {
  const std::string key = dir_.write("key", "secret", 0640);
  const std::string fifo = dir_.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::filesystem::create_symlink("loop", dir_.file("loop"));
  std::filesystem::create_symlink("key", dir_.file("link"));

  auto opened = openRegularFile(dir_.file("link"));
  ASSERT_TRUE(opened.has_value()) << errorName(opened.error());
  EXPECT_EQ(opened->permission_bits, 0640u);
  EXPECT_TRUE(opened->fd.valid());
  auto text = readRegularFile(key, 100);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(*text, "secret");
  EXPECT_EQ(readRegularFile(key, 5).error(), Error::FileTooBig);

  struct Case {
    const char* name;
    std::string path;
    Error want;
  } cases[] = {
      {"FIFO", fifo, Error::NotRegularFile},
      {"character device", "/dev/null", Error::NotRegularFile},
      {"directory", dir_.path().string(), Error::IsDir},
      {"symbolic link loop", dir_.file("loop"), Error::SymLinkLoop},
      {"missing", dir_.file("missing"), Error::FileNotFound},
      {"NUL in path", std::string("a\0b", 3), Error::InvalidPath},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    auto o = openRegularFile(tc.path);
    ASSERT_FALSE(o.has_value());
    EXPECT_EQ(o.error(), tc.want) << errorName(o.error());
    auto r = readRegularFile(tc.path, 100);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), tc.want) << errorName(r.error());
  }
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
