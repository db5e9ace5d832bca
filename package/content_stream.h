// The content of each entry is one zlib stream (RFC 1950) written right after
// its record header (package/parallel_deflate writes them). No length is stored: the inflate side
// stops at the stream's end and gives back what it read beyond it, so the package stays positioned
// exactly at the next record.
#pragma once

#include <cstdint>
#include <functional>

#include "package/format.h"
#include "platform/file.h"
#include "platform/platform.h"

// The first read of the inflate pump; later reads double up to the largest,
// which is also the size of its output buffer.
inline constexpr size_t kStreamBufferSize = 1024;
inline constexpr size_t kInflateBufferSize = 256 * 1024;

// Receives inflated bytes; returning false fails the inflation.
using ByteSink = std::function<bool(const uint8_t* data, size_t size)>;

// Inflates the zlib stream at the package's position into `sink` and leaves
// the package at the first byte after it. False when the stream is damaged,
// ends early, or the sink fails.
bool InflateStream(platform::File& package, const ByteSink& sink);
