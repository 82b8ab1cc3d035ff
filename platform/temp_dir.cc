#include "platform/temp_dir.h"

#include <stdlib.h>

#include <filesystem>
#include <vector>

#include "platform/system_error.h"

namespace quellsig::platform {

TempDir& TempDir::operator=(TempDir&& o) noexcept {
  if (this != &o) {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    path_ = std::move(o.path_);
    o.path_.clear();
  }
  return *this;
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

Result<TempDir> TempDir::create(std::string_view prefix) {
  const char* base = ::getenv("TMPDIR");
  std::string templ = (base && *base) ? base : "/tmp";
  templ += "/quellsig-";
  templ += prefix;
  templ += "-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (::mkdtemp(buf.data()) == nullptr) return fail(lastError());
  TempDir d;
  d.path_ = buf.data();
  return d;
}

}  // namespace quellsig::platform
