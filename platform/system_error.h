// The one border where errno values become named errors.
//
// errorFromErrno maps the errno values the system can return to the named
// error that describes them; anything without a closer name is Unexpected.
// lastError() reads errno of the calling thread.
#pragma once

#include "platform/error.h"

namespace quellsig::platform {

Error errorFromErrno(int err);
Error lastError();

}  // namespace quellsig::platform
