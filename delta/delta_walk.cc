#include "delta/delta_walk.h"

#include <algorithm>
#include <cstring>

#include "delta/block_match.h"
#include "package/delta.h"

namespace updater::delta {

namespace {

// The longest match the old file has for the start of the new file, not
// longer than kLongestMatch.
constexpr int64_t kLongestMatch = 1 << 20;
// How many more bytes a new match must have than the current alignment.
constexpr int64_t kBetter = 8;
// A match at least this long that is no better than the alignment is passed
// over to kSkipBack bytes before its end: the matches that start inside it
// are its own tails, no better either, or reach past that point, where the
// search finds them. (Searching again at every byte of a 1 MiB match that
// an alignment nearly follows costs a million comparisons a byte.)
constexpr int64_t kSkipFrom = 4096;
constexpr int64_t kSkipBack = 16;
// Bytes that neither the search nor the last alignment matches (new
// assets, data compressed anew) cost a search each, a dozen cache misses,
// for nothing. The walk counts them as misses, a byte the alignment holds
// one less and a match it takes its length less; past kMissesBeforeStep it
// steps over one more position every kMissesPerStep misses, at most
// kLongestStep: a match at least kLongestStep + kBetter long is still found
// at a position inside it and extended backwards to its start. Where the
// alignment holds at least half of the bytes (code whose addresses moved),
// the count stays near zero and every position is searched.
constexpr int64_t kMissesBeforeStep = 256;
constexpr int64_t kMissesPerStep = 64;
constexpr int64_t kLongestStep = 64;

// Walks the new file as bsdiff does and writes the four streams.
class DeltaWalk {
 public:
  DeltaWalk(const uint8_t* old_data, int64_t old_size, const uint8_t* new_data, int64_t new_size,
            const std::vector<int32_t>& sa, const BlockIndex* blocks, int64_t budget,
            int64_t copy_run, std::atomic<int64_t>* progress)
      : progress_(progress),
        old_(old_data),
        old_size_(old_size),
        new_(new_data),
        new_size_(new_size),
        sa_(sa),
        sa_last_(static_cast<int64_t>(sa.size()) - 1),
        blocks_(blocks),
        budget_(budget),
        copy_run_(copy_run),
        first_(65537, 0) {
    // first_[p]: where the suffixes starting with the two bytes p (high byte
    // first), or with more, begin in the suffix array.
    for (int64_t i = 0; i <= sa_last_; ++i) {
      if (sa_[i] < old_size_) ++first_[Prefix(sa_[i], old_, old_size_) + 1];
    }
    first_[0] = 1;  // after the empty suffix
    for (size_t p = 1; p < first_.size(); ++p) first_[p] += first_[p - 1];
  }

  WalkEnd Run(SplitDelta& out);

