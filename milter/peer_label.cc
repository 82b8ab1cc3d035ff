#include "milter/peer_label.h"

#include <cstddef>

namespace quellsig {
namespace {

void appendDottedQuad(std::string& out, const std::uint8_t* bytes) {
  for (int i = 0; i < 4; ++i) {
    if (i != 0) out.push_back('.');
    out += std::to_string(bytes[i]);
  }
}

void appendHexGroup(std::string& out, unsigned group) {
  constexpr char kDigits[] = "0123456789abcdef";
  bool started = false;
  for (int shift = 12; shift >= 0; shift -= 4) {
    const unsigned digit = (group >> shift) & 0xF;
    if (digit != 0 || started || shift == 0) {
      out.push_back(kDigits[digit]);
      started = true;
    }
  }
}

std::string ipv6Text(const std::array<std::uint8_t, 16>& a) {
  std::string out;
  bool mapped = true;
  for (std::size_t i = 0; i < 10; ++i) mapped = mapped && a[i] == 0;
  if (mapped && a[10] == 0xFF && a[11] == 0xFF) {
    out = "::ffff:";
    appendDottedQuad(out, &a[12]);
    return out;
  }
  std::array<unsigned, 8> groups{};
  for (std::size_t i = 0; i < 8; ++i) groups[i] = (unsigned{a[2 * i]} << 8) | a[2 * i + 1];
  // The longest run of zero groups, the first of equal ones; a lone zero
  // group is written out.
  std::size_t best_start = 8, best_length = 0;
  for (std::size_t i = 0; i < 8;) {
    if (groups[i] != 0) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < 8 && groups[j] == 0) ++j;
    if (j - i > best_length) {
      best_start = i;
      best_length = j - i;
    }
    i = j;
  }
  if (best_length < 2) best_start = 8;
  for (std::size_t i = 0; i < 8; ++i) {
    if (i == best_start) {
      out += "::";
      i += best_length - 1;
      continue;
    }
    if (i != 0 && i != best_start + best_length) out.push_back(':');
    appendHexGroup(out, groups[i]);
  }
  return out;
}

}  // namespace

std::string peerLabel(platform::PeerFamily family, const std::array<std::uint8_t, 16>& address) {
  switch (family) {
    case platform::PeerFamily::Unix:
      return "local";
    case platform::PeerFamily::Ipv4: {
      std::string out;
      appendDottedQuad(out, address.data());
      return out;
    }
    case platform::PeerFamily::Ipv6:
      return ipv6Text(address);
    case platform::PeerFamily::Other:
      break;
  }
  return "unknown";
}

}  // namespace quellsig
