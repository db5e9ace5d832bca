// The encoder's side of predicted references (package/references.h): a
// patch's differences retaken against the references its operations
// predict, with the kinds and base that leave the fewest of them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "delta/split_delta.h"

namespace updater::delta {

// Retakes `delta`'s differences (made from `old_data` to `new_data`)
// against predicted references, and puts the references operation first,
// where that leaves at least a fiftieth fewer non-zero differences.
void PredictReferences(const uint8_t* old_data, size_t old_size, const uint8_t* new_data,
                       size_t new_size, SplitDelta& delta);

}  // namespace updater::delta
