#include "platform/error.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/system_error.h"

namespace quellsig {
namespace {

TEST(ErrorTest, NamesAreTheEnumeratorNames) {
  EXPECT_EQ(errorName(Error::FileNotFound), "FileNotFound");
  EXPECT_EQ(errorName(Error::RsaKeyTooSmall), "RsaKeyTooSmall");
  EXPECT_EQ(errorName(Error::PrivilegeDropNotEffective), "PrivilegeDropNotEffective");
}

TEST(ErrorTest, ErrnoBorderMapsTheCommonCases) {
  struct Case {
    int err;
    Error want;
  } cases[] = {
      {ENOENT, Error::FileNotFound},
      {EACCES, Error::AccessDenied},
      {EISDIR, Error::IsDir},
      {ELOOP, Error::SymLinkLoop},
      {EADDRINUSE, Error::AddressInUse},
      {ENOMEM, Error::OutOfMemory},
      {EMFILE, Error::ProcessFdQuotaExceeded},
      {EEXIST, Error::PathAlreadyExists},
      {ENOSPC, Error::NoSpaceLeft},
      {EXDEV, Error::Unexpected},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::errorFromErrno(c.err), c.want) << "errno " << c.err;
  }
}

}  // namespace
}  // namespace quellsig
