// Build mode as the studio meets it: packs ./src onto the output named on the
// command line and reports a failure in an "ERROR" box.
#pragma once

#include "build/package_builder.h"
#include "platform/platform.h"

// The ERROR box's text for the failure in `walk`, naming its path.
WString BuildFailureText(const SourceWalk& walk);

// Build mode: appends the package of ./src to `output_path`; reports failures
// in an "ERROR" box and leaves the output as it was then. True on success.
bool BuildPackage(const WString& output_path);
