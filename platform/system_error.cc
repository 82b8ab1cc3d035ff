#include "platform/system_error.h"

#include <cerrno>

namespace quellsig::platform {

Error errorFromErrno(int err) {
  switch (err) {
    case ENOMEM:
      return Error::OutOfMemory;
    case EACCES:
    case EPERM:
      return Error::AccessDenied;
    case ENOENT:
      return Error::FileNotFound;
    case EISDIR:
      return Error::IsDir;
    case ENOTDIR:
      return Error::NotDir;
    case ELOOP:
      return Error::SymLinkLoop;
    case ENAMETOOLONG:
      return Error::PathTooLong;
    case EROFS:
      return Error::ReadOnlyFileSystem;
    case EMFILE:
      return Error::ProcessFdQuotaExceeded;
    case ENFILE:
      return Error::SystemFdQuotaExceeded;
    case EADDRINUSE:
      return Error::AddressInUse;
    case EADDRNOTAVAIL:
      return Error::AddressNotAvailable;
    case EPIPE:
      return Error::BrokenPipe;
    case ECONNABORTED:
    case ECONNRESET:
      return Error::ConnectionAborted;
    case ECONNREFUSED:
      return Error::ConnectionRefused;
    case EPROTO:
      return Error::ProtocolFailure;
    case ETIMEDOUT:
      return Error::TimedOut;
    case EAGAIN:
    case ENOBUFS:
      return Error::SystemResources;
    case EINVAL:
      return Error::InvalidArgument;
    case EFBIG:
      return Error::FileTooBig;
    case EEXIST:
      return Error::PathAlreadyExists;
    case ENOSPC:
    case EDQUOT:
      return Error::NoSpaceLeft;
    default:
      return Error::Unexpected;
  }
}

Error lastError() { return errorFromErrno(errno); }

}  // namespace quellsig::platform
