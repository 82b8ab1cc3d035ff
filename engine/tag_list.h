// Tag lists (RFC 6376 section 3.2) and the fields of a DKIM-Signature value.
//
// parseTagList is the strict validating parse every signature value must pass;
// extractSignatureFields then picks out the known tags; forEachTag is the
// lenient walk shared with key records. Nothing here allocates: TagList and
// SignatureFields hold views into the parsed value, which must outlive them.
// Pure functions; any thread may call them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/algorithms.h"
#include "platform/error.h"

namespace quellsig {

inline constexpr std::size_t kMaxTags = 128;

struct TagList {
  std::array<std::string_view, kMaxTags> names;
  std::array<std::string_view, kMaxTags> values;  // trimmed of folding space
  std::size_t count = 0;
};

struct SignatureFields {
  std::string_view version = "1";
  SignatureAlgorithm algorithm = SignatureAlgorithm::RsaSha256;
  std::string_view signature;  // b=, base64 that may hold whitespace
  std::string_view body_hash;  // bh=
  Canonicalization header_canonicalization = Canonicalization::Simple;
  Canonicalization body_canonicalization = Canonicalization::Simple;
  std::string_view domain;          // d=
  std::string_view signed_headers;  // h=
  std::string_view identity;        // i=
  bool has_identity = false;        // i= present, even with an empty value
  std::string_view selector;        // s=
  std::uint64_t body_length = 0;    // l=
  bool has_body_length = false;
  std::uint64_t timestamp = 0;  // t=
  bool has_timestamp = false;
  std::uint64_t expiration = 0;  // x=
  bool has_expiration = false;
};

// Errors: EmptyTagList, MissingEquals, InvalidTagName, DuplicateTagName,
// TooManyTags.
Result<TagList> parseTagList(std::string_view value);

// Errors: UnsupportedAlgorithm, InvalidCanonicalization. Call only after a
// successful parseTagList.
Result<SignatureFields> extractSignatureFields(std::string_view value);

// The same fields from a list parseTagList already split, without a second
// walk over the value. Same errors.
Result<SignatureFields> extractSignatureFields(const TagList& tags);

// Calls visit(name, value) for every well-formed pair, in list order; empty
// elements, elements without "=" and empty names are skipped.
template <typename Visit>
void forEachTag(std::string_view list, Visit&& visit);

// "simple" or "relaxed", byte-exact; else InvalidCanonicalization.
Result<Canonicalization> parseCanonicalizationName(std::string_view name);

// A c= value: empty is simple/simple, "h" alone is h/simple, else "h/b".
// Error: InvalidCanonicalization.
struct CanonicalizationPair {
  Canonicalization header = Canonicalization::Simple;
  Canonicalization body = Canonicalization::Simple;
};
Result<CanonicalizationPair> parseCanonicalizationPair(std::string_view value);

// Decimal, one optional leading "+", underscores between digits ignored,
// "-" followed only by zeros reads as 0; at most 2^64-1. InvalidArgument else.
Result<std::uint64_t> parseTagNumber(std::string_view text);

// The verifier's reason text for a parse or extraction error.
std::string_view signatureParseReason(Error e);

// Trims space, tab, CR and LF at both ends.
std::string_view trimFoldingSpace(std::string_view s);

namespace detail {
std::string_view trimSpaceTab(std::string_view s);
}

template <typename Visit>
void forEachTag(std::string_view list, Visit&& visit) {
  std::size_t start = 0;
  for (;;) {
    std::size_t semi = list.find(';', start);
    std::string_view element = trimFoldingSpace(
        list.substr(start, semi == std::string_view::npos ? std::string_view::npos : semi - start));
    if (std::size_t eq = element.find('='); eq != std::string_view::npos) {
      std::string_view name = detail::trimSpaceTab(element.substr(0, eq));
      if (!name.empty()) visit(name, trimFoldingSpace(element.substr(eq + 1)));
    }
    if (semi == std::string_view::npos) return;
    start = semi + 1;
  }
}

}  // namespace quellsig
