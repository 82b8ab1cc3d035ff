#include "engine/base64.h"

#include <array>

#include "engine/secure_zero.h"

namespace quellsig {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::int8_t, 256> makeDecodeTable() {
  std::array<std::int8_t, 256> t{};
  for (auto& v : t) v = -1;
  for (int i = 0; i < 64; ++i)
    t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
  return t;
}
constexpr auto kDecode = makeDecodeTable();

bool isFoldingSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

std::string base64Encode(std::span<const std::uint8_t> in) {
  std::string out;
  out.reserve((in.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= in.size(); i += 3) {
    std::uint32_t v = (std::uint32_t{in[i]} << 16) | (std::uint32_t{in[i + 1]} << 8) | in[i + 2];
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(kAlphabet[(v >> 6) & 63]);
    out.push_back(kAlphabet[v & 63]);
  }
  if (std::size_t rest = in.size() - i; rest > 0) {
    std::uint32_t v = std::uint32_t{in[i]} << 16;
    if (rest == 2) v |= std::uint32_t{in[i + 1]} << 8;
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(rest == 2 ? kAlphabet[(v >> 6) & 63] : '=');
    out.push_back('=');
  }
  return out;
}

Result<std::vector<std::uint8_t>> decodeBase64Tag(std::string_view text) {
  // Decoded in place, without a whitespace-free copy: the text may be a
  // private seed, and a copy would outlive it in freed memory.
  std::size_t significant = 0;
  for (char c : text) {
    if (!isFoldingSpace(c)) ++significant;
  }
  if (significant % 4 != 0) return fail(Error::InvalidArgument);
  std::vector<std::uint8_t> out;
  out.reserve(significant / 4 * 3);
  auto reject = [&out]() {
    secureZero(out.data(), out.size());
    return fail(Error::InvalidArgument);
  };
  std::size_t seen = 0;
  std::size_t pos = 0;
  while (seen < significant) {
    bool last = seen + 4 == significant;
    int pad = 0;
    std::uint32_t v = 0;
    for (std::size_t j = 0; j < 4; ++j) {
      while (isFoldingSpace(text[pos])) ++pos;
      char c = text[pos++];
      if (c == '=') {
        // Padding only in the last quantum, only in its last two places, and
        // nothing but padding after it.
        if (!last || j < 2) return reject();
        ++pad;
        v <<= 6;
        continue;
      }
      if (pad > 0) return reject();
      std::int8_t d = kDecode[static_cast<unsigned char>(c)];
      if (d < 0) return reject();
      v = (v << 6) | static_cast<std::uint32_t>(d);
    }
    seen += 4;
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    if (pad < 2) out.push_back(static_cast<std::uint8_t>(v >> 8));
    if (pad < 1) out.push_back(static_cast<std::uint8_t>(v));
  }
  return out;
}

}  // namespace quellsig
