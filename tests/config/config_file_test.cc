#include "config/config_file.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/temp_dir.h"

namespace quellsig {
namespace {

using testutil::TempDir;

TEST(ConfigFileTest, SectionsKeysAndCommentsFollowTheLineGrammar) {
  auto file = parseConfigText(
      "AuthservID = before-any-header\r\n"
      "# a comment = not a setting\n"
      "; another\n"
      "  [ listener:a ]  trailing text ignored\n"
      "Socket=inet:1@127.0.0.1\n"
      "Mode = sign # comment\n"
      "[\n"
      "[ ]\n"
      "no equals sign here\n"
      " = value without key\n"
      "Domain =\n"
      "KeyFile = a=b#c\n"
      "[global]\n"
      "\tUser\t=\tmail:mail \v\f\n"
      "[listener:a]\n"
      "Socket = /run/x.sock\n"
      "[other]\n"
      "AuthservID=x\n");
  ASSERT_TRUE(file.has_value());
  const auto& sections = file->sections();
  ASSERT_EQ(sections.size(), 3u);
  EXPECT_EQ(sections[0].name, "global");
  EXPECT_EQ(sections[1].name, "listener:a");
  EXPECT_EQ(sections[2].name, "other");

  EXPECT_EQ(file->global().value("AuthservID"), "before-any-header");
  EXPECT_EQ(file->global().value("User"), "mail:mail");

  const auto& l = sections[1];
  ASSERT_EQ(l.settings.size(), 4u);
  // A repeated key keeps its first position and takes the last value.
  EXPECT_EQ(l.settings[0].key, "Socket");
  EXPECT_EQ(l.settings[0].value, "/run/x.sock");
  EXPECT_EQ(l.settings[1].value, "sign # comment");
  EXPECT_EQ(l.settings[2].key, "Domain");
  EXPECT_EQ(l.settings[2].value, "");
  EXPECT_EQ(l.settings[3].value, "a=b#c");
  // Keys compare exactly.
  EXPECT_FALSE(l.value("socket").has_value());
}

TEST(ConfigFileTest, LeadingByteOrderMarkIsSkipped) {
  auto file = parseConfigText("\xEF\xBB\xBF" "AuthservID = first\nPidFile = /p\n");
  ASSERT_TRUE(file.has_value());
  EXPECT_EQ(file->global().value("AuthservID"), "first");
  ASSERT_EQ(file->global().settings.size(), 2u);
  EXPECT_EQ(file->global().settings[0].key, "AuthservID");
  // Only at the start: elsewhere the bytes are part of the text.
  auto inner = parseConfigText("PidFile = /p\n\xEF\xBB\xBF" "AuthservID = x\n");
  ASSERT_TRUE(inner.has_value());
  EXPECT_FALSE(inner->global().value("AuthservID").has_value());
}

TEST(ConfigFileTest, EmptyTextHasOnlyGlobal) {
  auto file = parseConfigText("");
  ASSERT_TRUE(file.has_value());
  ASSERT_EQ(file->sections().size(), 1u);
  EXPECT_EQ(file->global().name, "global");
  EXPECT_TRUE(file->global().settings.empty());
}

TEST(ConfigFileTest, ReadsAFileOfExactlyOneMebibyteAndRefusesOneByteMore) {
  TempDir dir;
  std::string line = "# padding\n";
  std::string exact = "AuthservID = big\n";
  while (exact.size() + line.size() <= ConfigFile::kMaxBytes) exact += line;
  exact.append(ConfigFile::kMaxBytes - exact.size(), '#');
  ASSERT_EQ(exact.size(), 1048576u);

  auto ok = readConfigFile(dir.write("exact.conf", exact));
  ASSERT_TRUE(ok.has_value()) << errorName(ok.error());
  EXPECT_EQ(ok->global().value("AuthservID"), "big");

  auto big = readConfigFile(dir.write("big.conf", exact + "#"));
  ASSERT_FALSE(big.has_value());
  EXPECT_EQ(big.error(), Error::FileTooBig);
}

TEST(ConfigFileTest, ReadErrorsAreNamed) {
  TempDir dir;
  const std::string fifo = (dir.path() / "fifo.conf").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::filesystem::create_symlink("loop", dir.path() / "loop");
  struct Case {
    const char* name;
    std::string path;
    Error want;
  } cases[] = {
      {"missing file", (dir.path() / "absent.conf").string(), Error::FileNotFound},
      {"directory", dir.path().string(), Error::IsDir},
      {"path of 1024 bytes", std::string(1024, 'a'), Error::NameTooLong},
      {"NUL in path", std::string("a\0b", 3), Error::InvalidPath},
      // A FIFO would hang start-up (and a reload) in open or read.
      {"FIFO", fifo, Error::NotRegularFile},
      {"character device", "/dev/zero", Error::NotRegularFile},
      {"symbolic link loop", (dir.path() / "loop").string(), Error::SymLinkLoop},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    auto r = readConfigFile(tc.path);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), tc.want) << errorName(r.error());
  }
}

}  // namespace
}  // namespace quellsig
