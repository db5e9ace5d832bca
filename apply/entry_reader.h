// Reads one record of a package and stages its file: checks it, inflates it
// into the staging folder and gives the staged file its three times.
#pragma once

#include <cstdint>

#include "apply/staging.h"
#include "package/entry_name.h"
#include "platform/file.h"
#include "platform/platform.h"

enum class ReadResult { kContinue = 1, kEnd = -1, kFail = 0 };

// What the records read so far have established.
struct StageState {
  Staging staging;
  PackagePaths paths;  // every target so far, folded
  int64_t payload_end = 0;
  const char16_t* fault = nullptr;  // why the record read last failed, where known
};

// Consumes the record at the package's position. A file or delta entry whose name is
// acceptable and distinct ignoring case, whose target is a replaceable file
// reached through plain folders only and whose stream inflates whole is staged (kContinue); the
// trailer's tag at `payload_end` gives kEnd; anything else gives kFail.
ReadResult ReadEntry(platform::File& package, StageState& state);
