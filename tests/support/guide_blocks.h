// Reading the marked configuration blocks of docs/postfix.md, so that tests
// run Postfix and quellsig with exactly the settings the guide gives.
//
// A block is the fenced code between the lines "<!-- NAME begin -->" and
// "<!-- NAME end -->": guideBlock returns the lines inside the ``` fences
// (each ending in "\n"), or nullopt when the markers or the fence are
// missing. Names in use: "postfix-main.cf", "postfix-master.cf" and
// "quellsig.conf". mainCfSettings splits a main.cf block into its
// "name = value" settings in order, trimmed, skipping blank and "#" lines.
// substituted replaces every occurrence of each `from` by its `to`, pair by
// pair: how a test moves a block's addresses, ports and paths to its own.
// Pure functions; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quellsig::testutil {

std::optional<std::string> guideBlock(std::string_view guide, std::string_view name);

std::vector<std::pair<std::string, std::string>> mainCfSettings(std::string_view block);

std::string substituted(std::string text,
                        const std::vector<std::pair<std::string, std::string>>& replacements);

}  // namespace quellsig::testutil
