// Reads one record of a package and installs its file under g_installRoot.
#pragma once

#include <cstdint>

#include "platform/file.h"
#include "platform/platform.h"

enum class ReadResult { kContinue = 1, kEnd = -1, kFail = 0 };

// Consumes the record at the package's position: a file entry is installed
// with its times (kContinue); the trailer's tag at `payload_end` gives kEnd;
// anything else, or an entry that cannot be installed, gives kFail.
ReadResult ReadEntry(platform::File& package, int64_t payload_end);

// Sets the three times of the existing file `target`.
bool RestoreFileTimes(const WString& target, const EntryTimes& times);
