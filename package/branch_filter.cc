#include "package/branch_filter.h"

#include "package/format.h"

namespace updater::package {

size_t FilterBranches(uint8_t* data, size_t size, uint64_t position, bool encode) {
  size_t i = 0;
  for (; i + 5 <= size; ++i) {
    if ((data[i] & 0xFE) != 0xE8) continue;
    // An opcode's four bytes are never read as an opcode, turned or not:
    // either way they are then the same on both sides when it is decided.
    uint8_t* displacement = data + i + 1;
    i += 4;
    if (static_cast<uint8_t>(displacement[3] + 1) > 1) continue;
    uint32_t next = static_cast<uint32_t>(position + i + 1);  // where the branch is taken from
    uint32_t value = static_cast<uint32_t>(GetLittleEndian(displacement, 4));
    value = encode ? value + next : value - next;
    value = (value & 0x01000000) ? value | 0xFF000000 : value & 0x00FFFFFF;
    PutLittleEndian(displacement, value, 4);
  }
  return i;
}

}  // namespace updater::package
