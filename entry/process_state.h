// The process-wide values of one run. Each mode sets what it needs once; the
// engines in build/ and apply/ never read them (they take what they need as
// arguments).
#pragma once

#include "platform/platform.h"

// Root of the tree being packed (build mode).
extern WString g_sourceRoot;
// Directory entries are extracted under (apply mode).
extern WString g_installRoot;
