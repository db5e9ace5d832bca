// The process-wide values of one run. Each mode sets what it needs once.
#pragma once

#include "package/format.h"
#include "platform/platform.h"

// Root of the tree being packed (build mode).
extern WString g_sourceRoot;
// Directory entries are extracted under (apply mode).
extern WString g_installRoot;
// Package the build-mode walk appends records to; null outside the walk.
extern PackageOut* g_packageOut;
