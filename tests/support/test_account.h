// TestAccount: an unprivileged account with a group of the same name, made
// with useradd for a test (the tests run as root) and removed with userdel
// and groupdel when the object goes away. ok() is false when it could not be
// made; the name carries the test process's id, so concurrent test binaries
// never share one. One owner thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/accounts.h"

namespace quellsig::testutil {

class TestAccount {
 public:
  // prefix: a short word naming the user; the account name stays short.
  explicit TestAccount(std::string_view prefix);
  TestAccount(const TestAccount&) = delete;
  TestAccount& operator=(const TestAccount&) = delete;
  ~TestAccount();

  bool ok() const { return account_.has_value(); }
  const std::string& name() const { return name_; }
  platform::Account ids() const { return *account_; }

 private:
  std::string name_;
  std::optional<platform::Account> account_;
};

}  // namespace quellsig::testutil
