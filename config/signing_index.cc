#include "config/signing_index.h"

#include <algorithm>

namespace quellsig {

void SigningIndex::build(std::span<const std::string_view> patterns) {
  for (std::uint32_t line = 0; line < patterns.size(); ++line) {
    const std::string_view text = patterns[line];
    const SenderPattern p = classifyPattern(text);
    switch (p.kind) {
      case PatternKind::CatchAll:
        catch_all_ = std::min(catch_all_, line);
        break;
      case PatternKind::EveryAddress:
        every_address_ = std::min(every_address_, line);
        break;
      case PatternKind::ExactAddress:
        exact_.insert(text, line);
        break;
      case PatternKind::Domain:
      case PatternKind::LiteralDomain:
        domain_.insert(p.domain, line);
        break;
      case PatternKind::DomainOrBelow:
        below_.insert(p.domain, line);
        break;
      case PatternKind::LocalDotDomain:
        local_dot_.insert(text, line);
        break;
      case PatternKind::BareDotDomain:
        bare_dot_.insert(text, line);
        break;
      case PatternKind::LocalAnyDomain:
        local_any_.insert(text, line);
        break;
      case PatternKind::LocalStarDomain:
        local_star_.insert(text, line);
        break;
    }
  }
}

std::uint32_t SigningIndex::firstMatch(std::string_view address) const {
  std::uint32_t best = catch_all_;
  const SenderAddress sender = splitSenderAddress(address);
  if (!sender.has_at) return best;
  best = std::min(best, every_address_);
  best = std::min(best, exact_.find({address}));
  best = std::min(best, domain_.find({sender.domain}));
  best = std::min(best, local_any_.find({sender.local, "@*"}));
  // The domain itself, then the text after each of its dots.
  std::string_view suffix = sender.domain;
  for (;;) {
    best = std::min(best, below_.find({suffix}));
    best = std::min(best, local_dot_.find({sender.local, "@.", suffix}));
    best = std::min(best, bare_dot_.find({".", suffix}));
    best = std::min(best, local_star_.find({sender.local, "@*.", suffix}));
    const std::size_t dot = suffix.find('.');
    if (dot == std::string_view::npos) break;
    suffix.remove_prefix(dot + 1);
  }
  return best;
}

}  // namespace quellsig