 private:
  // How many bytes agree from `old_at` and `new_at`, where the first `known` do.
  int64_t MatchLength(int64_t old_at, int64_t new_at, int64_t known = 0) {
    int64_t most = std::min({old_size_ - old_at, new_size_ - new_at, kLongestMatch});
    int64_t n = std::min(known, most);
    budget_ -= 1 - n;
    // Eight bytes at a time to the word that differs, then byte by byte.
    for (uint64_t a, b; n + 8 <= most; n += 8) {
      std::memcpy(&a, old_ + old_at + n, 8);
      std::memcpy(&b, new_ + new_at + n, 8);
      if (a != b) break;
    }
    while (n < most && old_[old_at + n] == new_[new_at + n]) ++n;
    budget_ -= n;
    return n;
  }
  // The longest match of the new file at `new_at` in the old file: its length and `pos`.
  int64_t Search(int64_t new_at, int64_t& pos);
  // The hash of the kBlock new bytes from `at`, which blocks_ are found by.
  uint64_t HashAt(int64_t at);
  // Whether an old block holds the kBlock new bytes from `at`.
  bool BlockAt(int64_t at) {
    return at + static_cast<int64_t>(kBlock) <= new_size_ &&
           blocks_->Find(new_ + at, HashAt(at)) != SIZE_MAX;
  }
  void Emit(SplitDelta& out, int64_t diff_from, int64_t diff_at, int64_t diff_length,
            int64_t literal_at, int64_t literal_length);
  // `length` new bytes at `at` told against the old ones at `from`: as
  // differences, but for their unrelated pieces.
  void Differences(SplitDelta& out, int64_t from, int64_t at, int64_t length);
  // Every operation but a literal goes through Operation, which writes the
  // literal bytes before it first; the walk takes the new file in order, so
  // the literal bytes pending always end where the next ones start.
  void Operation(SplitDelta& out, package::SplitOp kind, int64_t from, int64_t length);
  void Literal(int64_t at, int64_t length) {
    if (literal_length_ == 0) literal_at_ = at;
    literal_length_ += length;
  }
  void FlushLiteral(SplitDelta& out);
  bool Agree(int64_t old_at, int64_t new_at) const {
    return old_at >= 0 && old_at < old_size_ && old_[old_at] == new_[new_at];
  }

  std::atomic<int64_t>* progress_;
  const uint8_t* old_;
  int64_t old_size_;
  const uint8_t* new_;
  int64_t new_size_;
  // The two bytes at `at` of `data` as a number, high first; a last byte alone
  // counts as itself followed by 0, which it sorts before.
  static int32_t Prefix(int64_t at, const uint8_t* data, int64_t size) {
    return data[at] << 8 | (at + 1 < size ? data[at + 1] : 0);
  }

