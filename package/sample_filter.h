// The sample filter of solid blocks, for uncompressed sound (PCM): each
// sample is coded as its difference from the sample one frame before (the
// same channel's), which is small where the sound is smooth, so that the
// coder finds the same few values again. 8-bit samples differ as bytes,
// 16-bit ones as little-endian 16-bit numbers (both wrapping); a file's
// bytes are taken as samples from its first byte on (a WAVE file's samples
// start at an even offset, so the header shifts nothing).
#pragma once

#include <cstddef>
#include <cstdint>

namespace updater::package {

// A file's form of samples, as a solid block's file record holds it: bits 0
// to 3 the channels less one, bit 4 set for 16-bit samples (else 8-bit).
inline constexpr uint8_t kMostSampleForm = 0x1F;

// Turns samples into differences (`encode`) or back, in place, over a
// file's bytes in order in pieces of any size. Each byte is decided as it
// comes: a 16-bit difference's low byte, then its high byte with the
// borrow (or carry) of the low one, so that a file's size plays no part.
class SampleDifferences {
 public:
  SampleDifferences(uint8_t form, bool encode);
  void Code(uint8_t* data, size_t size);

 private:
  const unsigned channels_;
  const bool wide_, encode_;
  uint16_t before_[16]{};  // the last sample of each channel, as the file has it
  unsigned channel_ = 0, carry_ = 0;
  bool high_ = false;  // the next byte is a 16-bit sample's second
};

}  // namespace updater::package
