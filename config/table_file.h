// Parsing SigningTable and KeyTable text.
//
// A leading UTF-8 byte-order mark is skipped. Lines end at line feeds and
// are trimmed of spaces, tabs and carriage returns; empty lines, lines
// starting with "#" and lines of fewer than two fields are skipped without a
// report. Fields are separated by runs of spaces
// and tabs; fields after the second are ignored.
//
// A KeyTable value is "domain:selector:path"; the path is everything after
// the second colon and may hold colons. A value with fewer than two colons or
// an empty path is skipped.
//
// Results borrow from text. The functions throw std::bad_alloc only; any
// thread may call them.
#pragma once

#include <string_view>
#include <vector>

namespace quellsig {

struct TableLine {
  std::string_view first;
  std::string_view second;
};

std::vector<TableLine> parseTableLines(std::string_view text);

struct KeyTableLine {
  std::string_view name;
  std::string_view domain;
  std::string_view selector;
  std::string_view path;
};

std::vector<KeyTableLine> parseKeyTable(std::string_view text);

}  // namespace quellsig