  const std::vector<int32_t>& sa_;
  int64_t sa_last_;  // the index of its last suffix
  // Where the suffixes are those of the old file's sparse pieces only, its
  // blocks, which a search also looks up: see WalkDelta.
  const BlockIndex* blocks_;
  RollingHash hash_;  // of the kBlock new bytes from hashed_at_: hash_value_
  int64_t hashed_at_ = -2;
  uint64_t hash_value_ = 0;
  int64_t budget_;
  int64_t copy_run_;            // equal bytes in a row an aligned stretch copies
  std::vector<int64_t> first_;  // the suffixes by their first two bytes
  int64_t copy_end_ = 0;        // where the last copy or difference ended in the old file
  // New bytes taken as they are and not yet written: the unrelated pieces
  // of an aligned stretch and the bytes up to the next match go as one.
  int64_t literal_at_ = 0, literal_length_ = 0;
};

int64_t DeltaWalk::Search(int64_t new_at, int64_t& pos) {
  // Binary search over the sorted suffixes; every suffix between two others
  // agrees with the new file at least as far as both of them do, so each
  // comparison starts there.
  int64_t low = 0, high = sa_last_;
  if (new_at + 1 < new_size_) {
    // Only the suffixes that start with the same two bytes can match more
    // than one: the search starts from those just around them.
    int32_t prefix = Prefix(new_at, new_, new_size_);
    if (first_[prefix] < first_[prefix + 1]) {
      low = first_[prefix] - 1;
      high = std::min<int64_t>(first_[prefix + 1], sa_last_);
    }
  }
  int64_t low_n = MatchLength(sa_[low], new_at), high_n = MatchLength(sa_[high], new_at);
  while (high - low >= 2) {
    int64_t middle = low + (high - low) / 2;
    int64_t at = sa_[middle];
    // (Suffixes sorted as pieces apart agree only as far as their piece goes.)
    int64_t n = MatchLength(at, new_at, blocks_ ? 0 : std::min(low_n, high_n));
    bool less = at + n == old_size_ ||
                (new_at + n < new_size_ && n < kLongestMatch && old_[at + n] < new_[new_at + n]);
    (less ? low : high) = middle;
    (less ? low_n : high_n) = n;
  }
  pos = low_n >= high_n ? sa_[low] : sa_[high];
  int64_t length = std::max(low_n, high_n);
  if (!blocks_ || new_at + static_cast<int64_t>(kBlock) > new_size_) return length;
  uint64_t hash = HashAt(new_at);
  if (length < 2 * static_cast<int64_t>(kBlock)) {
    size_t from = blocks_->Find(new_ + new_at, hash);
    int64_t n = from == SIZE_MAX ? 0 : MatchLength(static_cast<int64_t>(from), new_at, kBlock);
    if (n > length) pos = static_cast<int64_t>(from), length = n;
  }
  return length;
}

uint64_t DeltaWalk::HashAt(int64_t at) {
  // The walk goes on from the position before, most often: the hash rolls.
  if (at != hashed_at_) {
    hash_value_ = at == hashed_at_ + 1 ? hash_.Roll(new_[at - 1], new_[at + kBlock - 1])
                                       : hash_.Start(new_ + at);
    hashed_at_ = at;
  }
  return hash_value_;
}

void DeltaWalk::Emit(SplitDelta& out, int64_t diff_from, int64_t diff_at, int64_t diff_length,
                     int64_t literal_at, int64_t literal_length) {
  // The aligned stretch: differences, except that a run of copy_run_ or
  // more equal bytes is a copy and an unrelated piece literals.
  auto equal = [&](int64_t i) { return new_[diff_at + i] == old_[diff_from + i]; };
  for (int64_t i = 0; i < diff_length;) {
    int64_t run = i, end = i;  // the next run of equal bytes long enough to copy
    for (;;) {
      while (run < diff_length && !equal(run)) ++run;
      for (end = run; end < diff_length && equal(end);) ++end;
      if (end - run >= copy_run_ || end == diff_length) break;
      run = end;
    }
    if (end - run < copy_run_) run = end = diff_length;  // a short tail: differences
    if (run > i) Differences(out, diff_from + i, diff_at + i, run - i);
    if (end > run) Operation(out, package::SplitOp::kCopy, diff_from + run, end - run);
    i = end;
  }
  if (literal_length > 0) Literal(literal_at, literal_length);
}

void DeltaWalk::Differences(SplitDelta& out, int64_t from, int64_t at, int64_t length) {
  int64_t start = 0;  // the first byte not written yet
  auto differences = [&](int64_t end) {
    if (end <= start) return;
    AppendDifferences(old_ + from + start, new_ + at + start, static_cast<size_t>(end - start),
                      out);
    Operation(out, package::SplitOp::kDifference, from + start, end - start);
    start = end;
  };
  // Weighed in pieces of kPiece, the last one with the rest: fewer bytes
  // tell too little.
  constexpr int64_t kPiece = 4096;
  for (int64_t done = 0; length >= kPiece && done < length;) {
    int64_t piece = length - done < 2 * kPiece ? length - done : kPiece;
    if (Unrelated(old_ + from + done, new_ + at + done, static_cast<size_t>(piece))) {
      differences(done);
      Literal(at + done, piece);
      start = done + piece;
    }
    done += piece;
  }
  differences(length);
}

void DeltaWalk::FlushLiteral(SplitDelta& out) {
  if (literal_length_ == 0) return;
  package::AppendSplitOp(out.operations, package::SplitOp::kLiteral,
                         static_cast<uint64_t>(literal_length_), 0);
  out.literals.insert(out.literals.end(), new_ + literal_at_, new_ + literal_at_ + literal_length_);
  literal_length_ = 0;
}

void DeltaWalk::Operation(SplitDelta& out, package::SplitOp kind, int64_t from, int64_t length) {
  FlushLiteral(out);
  package::AppendSplitOp(out.operations, kind, static_cast<uint64_t>(length), from - copy_end_);
  copy_end_ = from + length;
}

WalkEnd DeltaWalk::Run(SplitDelta& out) {
  int64_t scan = 0, length = 0, pos = 0, last_scan = 0, last_pos = 0, last_offset = 0;
  int64_t misses = 0;
  while (scan < new_size_) {
    int64_t old_score = 0;
    int64_t scored = scan += length;
    // Find a match better than following the last alignment further.
    for (; scan < new_size_; ++scan) {
      if (budget_ < 0) {  // out of work: what is made stays
        FlushLiteral(out);
        return {last_scan, copy_end_};
      }
      length = Search(scan, pos);
      for (; scored < scan + length; ++scored) old_score += Agree(scored + last_offset, scored);
      if ((length == old_score && length != 0) || length > old_score + kBetter) break;
      bool agreed = Agree(scan + last_offset, scan);
      old_score -= agreed;
      for (int64_t end = scan + length - kSkipBack; length >= kSkipFrom && scan + 1 < end;) {
        ++scan;
        old_score -= Agree(scan + last_offset, scan);
      }
      misses = std::max<int64_t>(0, misses + (agreed ? -1 : 1));
      int64_t step = std::min(kLongestStep, 1 + (misses - kMissesBeforeStep) / kMissesPerStep);
      for (; step > 1 && scan + 2 < new_size_; --step) {
        // A block is found only at its own offset: where blocks stand in for
        // sorted suffixes, a step stops at one (a lookup costs a tenth of a
        // search).
        if (blocks_ && BlockAt(scan + 1)) break;
        ++scan;
        if (scan < scored) {
          old_score -= Agree(scan + last_offset, scan);
        } else {
          scored = scan + 1;
        }
      }
    }
    misses = std::max<int64_t>(0, misses - length);
    if (length == old_score && scan != new_size_) continue;
    // Extend the last alignment forwards and the new one backwards while at
    // least half of the bytes agree, and split where they overlap.
    int64_t forward = 0, best = 0;
    for (int64_t i = 0, agree = 0; last_scan + i < scan && last_pos + i < old_size_;) {
      agree += old_[last_pos + i] == new_[last_scan + i];
      ++i;
      if (agree * 2 - i > best * 2 - forward) best = agree, forward = i;
    }
    int64_t backward = 0;
    if (scan < new_size_) {
      best = 0;
      for (int64_t i = 1, agree = 0; scan >= last_scan + i && pos >= i; ++i) {
        agree += old_[pos - i] == new_[scan - i];
        if (agree * 2 - i > best * 2 - backward) best = agree, backward = i;
      }
    }
    if (last_scan + forward > scan - backward) {
      int64_t overlap = last_scan + forward - (scan - backward), split = 0;
      for (int64_t i = 0, score = 0, top = 0; i < overlap; ++i) {
        score += new_[last_scan + forward - overlap + i] == old_[last_pos + forward - overlap + i];
        score -= new_[scan - backward + i] == old_[pos - backward + i];
        if (score > top) top = score, split = i + 1;
      }
      forward += split - overlap;
      backward -= split;
    }
    budget_ -= scan - last_scan;
    if (progress_) *progress_ += (scan - backward) - last_scan;
    Emit(out, last_pos, last_scan, forward, last_scan + forward,
         (scan - backward) - (last_scan + forward));
    last_scan = scan - backward;
    last_pos = pos - backward;
    last_offset = pos - scan;
  }
  FlushLiteral(out);
  return {new_size_, copy_end_};
}

}  // namespace

WalkEnd WalkDelta(const uint8_t* old_data, int64_t old_size, const uint8_t* new_data,
                  int64_t new_size, const std::vector<int32_t>& sa, int64_t budget,
                  int64_t copy_run, SplitDelta& out, std::atomic<int64_t>* progress,
                  const BlockIndex* blocks) {
  return DeltaWalk(old_data, old_size, new_data, new_size, sa, blocks, budget, copy_run, progress)
      .Run(out);
}

}  // namespace updater::delta
