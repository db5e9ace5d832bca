// Which entry names the applier accepts: a package may come from anywhere,
// so a name must stay a plain relative path below the install root.
#pragma once

#include "platform/platform.h"

// True when `name` is a relative "\"-separated path that cannot leave the
// directory it is joined to.
bool IsAcceptableEntryName(const WString& name);
