#include "engine/canonicalization.h"

#include <openssl/evp.h>

#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/message.h"
#include "engine/tag_list.h"

namespace quellsig {
namespace {

bool isSpaceTab(char c) { return c == ' ' || c == '\t'; }

// Relaxed body: bytes that go into the line unchanged (everything but space,
// tab and CR; a lone LF is data).
constexpr std::array<bool, 256> makeOrdinaryTable() {
  std::array<bool, 256> t{};
  for (auto& v : t) v = true;
  t[' '] = t['\t'] = t['\r'] = false;
  return t;
}
constexpr auto kOrdinary = makeOrdinaryTable();

inline bool ordinary(char c) { return kOrdinary[static_cast<unsigned char>(c)]; }

// Skips bytes that are already canonical inside a line, 16 at a time: no
// tab or CR, and every space followed by an ordinary byte. Stops at the first
// byte it cannot vouch for (a space at a block's end included); the caller
// guarantees no whitespace is pending before `p`.
inline const char* skipCanonicalBlocks(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i space = _mm_set1_epi8(' ');
  const __m128i tab = _mm_set1_epi8('\t');
  const __m128i cr = _mm_set1_epi8('\r');
  while (end - p >= 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    unsigned sp = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, space)));
    unsigned other = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, tab), _mm_cmpeq_epi8(v, cr))));
    unsigned bad = other | (sp & ((sp | other) >> 1)) | (sp & 0x8000u);
    if (bad != 0) return p + __builtin_ctz(bad);
    p += 16;
  }
#else
  (void)end;
#endif
  return p;
}

bool plainHeaderByte(char c) { return c != ' ' && c != '\t' && c != '\r' && c != '\n'; }

// The end of the run from v[i] (a plain byte) that relaxed canonicalization
// copies unchanged: plain bytes and single spaces each followed by one. Copying
// runs instead of bytes matters: the signer canonicalizes its header block
// once per signature.
std::size_t plainHeaderRunEnd(std::string_view v, std::size_t i) {
  std::size_t j = i + 1;
  while (j < v.size()) {
    if (plainHeaderByte(v[j])) {
      ++j;
    } else if (v[j] == ' ' && j + 1 < v.size() && plainHeaderByte(v[j + 1])) {
      j += 2;
    } else {
      break;
    }
  }
  return j;
}

void appendRelaxedHeader(std::string& out, std::string_view raw, std::size_t colon) {
  std::string_view name = raw.substr(0, colon);
  while (!name.empty() && isSpaceTab(name.back())) name.remove_suffix(1);
  for (char c : name) out.push_back((c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c);
  out.push_back(':');
  const std::size_t value_start = out.size();
  std::string_view v = raw.substr(colon + 1);
  bool space = false;
  for (std::size_t i = 0; i < v.size();) {
    char c = v[i];
    if (isSpaceTab(c)) {
      space = true;
      ++i;
      continue;
    }
    if (c == '\r' && i + 2 < v.size() && v[i + 1] == '\n' && isSpaceTab(v[i + 2])) {
      space = true;
      i += 2;
      continue;
    }
    if (c == '\n' && i + 1 < v.size() && isSpaceTab(v[i + 1])) {
      space = true;
      ++i;
      continue;
    }
    // Pending whitespace before the first byte is a leading space that the
    // trim below removes again; only a space is written here, never CR LF.
    if (space && out.size() > value_start) out.push_back(' ');
    space = false;
    std::size_t end = c == '\r' || c == '\n' ? i + 1 : plainHeaderRunEnd(v, i);
    out.append(v.substr(i, end - i));
    i = end;
  }
  // Trim the produced value: a stray CR or LF may lead or end it.
  std::size_t b = value_start;
  while (b < out.size() && (out[b] == '\r' || out[b] == '\n' || isSpaceTab(out[b]))) ++b;
  out.erase(value_start, b - value_start);
  while (out.size() > value_start &&
         (out.back() == '\r' || out.back() == '\n' || isSpaceTab(out.back()))) {
    out.pop_back();
  }
}

}  // namespace

