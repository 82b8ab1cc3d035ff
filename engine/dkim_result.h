// DkimResult: the result word of one signature evaluation, in its fixed
// numeric order. dkimResultText never fails; a value outside the seven known
// ones reads as "pass". Pure; any thread may call it.
#pragma once

#include <cstdint>
#include <string_view>

namespace quellsig {

enum class DkimResult : std::uint8_t {
  Pass = 0,
  Fail = 1,
  TempError = 2,
  PermError = 3,
  Neutral = 4,
  None = 5,
  Policy = 6,
};

constexpr std::string_view dkimResultText(DkimResult r) {
  switch (r) {
    case DkimResult::Fail:
      return "fail";
    case DkimResult::TempError:
      return "temperror";
    case DkimResult::PermError:
      return "permerror";
    case DkimResult::Neutral:
      return "neutral";
    case DkimResult::None:
      return "none";
    case DkimResult::Policy:
      return "policy";
    case DkimResult::Pass:
      break;
  }
  return "pass";
}

}  // namespace quellsig
