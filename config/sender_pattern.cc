#include "config/sender_pattern.h"

#include "config/ascii_fold.h"

namespace quellsig {

SenderPattern classifyPattern(std::string_view text) {
  if (text == "*") return {PatternKind::CatchAll, {}, {}};
  const std::size_t at = text.find('@');
  if (at == std::string_view::npos) {
    if (text.starts_with('.')) return {PatternKind::BareDotDomain, {}, text.substr(1)};
    return {PatternKind::LiteralDomain, {}, text};
  }
  const std::string_view local = text.substr(0, at);
  const std::string_view domain = text.substr(at + 1);
  if (local == "*") {
    if (domain == "*") return {PatternKind::EveryAddress, {}, {}};
    if (domain.starts_with('.')) return {PatternKind::DomainOrBelow, {}, domain.substr(1)};
    if (domain.starts_with("*.")) return {PatternKind::DomainOrBelow, {}, domain.substr(2)};
    return {PatternKind::Domain, {}, domain};
  }
  if (domain == "*") return {PatternKind::LocalAnyDomain, local, {}};
  if (domain.starts_with('.')) return {PatternKind::LocalDotDomain, local, domain.substr(1)};
  if (domain.starts_with("*.")) return {PatternKind::LocalStarDomain, local, domain.substr(2)};
  return {PatternKind::ExactAddress, local, domain};
}

SenderAddress splitSenderAddress(std::string_view address) {
  const std::size_t at = address.find('@');
  if (at == std::string_view::npos) return {{}, {}, false};
  return {address.substr(0, at), address.substr(at + 1), true};
}

bool isDomainOrBelow(std::string_view domain, std::string_view d) {
  if (domain.size() == d.size()) return equalsIgnoringAsciiCase(domain, d);
  if (domain.size() < d.size() + 1) return false;
  const std::size_t dot = domain.size() - d.size() - 1;
  return domain[dot] == '.' && equalsIgnoringAsciiCase(domain.substr(dot + 1), d);
}

bool patternMatches(const SenderPattern& p, const SenderAddress& s) {
  if (p.kind == PatternKind::CatchAll) return true;
  if (!s.has_at) return false;
  switch (p.kind) {
    case PatternKind::CatchAll:
    case PatternKind::EveryAddress:
      return true;
    case PatternKind::ExactAddress:
      return equalsIgnoringAsciiCase(s.local, p.local) &&
             equalsIgnoringAsciiCase(s.domain, p.domain);
    case PatternKind::LocalDotDomain:
    case PatternKind::LocalStarDomain:
      return equalsIgnoringAsciiCase(s.local, p.local) && isDomainOrBelow(s.domain, p.domain);
    case PatternKind::LocalAnyDomain:
      return equalsIgnoringAsciiCase(s.local, p.local);
    case PatternKind::Domain:
    case PatternKind::LiteralDomain:
      return equalsIgnoringAsciiCase(s.domain, p.domain);
    case PatternKind::DomainOrBelow:
    case PatternKind::BareDotDomain:
      return isDomainOrBelow(s.domain, p.domain);
  }
  return false;
}

}  // namespace quellsig
