#include "platform/exclusive_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "platform/file.h"
#include "tests/support/temp_dir.h"

namespace quellsig::platform {
namespace {

class ExclusiveFileTest : public ::testing::Test {
 protected:
  testutil::TempDir dir_{"xfile"};
};

TEST_F(ExclusiveFileTest, CreatesWithModeAndNeverReplaces) {
  const std::string path = dir_.file("k");
  {
    auto fd = createExclusiveFile(path, 0600);
    ASSERT_TRUE(fd.has_value()) << errorName(fd.error());
    std::string text = "secret\n";
    ASSERT_TRUE(writeAll(fd->get(), text).has_value());
  }
  auto mode = filePermissionBits(path);
  ASSERT_TRUE(mode.has_value());
  EXPECT_EQ(*mode & 077, 0u);

  auto again = createExclusiveFile(path, 0600);
  ASSERT_FALSE(again.has_value());
  EXPECT_EQ(again.error(), Error::PathAlreadyExists);
  std::ifstream in(path);
  std::string content((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(content, "secret\n");
}

TEST_F(ExclusiveFileTest, ReportsNamedErrors) {
  EXPECT_EQ(createExclusiveFile((dir_.path() / "missing" / "k").string(), 0600).error(),
            Error::FileNotFound);
  EXPECT_EQ(createExclusiveFile(std::string_view("a\0b", 3), 0600).error(), Error::InvalidPath);
  EXPECT_EQ(filePermissionBits(dir_.file("none")).error(), Error::FileNotFound);
  ASSERT_TRUE(createExclusiveFile(dir_.file("gone"), 0644).has_value());
  EXPECT_TRUE(removeFile(dir_.file("gone")).has_value());
  EXPECT_EQ(removeFile(dir_.file("gone")).error(), Error::FileNotFound);
}

}  // namespace
}  // namespace quellsig::platform
