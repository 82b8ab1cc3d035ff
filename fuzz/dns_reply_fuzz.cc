// Hostile DNS replies: the whole reply through parseResponse, and the name
// decoder and skipper at every offset of its first bytes (and just past the
// end), with the codec's limits checked on everything that comes out.
#include <string>
#include <string_view>

#include "dns/message.h"
#include "fuzz/driver.h"

namespace quellsig::fuzz {
namespace {

constexpr std::string_view kTokens[] = {
    std::string_view("\x00\x10\x00\x01", 4),  // TXT IN
    std::string_view("\x00\x05\x00\x01", 4),  // CNAME IN
    std::string_view("\x00\x0f\x00\x01", 4),  // MX IN
    std::string_view("\xc0\x0c", 2),          // pointer to the question
    std::string_view("\x00\x00\x0e\x10", 4),  // TTL 3600
    std::string_view("\x07"
                     "example\x03"
                     "com\x00",
                     13),
    std::string_view("\x03sel\x0a_domainkey", 15),
    std::string_view("\x3f", 1),
    std::string_view("\x40", 1),
};

// A decoded name: at most 253 bytes, no dot-separated piece longer than 63
// (a label holding a dot only makes the pieces shorter).
void checkName(const std::string& name) {
  FUZZ_CHECK(name.size() <= kMaxDnsNameLength);
  std::size_t run = 0;
  for (char c : name) {
    run = c == '.' ? 0 : run + 1;
    FUZZ_CHECK(run <= 63);
  }
}

}  // namespace

std::span<const std::string_view> fuzzDictionary() { return kTokens; }

}  // namespace quellsig::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quellsig;
  using quellsig::fuzz::checkName;
  std::span<const std::uint8_t> message(data, size);

  if (auto r = parseResponse(message)) {
    FUZZ_CHECK(size >= kDnsHeaderSize);
    FUZZ_CHECK(r->id == ((data[0] << 8) | data[1]));
    FUZZ_CHECK(r->rcode == (data[3] & 0x0f));
    FUZZ_CHECK(r->truncated == ((data[2] & 0x02) != 0));
    FUZZ_CHECK(r->records.size() <= static_cast<std::size_t>((data[6] << 8) | data[7]));
    for (const auto& rec : r->records) {
      checkName(rec.owner);
      if (rec.type == kDnsTypeCname || rec.type == kDnsTypePtr || rec.type == kDnsTypeMx) {
        checkName(rec.data);
      }
      FUZZ_CHECK(rec.data.size() <= size);
    }
  } else {
    FUZZ_CHECK(r.error() != Error::OutOfMemory);
  }

  const std::size_t last = size < 256 ? size + 1 : 256;
  for (std::size_t offset = 0; offset <= last; ++offset) {
    auto name = readName(message, offset);
    if (name) checkName(*name);
    auto end = skipName(message, offset);
    if (end) {
      FUZZ_CHECK(*end > offset);
      FUZZ_CHECK(*end <= size);
    }
  }
  return 0;
}
