#include "engine/tag_list.h"

namespace quellsig {
namespace {

bool isFoldingSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool validTagName(std::string_view name) {
  if (name.empty() || !isAlpha(name.front())) return false;
  for (char c : name) {
    if (!isAlpha(c) && !isDigit(c) && c != '_') return false;
  }
  return true;
}

}  // namespace

std::string_view trimFoldingSpace(std::string_view s) {
  while (!s.empty() && isFoldingSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && isFoldingSpace(s.back())) s.remove_suffix(1);
  return s;
}

namespace detail {
std::string_view trimSpaceTab(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}
}  // namespace detail

Result<TagList> parseTagList(std::string_view value) {
  TagList list;
  std::size_t start = 0;
  for (;;) {
    std::size_t semi = value.find(';', start);
    bool last = semi == std::string_view::npos;
    std::string_view element =
        trimFoldingSpace(value.substr(start, last ? std::string_view::npos : semi - start));
    if (element.empty()) {
      // An empty element may only come last.
      std::string_view rest = last ? std::string_view{} : trimFoldingSpace(value.substr(semi + 1));
      if (!rest.empty()) return fail(Error::InvalidTagName);
      if (list.count == 0) return fail(Error::EmptyTagList);
      return list;
    }
    std::size_t eq = element.find('=');
    if (eq == std::string_view::npos) return fail(Error::MissingEquals);
    std::string_view name = trimFoldingSpace(element.substr(0, eq));
    if (!validTagName(name)) return fail(Error::InvalidTagName);
    if (list.count == kMaxTags) return fail(Error::TooManyTags);
    for (std::size_t i = 0; i < list.count; ++i) {
      if (list.names[i] == name) return fail(Error::DuplicateTagName);
    }
    list.names[list.count] = name;
    list.values[list.count++] = trimFoldingSpace(element.substr(eq + 1));
    if (last) return list;
    start = semi + 1;
  }
}

Result<Canonicalization> parseCanonicalizationName(std::string_view name) {
  if (name == "simple") return Canonicalization::Simple;
  if (name == "relaxed") return Canonicalization::Relaxed;
  return fail(Error::InvalidCanonicalization);
}

Result<CanonicalizationPair> parseCanonicalizationPair(std::string_view value) {
  CanonicalizationPair pair;
  if (value.empty()) return pair;
  std::size_t slash = value.find('/');
  auto header = parseCanonicalizationName(value.substr(0, slash));
  if (!header) return fail(header.error());
  pair.header = *header;
  if (slash != std::string_view::npos) {
    auto body = parseCanonicalizationName(value.substr(slash + 1));
    if (!body) return fail(body.error());
    pair.body = *body;
  }
  return pair;
}

Result<std::uint64_t> parseTagNumber(std::string_view text) {
  if (text.empty()) return fail(Error::InvalidArgument);
  if (text.front() == '-') {
    // "-0", "-00": negative zero reads as 0; any other negative fails.
    if (text.size() == 1) return fail(Error::InvalidArgument);
    for (char c : text.substr(1)) {
      if (c != '0') return fail(Error::InvalidArgument);
    }
    return 0;
  }
  if (text.front() == '+') text.remove_prefix(1);
  if (text.empty() || !isDigit(text.front()) || !isDigit(text.back())) {
    return fail(Error::InvalidArgument);
  }
  std::uint64_t v = 0;
  for (char c : text) {
    if (c == '_') continue;
    if (!isDigit(c)) return fail(Error::InvalidArgument);
    auto d = static_cast<std::uint64_t>(c - '0');
    if (v > (UINT64_MAX - d) / 10) return fail(Error::InvalidArgument);
    v = v * 10 + d;
  }
  return v;
}

namespace {

// Takes one tag into `f`; false with `error` set when its value is refused.
bool takeSignatureTag(SignatureFields& f, std::string_view name, std::string_view v, Error& error) {
  if (name == "v") {
    f.version = v;
  } else if (name == "a") {
    auto a = parseAlgorithmName(v);
    if (!a) {
      error = Error::UnsupportedAlgorithm;
      return false;
    }
    f.algorithm = *a;
  } else if (name == "b") {
    f.signature = v;
  } else if (name == "bh") {
    f.body_hash = v;
  } else if (name == "c") {
    auto pair = parseCanonicalizationPair(v);
    if (!pair) {
      error = pair.error();
      return false;
    }
    f.header_canonicalization = pair->header;
    f.body_canonicalization = pair->body;
  } else if (name == "d") {
    f.domain = v;
  } else if (name == "h") {
    f.signed_headers = v;
  } else if (name == "i") {
    f.identity = v;
    f.has_identity = true;
  } else if (name == "s") {
    f.selector = v;
  } else if (name == "l" || name == "t" || name == "x") {
    auto n = parseTagNumber(v);
    if (!n) return true;  // an unreadable number counts as an absent tag
    if (name == "l") {
      f.body_length = *n;
      f.has_body_length = true;
    } else if (name == "t") {
      f.timestamp = *n;
      f.has_timestamp = true;
    } else {
      f.expiration = *n;
      f.has_expiration = true;
    }
  }
  return true;
}

}  // namespace

Result<SignatureFields> extractSignatureFields(std::string_view value) {
  SignatureFields f;
  Error error{};
  bool failed = false;
  forEachTag(value, [&](std::string_view name, std::string_view v) {
    if (!failed) failed = !takeSignatureTag(f, name, v, error);
  });
  if (failed) return fail(error);
  return f;
}

Result<SignatureFields> extractSignatureFields(const TagList& tags) {
  SignatureFields f;
  Error error{};
  for (std::size_t i = 0; i < tags.count; ++i) {
    if (!takeSignatureTag(f, tags.names[i], tags.values[i], error)) return fail(error);
  }
  return f;
}

std::string_view signatureParseReason(Error e) {
  switch (e) {
    case Error::DuplicateTagName:
      return "duplicate tag in signature (RFC 6376 3.2)";
    case Error::TooManyTags:
      return "signature carries too many tags";
    case Error::UnsupportedAlgorithm:
      return "unsupported a= algorithm";
    case Error::InvalidCanonicalization:
      return "unsupported c= canonicalization (RFC 6376 6.1.1)";
    default:
      return "malformed signature";
  }
}

}  // namespace quellsig
