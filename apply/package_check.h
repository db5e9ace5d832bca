// The check pass: a whole package is read and verified before anything is
// written, so a damaged or hostile package changes nothing on disk.
#pragma once

#include <cstdint>

#include "platform/file.h"
#include "platform/platform.h"

// Reads every record from the package's position to the trailer at
// `payload_end` without writing anything, and puts the stream back where it
// was. True when every record is well-formed, every name acceptable and
// distinct from the others ignoring case, every content stream inflates to
// its end with a correct checksum and is followed at once by the next tag,
// the trailer is met exactly at `payload_end`, and every target is writable
// inside `install_root` once links are resolved.
bool CheckPackage(platform::File& package, int64_t payload_end, const WString& install_root);
