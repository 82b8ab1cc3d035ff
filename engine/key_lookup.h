// KeyLookup: how the verifier fetches the TXT records of a key record name.
//
// The engine does not know the resolver; the daemon and the check tool bind
// this interface to their thread's DnsResolver. lookupKeyRecords returns every
// answer record of a successful reply in reply order (any type, possibly
// none), with each TXT record's character-strings joined end to end, or the
// resolver's named error. The caller owns the returned records. An
// implementation is used by one thread only, the one that owns its resolver.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"

namespace quellsig {

inline constexpr std::uint16_t kKeyAnswerTypeTxt = 16;

struct KeyAnswer {
  std::uint16_t type = 0;
  std::string data;  // joined character-strings for TXT; unspecified otherwise
};

class KeyLookup {
 public:
  virtual ~KeyLookup() = default;
  virtual Result<std::vector<KeyAnswer>> lookupKeyRecords(std::string_view name) = 0;
};

// Builds the lookup of a tool that asks one nameserver; InvalidNameserver when
// the address is not an IP literal.
using KeyLookupFactory = std::function<Result<std::unique_ptr<KeyLookup>>(
    std::string_view nameserver, std::uint16_t port)>;

}  // namespace quellsig