Result<void> appendCanonicalHeader(std::string& out, std::string_view raw, Canonicalization mode) {
  try {
    if (mode == Canonicalization::Simple) {
      out.append(raw);
      return {};
    }
    std::size_t colon = raw.find(':');
    if (colon == std::string_view::npos) return fail(Error::MalformedHeader);
    appendRelaxedHeader(out, raw, colon);
    return {};
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<std::string> canonicalizeHeader(std::string_view raw, Canonicalization mode) {
  try {
    std::string out;
    out.reserve(raw.size());
    if (auto r = appendCanonicalHeader(out, raw, mode); !r) return fail(r.error());
    return out;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

// ---------------------------------------------------------------------------
// Body canonicalization.
//
// Both modes hold trailing line breaks as a counter. Simple mode copies runs
// in bulk: apart from the held line breaks at the end of the input, the
// canonical simple body is the input itself. Relaxed mode writes the current
// line straight into the output; the held line breaks are written when a line
// gets its first byte, which yields the same bytes as holding the line apart.

void BodyCanonicalizer::flushBlankLines() {
  for (; pending_blank_lines_ > 0; --pending_blank_lines_) output_.append("\r\n", 2);
}

void BodyCanonicalizer::feedSimple(std::string_view s) {
  if (pending_cr_ && !s.empty()) {
    pending_cr_ = false;
    if (s.front() == '\n') {
      ++pending_blank_lines_;
      s.remove_prefix(1);
    } else {
      flushBlankLines();
      output_.push_back('\r');
    }
  }
  if (s.empty()) return;
  // A CR at the very end waits for its successor; the CR LF pairs before it
  // are line breaks held back until more data shows they are not trailing.
  bool trailing_cr = s.back() == '\r';
  if (trailing_cr) s.remove_suffix(1);
  std::size_t held = 0;
  while (s.size() >= 2 && s[s.size() - 2] == '\r' && s.back() == '\n') {
    s.remove_suffix(2);
    ++held;
  }
  if (!s.empty()) {
    flushBlankLines();
    output_.append(s);
  }
  pending_blank_lines_ += held;
  pending_cr_ = trailing_cr;
}

inline void BodyCanonicalizer::putRelaxed(char c) {
  if (!in_line_) {
    flushBlankLines();
    in_line_ = true;
  }
  if (pending_space_) {
    output_.push_back(' ');
    pending_space_ = false;
  }
  output_.push_back(c);
}

inline void BodyCanonicalizer::endRelaxedLine() {
  pending_space_ = false;
  if (in_line_) {
    output_.append("\r\n", 2);
    in_line_ = false;
  } else {
    ++pending_blank_lines_;
  }
}

void BodyCanonicalizer::feedRelaxed(std::string_view s) {
  const char* p = s.data();
  const char* const end = p + s.size();
  while (p < end) {
    if (in_line_ && !pending_space_ && !pending_cr_) {
      // Ordinary bytes, and single spaces between ordinary bytes, are
      // already canonical: copy the whole run at once.
      const char* q = p;
      for (;;) {
        q = skipCanonicalBlocks(q, end);
        if (q < end && ordinary(*q)) {
          ++q;
        } else if (q + 1 < end && *q == ' ' && ordinary(q[1])) {
          q += 2;
        } else {
          break;
        }
      }
      if (q != p) {
        output_.append(p, static_cast<std::size_t>(q - p));
        p = q;
        if (p == end) break;
      }
    }
    char c = *p++;
    if (pending_cr_) {
      pending_cr_ = false;
      if (c == '\n') {
        endRelaxedLine();
        continue;
      }
      putRelaxed('\r');
    }
    if (isSpaceTab(c)) {
      pending_space_ = true;
    } else if (c == '\r') {
      pending_cr_ = true;
    } else {
      putRelaxed(c);
    }
  }
}

Result<void> BodyCanonicalizer::feed(std::string_view bytes) {
  try {
    // Canonical output never outgrows the input by more than the final CR LF;
    // reserving keeps a one-call feed to a single allocation.
    output_.reserve(output_.size() + pending_blank_lines_ * 2 + bytes.size() + 3);
    if (mode_ == Canonicalization::Simple) {
      feedSimple(bytes);
    } else {
      feedRelaxed(bytes);
    }
    return {};
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<std::string> BodyCanonicalizer::finish() {
  try {
    if (mode_ == Canonicalization::Simple) {
      if (pending_cr_) {
        flushBlankLines();
        output_.push_back('\r');
      }
      if (output_.size() < 2 || output_.compare(output_.size() - 2, 2, "\r\n") != 0) {
        output_.append("\r\n", 2);
      }
    } else {
      if (pending_cr_) putRelaxed('\r');
      if (in_line_) endRelaxedLine();
    }
    pending_cr_ = false;
    pending_space_ = false;
    pending_blank_lines_ = 0;
    return std::move(output_);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

// ---------------------------------------------------------------------------

Result<std::vector<std::string_view>> selectSignedHeaders(
    std::string_view h_list, std::span<const std::string> raw_headers) {
  try {
    std::vector<std::string_view> pieces;
    forEachListedName(h_list, [&](std::string_view piece) { pieces.push_back(piece); });
    std::vector<std::string_view> selected;
    selected.reserve(pieces.size());
    for (std::size_t k = 0; k < pieces.size(); ++k) {
      std::size_t occurrence = 0;
      for (std::size_t j = 0; j < k; ++j) {
        if (namesEqual(pieces[j], pieces[k])) ++occurrence;
      }
      for (std::size_t i = raw_headers.size(); i-- > 0;) {
        if (!namesEqual(matchingName(raw_headers[i]), pieces[k])) continue;
        if (occurrence == 0) {
          selected.push_back(raw_headers[i]);
          break;
        }
        --occurrence;
      }
    }
    return selected;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<std::string> removeSignatureValue(std::string_view raw) {
  try {
    std::size_t pos = 0;
    std::size_t stop = raw.find_first_of(":=;");
    if (stop != std::string_view::npos && raw[stop] == ':') pos = stop + 1;
    while (pos <= raw.size()) {
      std::size_t semi = raw.find(';', pos);
      std::size_t piece_end = semi == std::string_view::npos ? raw.size() : semi;
      std::size_t eq = raw.find('=', pos);
      if (eq != std::string_view::npos && eq < piece_end &&
          trimFoldingSpace(raw.substr(pos, eq - pos)) == "b") {
        std::string out;
        out.reserve(raw.size() - (piece_end - eq - 1));
        out.append(raw.substr(0, eq + 1));
        out.append(raw.substr(piece_end));
        return out;
      }
      if (semi == std::string_view::npos) break;
      pos = semi + 1;
    }
    return std::string(raw);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<std::string> buildHeaderHashInput(std::span<const std::string_view> selected,
                                         std::string_view signature_field, Canonicalization mode) {
  try {
    std::size_t size = signature_field.size();
    for (std::string_view f : selected) size += f.size() + 2;
    std::string input;
    input.reserve(size);
    for (std::string_view f : selected) {
      if (auto r = appendCanonicalHeader(input, f, mode); !r) return fail(r.error());
      input.append("\r\n", 2);
    }
    if (auto r = appendCanonicalHeader(input, signature_field, mode); !r) return fail(r.error());
    return input;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<Sha256Digest> sha256(std::string_view bytes) {
  // Fetched once: the one-shot SHA256() looks the algorithm up on every call,
  // which costs more than hashing a header block.
  static EVP_MD* const md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  Sha256Digest d;
  unsigned int len = 0;
  if (md == nullptr || EVP_Digest(bytes.data(), bytes.size(), d.data(), &len, md, nullptr) != 1 ||
      len != d.size()) {
    return fail(Error::OutOfMemory);  // libcrypto fails here only for want of memory
  }
  return d;
}

Result<BodyHash> bodyHash(std::string_view body, Canonicalization mode,
                          std::optional<std::uint64_t> limit) {
  BodyCanonicalizer canon(mode);
  if (auto r = canon.feed(body); !r) return fail(r.error());
  auto canonical = canon.finish();
  if (!canonical) return fail(canonical.error());
  BodyHash h;
  h.canonical_length = canonical->size();
  std::string_view hashed = *canonical;
  if (limit) {
    if (*limit > h.canonical_length) return fail(Error::BodyLengthExceedsBody);
    hashed = hashed.substr(0, static_cast<std::size_t>(*limit));
    h.unsigned_octets = h.canonical_length - *limit;
  }
  auto digest = sha256(hashed);
  if (!digest) return fail(digest.error());
  h.digest = *digest;
  return h;
}

}  // namespace quellsig
