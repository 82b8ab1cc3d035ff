#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "config/table_file.h"
#include "platform/file.h"

namespace quellsig {
namespace {

TEST(TableFileTest, SkipsBlankCommentAndOneFieldLines) {
  const std::string_view text =
      "# comment\n"
      "\n"
      "   \t\r\n"
      "lonely\n"
      "  *@a.b \t k1  extra fields\r\n"
      "#*@c.d k2\n"
      "u@x.y\tk3";  // no final line feed
  const std::vector<TableLine> lines = parseTableLines(text);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].first, "*@a.b");
  EXPECT_EQ(lines[0].second, "k1");
  EXPECT_EQ(lines[1].first, "u@x.y");
  EXPECT_EQ(lines[1].second, "k3");
}

TEST(TableFileTest, KeyTableValuesSplitAtTheFirstTwoColons) {
  struct Case {
    const char* name;
    std::string_view line;
    bool kept;
    std::string_view domain, selector, path;
  } cases[] = {
      {"plain", "k1 a.b:s1:/keys/k1.pem", true, "a.b", "s1", "/keys/k1.pem"},
      {"path with colons", "k1 a.b:s1:/keys/c:d:e.pem", true, "a.b", "s1", "/keys/c:d:e.pem"},
      {"relative path", "k1 a.b:s1:k.pem", true, "a.b", "s1", "k.pem"},
      {"no path", "k1 a.b:s1", false, {}, {}, {}},
      {"empty path", "k1 a.b:s1:", false, {}, {}, {}},
      {"no colon", "k1 a.b", false, {}, {}, {}},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    const std::vector<KeyTableLine> keys = parseKeyTable(tc.line);
    ASSERT_EQ(keys.size(), tc.kept ? 1u : 0u);
    if (!tc.kept) continue;
    EXPECT_EQ(keys[0].name, "k1");
    EXPECT_EQ(keys[0].domain, tc.domain);
    EXPECT_EQ(keys[0].selector, tc.selector);
    EXPECT_EQ(keys[0].path, tc.path);
  }
}

// The shipped examples must stay loadable: every entry the SigningTable
// names is defined in the KeyTable.
TEST(TableFileTest, ExampleTablesAreConsistent) {
  auto signing = platform::readWholeFile(QUELLSIG_SOURCE_DIR "/examples/SigningTable", 1048576);
  auto keys = platform::readWholeFile(QUELLSIG_SOURCE_DIR "/examples/KeyTable", 1048576);
  ASSERT_TRUE(signing.has_value());
  ASSERT_TRUE(keys.has_value());
  const std::vector<TableLine> lines = parseTableLines(*signing);
  const std::vector<KeyTableLine> entries = parseKeyTable(*keys);
  EXPECT_FALSE(lines.empty());
  for (const TableLine& line : lines) {
    EXPECT_TRUE(std::any_of(entries.begin(), entries.end(),
                            [&](const KeyTableLine& k) { return k.name == line.second; }))
        << line.first << " -> " << line.second;
  }
}

}  // namespace
}  // namespace quellsig
