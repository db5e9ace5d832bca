#include "delta/split_delta.h"

#include "package/delta.h"

namespace updater::delta {

void AppendDifferences(const uint8_t* old, const uint8_t* fresh, size_t size, SplitDelta& out) {
  for (size_t i = 0; i < size; ++i) {
    auto d = static_cast<uint8_t>(fresh[i] - old[i]);
    if (d == 0) {
      ++out.zeros;
      continue;
    }
    package::AppendVarint(out.gaps, out.zeros);
    out.values.push_back(d);
    out.zeros = 0;
  }
}

}  // namespace updater::delta
