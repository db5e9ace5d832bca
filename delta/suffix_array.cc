#include "delta/suffix_array.h"

#include <algorithm>

namespace updater::delta {

namespace {

// SA-IS (Nong, Zhang and Chan): sorts the suffixes of `s`, `n` symbols
// below `k` whose last is a unique smallest, into `sa`. `l_type[i]`: the
// suffix at i is larger than the one after it.
template <typename T>
void InduceSort(const T* s, int32_t n, int32_t k, const std::vector<bool>& l_type,
                const std::vector<int32_t>& lms, std::vector<int32_t>& sa) {
  // bucket[c] is where the suffixes starting with c begin, bucket[c + 1] where they end.
  std::vector<int32_t> bucket(k + 1, 0);
  for (int32_t i = 0; i < n; ++i) ++bucket[s[i] + 1];
  for (int32_t c = 0; c < k; ++c) bucket[c + 1] += bucket[c];
  std::vector<int32_t> next(bucket.begin() + 1, bucket.end());
  std::fill(sa.begin(), sa.end(), -1);
  for (auto i = lms.rbegin(); i != lms.rend(); ++i) sa[--next[s[*i]]] = *i;
  next.assign(bucket.begin(), bucket.end() - 1);
  for (int32_t j = 0; j < n; ++j) {
    int32_t i = sa[j];
    if (i >= 1 && l_type[i - 1]) sa[next[s[i - 1]]++] = i - 1;
  }
  next.assign(bucket.begin() + 1, bucket.end());
  for (int32_t j = n - 1; j >= 0; --j) {
    int32_t i = sa[j];
    if (i >= 1 && !l_type[i - 1]) sa[--next[s[i - 1]]] = i - 1;
  }
}

template <typename T>
std::vector<int32_t> Sais(const T* s, int32_t n, int32_t k) {
  std::vector<int32_t> sa(n);
  std::vector<bool> l_type(n);
  std::vector<int32_t> lms;  // the leftmost S positions, in text order
  for (int32_t i = n - 2; i >= 0; --i) {
    l_type[i] = s[i] > s[i + 1] || (s[i] == s[i + 1] && l_type[i + 1]);
    if (l_type[i] && !l_type[i + 1]) lms.push_back(i + 1);
  }
  std::reverse(lms.begin(), lms.end());
  InduceSort(s, n, k, l_type, lms, sa);
  auto is_lms = [&l_type](int32_t i) { return i >= 1 && l_type[i - 1] && !l_type[i]; };
  std::vector<int32_t> sorted;
  sorted.reserve(lms.size());
  for (int32_t i : sa) {
    if (is_lms(i)) sorted.push_back(i);
  }
  // Name each LMS substring by its rank among them (kept in `sa` at its position).
  int32_t name = 0;
  sa[sorted[0]] = 0;
  for (size_t j = 1; j < sorted.size(); ++j) {
    int32_t a = sorted[j - 1], b = sorted[j];
    bool differ = s[a] != s[b];
    for (int32_t x = a + 1, y = b + 1; !differ; ++x, ++y) {
      if (s[x] != s[y]) differ = true;
      bool ends_x = is_lms(x), ends_y = is_lms(y);
      if (differ || ends_x || ends_y) {
        differ = differ || ends_x != ends_y;
        break;
      }
    }
    sa[b] = differ ? ++name : name;
  }
  if (name + 1 < static_cast<int32_t>(lms.size())) {  // names repeat: sort them first
    std::vector<int32_t> reduced(lms.size());
    for (size_t j = 0; j < lms.size(); ++j) reduced[j] = sa[lms[j]];
    std::vector<int32_t>().swap(sorted);
    std::vector<int32_t> order =
        Sais(reduced.data(), static_cast<int32_t>(reduced.size()), name + 1);
    sorted.resize(lms.size());
    for (size_t j = 0; j < lms.size(); ++j) sorted[j] = lms[order[j]];
  }
  InduceSort(s, n, k, l_type, sorted, sa);
  return sa;
}

}  // namespace

std::vector<int32_t> SuffixArray(const uint8_t* data, size_t size) {
  if (size == 0) return {0};  // the empty suffix alone: SA-IS needs a symbol to sort
  // Each byte one more, and a 0 to end: the unique smallest last symbol.
  std::vector<uint16_t> text(size + 1, 0);
  for (size_t i = 0; i < size; ++i) text[i] = static_cast<uint16_t>(data[i] + 1);
  return Sais(text.data(), static_cast<int32_t>(size + 1), 257);
}

std::vector<int32_t> SuffixArrayOfPieces(const uint8_t* data, size_t size,
                                         const std::vector<size_t>& pieces, size_t piece) {
  std::vector<uint8_t> kept;
  for (size_t at : pieces) kept.insert(kept.end(), data + at, data + std::min(size, at + piece));
  std::vector<int32_t> sa = SuffixArray(kept.data(), kept.size());
  size_t to = 0;
  for (int32_t suffix : sa) {
    auto k = static_cast<size_t>(suffix);
    if (k == kept.size()) {
      sa[to++] = static_cast<int32_t>(size);
      continue;
    }
    size_t p = k / piece, at = pieces[p] + k % piece;
    bool run_ends = (k + 1) % piece == 0 && at + 1 < size &&
                    (p + 1 == pieces.size() || pieces[p + 1] != at + 1);
    if (!run_ends) sa[to++] = static_cast<int32_t>(at);
  }
  sa.resize(to);
  return sa;
}

}  // namespace updater::delta
