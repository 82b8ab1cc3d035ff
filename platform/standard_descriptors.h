// Standard descriptors of a started program.
//
// openMissingStandardDescriptors opens /dev/null on each of descriptors 0, 1
// and 2 that is closed, so that the next descriptor the program makes (the
// syslog socket, a listener) cannot become standard error and receive what
// is written there. Call it first in main, before any other descriptor is
// made and before any thread exists. Fails with the error of opening
// /dev/null (then some of the three may still be closed).
#pragma once

#include "platform/error.h"

namespace quellsig::platform {

Result<void> openMissingStandardDescriptors();

}  // namespace quellsig::platform
