#include "engine/signer.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <initializer_list>
#include <new>

#include "engine/base64.h"
#include "engine/signature.h"
#include "engine/tag_list.h"
#include "platform/clock.h"

namespace quellsig {
namespace {

constexpr std::string_view kFieldName = "DKIM-Signature:";
constexpr std::size_t kRelaxedWidth = 78;
constexpr std::size_t kSimpleWidth = 998;
constexpr std::string_view kFold = "\r\n\t";

// Appends tags, folding before a tag that would pass the line width.
class FoldingWriter {
 public:
  FoldingWriter(std::string& out, std::size_t width) : out_(out), width_(width) {}

  // Appends the tag text name "=" value (value given in pieces, to spare the
  // caller a temporary string).
  void tag(std::string_view name, std::initializer_list<std::string_view> value = {}) {
    std::size_t length = name.size() + 1;
    for (std::string_view piece : value) length += piece.size();
    std::string_view sep = first_ ? " " : "; ";
    first_ = false;
    if (column_ > 1 && column_ + sep.size() + length > width_) {
      while (!sep.empty() && (sep.back() == ' ' || sep.back() == '\t')) sep.remove_suffix(1);
      out_.append(sep);
      out_.append(kFold);
      column_ = 1;
    } else {
      out_.append(sep);
      column_ += sep.size();
    }
    out_.append(name);
    out_.push_back('=');
    for (std::string_view piece : value) out_.append(piece);
    column_ += length;
  }

  // Data that may be cut anywhere (the base64 of bh= and b=).
  void wrapped(std::string_view data) {
    while (!data.empty()) {
      if (column_ >= width_ && column_ > 1) {
        out_.append(kFold);
        column_ = 1;
      }
      std::size_t n = column_ < width_ ? width_ - column_ : 1;
      n = std::min(n, data.size());
      out_.append(data.substr(0, n));
      column_ += n;
      data.remove_prefix(n);
    }
  }

  void restart(std::size_t column, std::size_t width) {
    column_ = column;
    width_ = width;
  }

 private:
  std::string& out_;
  std::size_t width_;
  std::size_t column_ = 16;  // after "DKIM-Signature: "
  bool first_ = true;
};

std::string_view trimListEnds(std::string_view s) {
  auto strip = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == ':'; };
  while (!s.empty() && strip(s.front())) s.remove_prefix(1);
  while (!s.empty() && strip(s.back())) s.remove_suffix(1);
  return s;
}

// Decimal digits of v, written into buf.
std::string_view decimal(std::uint64_t v, std::array<char, 24>& buf) {
  auto r = std::to_chars(buf.data(), buf.data() + buf.size(), v);
  return std::string_view(buf.data(), static_cast<std::size_t>(r.ptr - buf.data()));
}

std::size_t longestLine(std::string_view text) {
  std::size_t longest = 0;
  std::size_t start = 0;
  for (;;) {
    std::size_t lf = text.find('\n', start);
    std::string_view line = text.substr(start, lf == std::string_view::npos ? lf : lf - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    longest = std::max(longest, line.size());
    if (lf == std::string_view::npos) return longest;
    start = lf + 1;
  }
}

}  // namespace

Result<std::string> buildSignedHeaderList(std::string_view signed_headers,
                                          std::string_view oversign_headers,
                                          std::span<const std::string> raw_headers) {
  try {
    std::string list(trimListEnds(signed_headers));
    forEachListedName(oversign_headers, [&](std::string_view name) {
      // Only the first occurrence counts; the list is short, so rescanning
      // its head is cheaper than keeping the names seen.
      bool repeated = false;
      auto head = oversign_headers.substr(
          0, static_cast<std::size_t>(name.data() - oversign_headers.data()));
      forEachListedName(head, [&](std::string_view earlier) {
        if (namesEqual(earlier, name)) repeated = true;
      });
      if (repeated) return;
      std::size_t in_message = 0;
      for (const std::string& raw : raw_headers) {
        if (namesEqual(matchingName(raw), name)) ++in_message;
      }
      std::size_t listed = 0;
      forEachListedName(list, [&](std::string_view piece) {
        if (namesEqual(piece, name)) ++listed;
      });
      if (listed > in_message) return;
      for (std::size_t i = 0; i < in_message - listed + 1; ++i) {
        if (!list.empty()) list.push_back(':');
        list.append(name);
      }
    });
    return list;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<std::string> signMessage(const Message& message, std::span<const std::string> raw_headers,
                                const SigningRequest& request, const BodyHash& body_hash) {
  (void)message;  // the raw header list is the message's header block
  if (request.key == nullptr) return fail(Error::InvalidArgument);
  try {
    auto h_list =
        buildSignedHeaderList(request.signed_headers, request.oversign_headers, raw_headers);
    if (!h_list) return fail(h_list.error());

    std::string field(kFieldName);
    field.reserve(512);
    const bool relaxed = request.header_canonicalization == Canonicalization::Relaxed;
    FoldingWriter w(field, relaxed ? kRelaxedWidth : kSimpleWidth);
    std::array<char, 24> t_buf, l_buf;
    w.tag("v", {"1"});
    w.tag("a", {algorithmName(request.algorithm)});
    w.tag("c", {canonicalizationName(request.header_canonicalization), "/",
                canonicalizationName(request.body_canonicalization)});
    w.tag("d", {request.domain});
    w.tag("s", {request.selector});
    w.tag("h", {*h_list});
    if (request.include_timestamp) w.tag("t", {decimal(platform::wallClockSeconds(), t_buf)});
    if (request.include_body_length) w.tag("l", {decimal(body_hash.canonical_length, l_buf)});
    w.tag("bh");
    w.wrapped(base64Encode(body_hash.digest));
    w.tag("b");

    auto selected = selectSignedHeaders(*h_list, raw_headers);
    if (!selected) return fail(selected.error());
    auto input = buildHeaderHashInput(*selected, field, request.header_canonicalization);
    if (!input) return fail(input.error());
    auto signature = signHeaderHashInput(*request.key, request.algorithm, *input);
    if (!signature) return fail(signature.error());

    w.restart(longestLine(field), kRelaxedWidth);
    w.wrapped(base64Encode(*signature));
    return field;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

}  // namespace quellsig
