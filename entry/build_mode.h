// Build mode as the studio meets it: packs ./src onto the output named on the
// command line and reports a failure in an "ERROR" box.
#pragma once

#include "package/failure.h"
#include "platform/platform.h"

namespace updater::entry {

// The ERROR box's text for `failure`, naming its path where one is at fault.
WString BuildFailureText(const Failure& failure);

// Build mode: appends the package of ./src to `output_path`; reports failures
// in an "ERROR" box and leaves the output as it was then. True on success.
bool BuildPackage(const WString& output_path);

}  // namespace updater::entry
