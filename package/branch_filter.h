// The x86 branch filter of solid blocks: the 32-bit displacement after each
// CALL (E8) or JMP (E9) opcode that reaches at most 16 MiB either way is
// made absolute before coding (the same target called from many places then
// gives the same bytes) and relative again after decoding. Only displacements
// whose top byte is 00 or FF are turned, and a turned one is kept to 25 bits
// so that its top byte is again 00 or FF; the four bytes after an opcode are
// never taken for one: both directions turn exactly the same places.
#pragma once

#include <cstddef>
#include <cstdint>

namespace updater::package {

// Filters `data[0, size)`, the bytes from `position` on of one file, in
// place; returns how many it decided. The rest (at most 4 bytes) is passed
// again at the start of what follows, or at the file's end left as it is.
size_t FilterBranches(uint8_t* data, size_t size, uint64_t position, bool encode);

}  // namespace updater::package
