// The verdict of one signature check against one public key: verified, not
// verified (the signature does not match), or rejected with a static reason
// text of the verification table (the key or the check itself is unusable).
// A plain value; any thread may hold it.
#pragma once

#include <string_view>

namespace quellsig {

struct KeyVerifyResult {
  enum class Status { Verified, NotVerified, Rejected };
  Status status = Status::NotVerified;
  std::string_view reason;  // static text, set when Rejected
};

}  // namespace quellsig
