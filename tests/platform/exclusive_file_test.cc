#include "platform/exclusive_file.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/file.h"

namespace quellsig::platform {
namespace {

namespace fs = std::filesystem;

class ExclusiveFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "quellsig-xfile-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(ExclusiveFileTest, CreatesWithModeAndNeverReplaces) {
  const std::string path = (dir_ / "k").string();
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
  EXPECT_EQ(createExclusiveFile((dir_ / "missing" / "k").string(), 0600).error(),
            Error::FileNotFound);
  EXPECT_EQ(createExclusiveFile(std::string_view("a\0b", 3), 0600).error(), Error::InvalidPath);
  EXPECT_EQ(filePermissionBits((dir_ / "none").string()).error(), Error::FileNotFound);
  ASSERT_TRUE(createExclusiveFile((dir_ / "gone").string(), 0644).has_value());
  EXPECT_TRUE(removeFile((dir_ / "gone").string()).has_value());
  EXPECT_EQ(removeFile((dir_ / "gone").string()).error(), Error::FileNotFound);
}

}  // namespace
}  // namespace quellsig::platform
