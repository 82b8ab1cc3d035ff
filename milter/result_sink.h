// ResultSink: where the end-of-message evaluation and the signing step
// announce each outcome they record (one ResultRecord per verified signature,
// per whole-message verify outcome and per signing attempt).
//
// publish() never fails its caller, never blocks it and reports nothing: an
// announcement that cannot be made is dropped. The record borrows domain and
// selector from the message; a sink that keeps a record copies what it needs.
// A sink is used only by the thread that owns it.
#pragma once

#include <cstdint>
#include <string_view>

#include "engine/dkim_result.h"

namespace quellsig {

enum class ResultAction : std::uint8_t { Verify, Sign };

constexpr std::string_view resultActionText(ResultAction a) {
  switch (a) {
    case ResultAction::Sign:
      return "sign";
    case ResultAction::Verify:
      break;
  }
  return "verify";
}

// Signing attempts carry only Pass or Fail; whole-message verify outcomes
// (none, temperror, permerror) carry an empty domain and selector.
struct ResultRecord {
  ResultAction action = ResultAction::Verify;
  DkimResult result = DkimResult::None;
  std::string_view domain;
  std::string_view selector;
};

class ResultSink {
 public:
  virtual ~ResultSink() = default;
  virtual void publish(const ResultRecord& record) noexcept = 0;
};

}  // namespace quellsig
