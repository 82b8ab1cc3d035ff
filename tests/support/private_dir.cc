#include "tests/support/private_dir.h"

#include <stdlib.h>

#include <filesystem>
#include <vector>

#include "platform/system_error.h"

namespace quellsig::testutil {

PrivateDir& PrivateDir::operator=(PrivateDir&& o) noexcept {
  if (this != &o) {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    path_ = std::move(o.path_);
    o.path_.clear();
  }
  return *this;
}

PrivateDir::~PrivateDir() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

Result<PrivateDir> PrivateDir::create(std::string_view prefix) {
  const char* base = ::getenv("TMPDIR");
  std::string templ = (base && *base) ? base : "/tmp";
  templ += "/quellsig-";
  templ += prefix;
  templ += "-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (::mkdtemp(buf.data()) == nullptr) return fail(platform::lastError());
  PrivateDir d;
  d.path_ = buf.data();
  return d;
}

}  // namespace quellsig::testutil
