// PrivateDir: a fresh private directory (mode 0700) under $TMPDIR or /tmp,
// removed with everything in it when the owner destroys it. create() fails
// with the system's error. Move-only; one owner thread.
#pragma once

#include <string>
#include <string_view>

#include "platform/error.h"

namespace quellsig::testutil {

class PrivateDir {
 public:
  PrivateDir() = default;
  PrivateDir(PrivateDir&& o) noexcept : path_(std::move(o.path_)) { o.path_.clear(); }
  PrivateDir& operator=(PrivateDir&& o) noexcept;
  PrivateDir(const PrivateDir&) = delete;
  PrivateDir& operator=(const PrivateDir&) = delete;
  ~PrivateDir();

  // prefix: a short name for the directory, e.g. "nsd".
  static Result<PrivateDir> create(std::string_view prefix);
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace quellsig::testutil
