// Header and body canonicalization (RFC 6376 section 3.4), h= selection,
// b= removal, the header hash input and the body hash.
//
// Every function allocates its result and fails with OutOfMemory when memory
// runs out; relaxed header canonicalization also fails with MalformedHeader
// on a text without a colon, bodyHash with BodyLengthExceedsBody when an l=
// limit is longer than the canonical body. Results own their bytes, except
// selectSignedHeaders, whose views borrow from the raw header list.
//
// BodyCanonicalizer is owned by one verification or signing operation and used
// by one thread at a time; feed() accepts any split of the body and produces
// the same bytes as one call with all of it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/algorithms.h"
#include "platform/error.h"

namespace quellsig {

// One header field's canonical form, without line break.
Result<std::string> canonicalizeHeader(std::string_view raw, Canonicalization mode);
// The same, appended to `out`.
Result<void> appendCanonicalHeader(std::string& out, std::string_view raw, Canonicalization mode);

class BodyCanonicalizer {
 public:
  explicit BodyCanonicalizer(Canonicalization mode) : mode_(mode) {}

  Result<void> feed(std::string_view bytes);
  // The canonical body; the canonicalizer is spent afterwards.
  Result<std::string> finish();

 private:
  void feedSimple(std::string_view bytes);
  void feedRelaxed(std::string_view bytes);
  void flushBlankLines();
  void putRelaxed(char c);
  void endRelaxedLine();

  Canonicalization mode_;
  std::string output_;
  std::size_t pending_blank_lines_ = 0;
  bool pending_cr_ = false;
  bool pending_space_ = false;  // relaxed only
  // Relaxed only: the current line is being written straight into output_
  // and holds at least one byte.
  bool in_line_ = false;
};

// Calls visit(name) for every piece of a colon-separated name list (h=,
// the signer's lists), trimmed of space, tab, CR and LF; empty pieces are
// skipped.
template <typename Visit>
void forEachListedName(std::string_view list, Visit&& visit) {
  std::size_t start = 0;
  for (;;) {
    std::size_t colon = list.find(':', start);
    std::string_view piece = list.substr(
        start, colon == std::string_view::npos ? std::string_view::npos : colon - start);
    while (!piece.empty() && (piece.front() == ' ' || piece.front() == '\t' ||
                              piece.front() == '\r' || piece.front() == '\n')) {
      piece.remove_prefix(1);
    }
    while (!piece.empty() && (piece.back() == ' ' || piece.back() == '\t' || piece.back() == '\r' ||
                              piece.back() == '\n')) {
      piece.remove_suffix(1);
    }
    if (!piece.empty()) visit(piece);
    if (colon == std::string_view::npos) return;
    start = colon + 1;
  }
}

// The raw field texts an h= list selects, bottom-up per listed name; surplus
// listings select nothing.
Result<std::vector<std::string_view>> selectSignedHeaders(std::string_view h_list,
                                                          std::span<const std::string> raw_headers);

// The raw text of a received DKIM-Signature field with the value of its first
// b= tag removed (folds inside the value go with it).
Result<std::string> removeSignatureValue(std::string_view raw_signature_field);

// Each selected field canonicalized and followed by CR LF, then the
// signature field (with empty b=) canonicalized, without CR LF.
Result<std::string> buildHeaderHashInput(std::span<const std::string_view> selected,
                                         std::string_view signature_field, Canonicalization mode);

using Sha256Digest = std::array<std::uint8_t, 32>;

// Fails with OutOfMemory only.
Result<Sha256Digest> sha256(std::string_view bytes);

struct BodyHash {
  Sha256Digest digest{};
  std::uint64_t canonical_length = 0;  // octets of the whole canonical body
  std::uint64_t unsigned_octets = 0;   // canonical octets beyond the l= limit
};

// Canonicalizes the whole body and hashes it, or only its first `limit`
// octets.
Result<BodyHash> bodyHash(std::string_view body, Canonicalization mode,
                          std::optional<std::uint64_t> limit = std::nullopt);

}  // namespace quellsig
