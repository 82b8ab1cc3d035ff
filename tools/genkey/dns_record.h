// The ".dns" zone fragment that quellsig-genkey writes beside a new key.
//
// dnsRecordPath: the key path with the extension of its last component
// (trailing slashes ignored) replaced by ".dns", or ".dns" appended when that
// component has no dot. dnsRecordText: the comment line and the TXT record
// "v=DKIM1; k=<algorithm>; p=<p>" for selector._domainkey.domain., as one
// quoted string when shorter than 256 bytes, else as a parenthesised list of
// 255-byte strings (RFC 1035 section 3.3). `bits` is printed for RSA only.
// Pure functions; std::bad_alloc propagates.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quellsig {

std::string dnsRecordPath(std::string_view key_path);
std::string dnsRecordText(std::string_view selector, std::string_view domain,
                          std::string_view algorithm, std::optional<int> bits, std::string_view p);

}  // namespace quellsig
