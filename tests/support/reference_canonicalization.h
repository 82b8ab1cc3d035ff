// The body canonicalization rules written out one byte at a time with a
// separate line buffer: an independent oracle for the bulk canonicalizer,
// shared by the engine tests and the message fuzz target. Pure function.
#pragma once

#include <string>
#include <string_view>

#include "engine/algorithms.h"

namespace quellsig::testutil {

inline std::string referenceBody(std::string_view in, Canonicalization mode) {
  std::string out, line;
  std::size_t blank = 0;
  bool cr = false, space = false;
  auto flush = [&] {
    for (; blank > 0; --blank) out += "\r\n";
  };
  auto put = [&](char c) {
    if (space) line += ' ';
    space = false;
    line += c;
  };
  auto endLine = [&] {
    space = false;
    if (line.empty()) {
      ++blank;
    } else {
      flush();
      out += line + "\r\n";
      line.clear();
    }
  };
  for (char c : in) {
    if (mode == Canonicalization::Simple) {
      if (cr) {
        cr = false;
        if (c == '\n') {
          ++blank;
          continue;
        }
        flush();
        out += '\r';
      }
      if (c == '\r') {
        cr = true;
      } else {
        flush();
        out += c;
      }
    } else {
      if (cr) {
        cr = false;
        if (c == '\n') {
          endLine();
          continue;
        }
        put('\r');
      }
      if (c == ' ' || c == '\t') {
        space = true;
      } else if (c == '\r') {
        cr = true;
      } else {
        put(c);
      }
    }
  }
  if (mode == Canonicalization::Simple) {
    if (cr) {
      flush();
      out += '\r';
    }
    if (out.size() < 2 || out.substr(out.size() - 2) != "\r\n") out += "\r\n";
  } else {
    if (cr) put('\r');
    if (!line.empty()) endLine();
  }
  return out;
}

}  // namespace quellsig::testutil
