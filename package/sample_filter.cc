#include "package/sample_filter.h"

namespace updater::package {

SampleDifferences::SampleDifferences(uint8_t form, bool encode)
    : channels_((form & 0x0Fu) + 1), wide_(form & 0x10), encode_(encode) {}

void SampleDifferences::Code(uint8_t* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    uint16_t& before = before_[channel_];
    const int given = data[i], shift = high_ ? 8 : 0;
    const int last = before >> shift & 0xFF;
    const int value = encode_ ? given - last - static_cast<int>(carry_)
                              : given + last + static_cast<int>(carry_);
    data[i] = static_cast<uint8_t>(value);
    const int sample = encode_ ? given : value & 0xFF;
    before = static_cast<uint16_t>((before & ~(0xFF << shift)) | sample << shift);
    carry_ = wide_ && !high_ && (value < 0 || value > 0xFF);
    high_ = wide_ && !high_;
    if (!high_) channel_ = channel_ + 1 == channels_ ? 0 : channel_ + 1;
  }
}

}  // namespace updater::package
