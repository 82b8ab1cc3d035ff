// The include lines of the product libraries follow the layer order of
// cmake/layers.txt: a folder includes headers of its own folder and of the
// layers below it, never of a sibling or of a layer above it.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Layer {
  int rank = 0;
  bool has_uses = false;
  std::vector<std::string> uses;  // when has_uses: all the folder may include
};

using Layers = std::map<std::string, Layer>;

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

Layers parseLayers(const std::string& text) {
  Layers layers;
  std::istringstream in(text);
  int rank = 0;
  for (std::string line; std::getline(in, line);) {
    auto folders = words(line);
    if (folders.empty() || folders.front().starts_with("#")) continue;
    ++rank;
    std::string uses_text;
    bool has_uses = false;
    if (auto colon = line.find(':'); colon != std::string::npos) {
      uses_text = line.substr(colon + 1);
      folders = words(line.substr(0, colon));
      has_uses = true;
    }
    for (const auto& f : folders) layers[f] = Layer{rank, has_uses, words(uses_text)};
  }
  return layers;
}

// The layer folder a path lies in: the longest folder that is a prefix of it.
std::string folderOf(const Layers& layers, const std::string& path) {
  std::string best;
  for (const auto& [folder, layer] : layers) {
    if (path.starts_with(folder + "/") && folder.size() > best.size()) best = folder;
  }
  return best;
}

bool allowed(const Layers& layers, const std::string& from, const std::string& to) {
  if (from == to) return true;
  const Layer& f = layers.at(from);
  if (f.has_uses) return std::ranges::find(f.uses, to) != f.uses.end();
  return layers.at(to).rank < f.rank;
}

// One message per forbidden include of the file at `path` (relative to the
// source root) holding `text`.
std::vector<std::string> violations(const Layers& layers, const std::string& path,
                                    const std::string& text) {
  std::vector<std::string> out;
  const std::string from = folderOf(layers, path);
  if (from.empty()) return {path + ": folder has no line in cmake/layers.txt"};
  std::istringstream in(text);
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    auto start = line.find_first_not_of(" \t");
    if (start == std::string::npos || !line.substr(start).starts_with("#")) continue;
    auto w = words(line.substr(start + 1));
    if (w.empty() || w[0] != "include") continue;
    auto open = line.find('"');
    if (open == std::string::npos) continue;  // <system> headers: the other rules
    auto close = line.find('"', open + 1);
    const std::string header = line.substr(open + 1, close - open - 1);
    if (header.find('/') == std::string::npos) continue;
    const std::string to = folderOf(layers, header);
    std::string where = path + ":" + std::to_string(number) + ": " + header;
    if (to.empty()) {
      out.push_back(where + " is in no library");
    } else if (!allowed(layers, from, to)) {
      out.push_back(where + " runs from " + from + " to " + to);
    }
  }
  return out;
}

std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

Layers treeLayers() { return parseLayers(readFile(fs::path(QUELLSIG_SOURCE_DIR) / "cmake/layers.txt")); }

TEST(LayeringTest, EveryIncludeOfTheTreeFollowsTheLayers) {
  const Layers layers = treeLayers();
  ASSERT_GE(layers.size(), 8u);
  const fs::path root(QUELLSIG_SOURCE_DIR);
  std::size_t files = 0;
  std::vector<std::string> found;
  for (const auto& [folder, layer] : layers) {
    for (const auto& entry : fs::recursive_directory_iterator(root / folder)) {
      const auto ext = entry.path().extension();
      if (!entry.is_regular_file() || (ext != ".h" && ext != ".cc")) continue;
      const std::string rel = fs::relative(entry.path(), root).generic_string();
      // A nested layer folder is scanned on its own.
      if (folderOf(layers, rel) != folder) continue;
      ++files;
      for (auto& v : violations(layers, rel, readFile(entry.path()))) found.push_back(v);
    }
  }
  EXPECT_GT(files, 100u);
  for (const auto& v : found) ADD_FAILURE() << v;
}

TEST(LayeringTest, PlantedIncludesAreCaught) {
  const Layers layers = treeLayers();
  struct Case {
    const char* name;
    const char* path;
    const char* text;
    bool ok;
  };
  const Case cases[] = {
      {"upward", "engine/x.cc", "#include \"daemon/startup.h\"\n", false},
      {"sibling", "dns/x.cc", "#include \"config/daemon_config.h\"\n", false},
      {"sibling back", "config/x.h", "  #  include \"dns/resolver.h\"\n", false},
      {"milter to daemon", "milter/x.cc", "#include \"daemon/startup.h\"\n", false},
      {"tool to config", "tools/sign/x.cc", "#include \"config/daemon_config.h\"\n", false},
      {"tool to tool", "tools/sign/x.cc", "#include \"tools/check/check.h\"\n", false},
      {"test code", "platform/x.cc", "#include \"tests/support/temp_dir.h\"\n", false},
      {"downward", "daemon/x.cc",
       "#include <string>\n#include \"milter/a.h\"\n#include \"log/log.h\"\n", true},
      {"own folder", "config/x.cc", "#include \"config/signing_config.h\"\n", true},
      {"tool below", "tools/check/x.cc", "#include \"dns/resolver.h\"\n", true},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    EXPECT_EQ(violations(layers, tc.path, tc.text).empty(), tc.ok);
  }
}

TEST(LayeringTest, ANewLayerIsOneLine) {
  const Layers layers = parseLayers(
      "platform\nlog\nengine\ndns config\nmilter\ndaemon/publisher\ndaemon\n"
      "tools/check : engine dns log platform\n");
  EXPECT_TRUE(violations(layers, "daemon/x.cc", "#include \"daemon/publisher/p.h\"\n").empty());
  EXPECT_FALSE(violations(layers, "daemon/publisher/p.cc", "#include \"daemon/x.h\"\n").empty());
  EXPECT_FALSE(violations(layers, "milter/m.cc", "#include \"daemon/publisher/p.h\"\n").empty());
  EXPECT_TRUE(violations(layers, "daemon/publisher/p.cc", "#include \"milter/m.h\"\n").empty());
}

}  // namespace
