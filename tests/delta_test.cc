#include "package/delta.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <numeric>

#include "delta/delta_encoder.h"
#include "delta/lzma_encoder.h"
#include "delta/patch.h"
#include "delta/suffix_array.h"
#include "package/branch_filter.h"
#include "package/decode_ahead.h"
#include "package/sample_filter.h"
#include "tests/test_util.h"

using namespace updater::delta;  // NOLINT

namespace {

// `bytes` with `every`th byte from `from` on raised by one: code whose addresses moved.
Bytes Shifted(Bytes bytes, size_t from, size_t every) {
  for (size_t i = from; i < bytes.size(); i += every) ++bytes[i];
  return bytes;
}

Bytes Slice(const Bytes& bytes, size_t from, size_t to) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(to));
}

TEST(DeltaEncoderTest, SuffixArrayOrdersSuffixesAsANaiveSortDoes) {
  Bytes random = PatternBytes(3000, false, 7), binary = PatternBytes(700, false, 3);
  for (uint8_t& b : binary) b &= 1;
  Bytes fibonacci = {'a', 'b'}, before = {'a'};  // its sort recurses level after level
  while (fibonacci.size() < 3000) std::swap(before = Joined({fibonacci, before}), fibonacci);
  const std::vector<Bytes> cases = {
      {},
      {'a'},
      {'b', 'a', 'n', 'a', 'n', 'a'},
      Bytes(300, 0),
      Bytes(257, 255),
      PatternBytes(500, true),
      binary,
      random,
      Joined({random, random}),
      fibonacci,
  };
  for (const Bytes& data : cases) {
    std::vector<int32_t> naive(data.size() + 1);
    std::iota(naive.begin(), naive.end(), 0);
    std::sort(naive.begin(), naive.end(), [&data](int32_t a, int32_t b) {
      return std::lexicographical_compare(data.begin() + a, data.end(), data.begin() + b,
                                          data.end());
    });
    EXPECT_EQ(SuffixArray(data.data(), data.size()), naive) << data.size() << " bytes";
  }
  // Some pieces only: every offset in them once, but for a run's last, and
  // in the order of their first two bytes in the file, as the walk finds them.
  const Bytes mixed = Joined({binary, random});
  const std::vector<size_t> pieces = {0, 16, 80, 160, 176, 192, 640, 3696};
  std::vector<int32_t> sa = SuffixArrayOfPieces(mixed.data(), mixed.size(), pieces, 16);
  std::vector<int32_t> expected = {static_cast<int32_t>(mixed.size())};
  for (size_t at : pieces) {
    for (size_t i = at; i < std::min(at + 16, mixed.size()); ++i) {
      bool next_kept = i + 1 < at + 16 || std::count(pieces.begin(), pieces.end(), i + 1);
      if (next_kept || i + 1 == mixed.size()) expected.push_back(static_cast<int32_t>(i));
    }
  }
  auto prefix = [&](int32_t at) {
    return at == static_cast<int32_t>(mixed.size())
               ? -1
               : mixed[at] << 8 | (at + 1 < static_cast<int32_t>(mixed.size()) ? mixed[at + 1] : 0);
  };
  EXPECT_TRUE(std::is_sorted(sa.begin(), sa.end(),
                             [&](int32_t a, int32_t b) { return prefix(a) < prefix(b); }));
  std::sort(sa.begin(), sa.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(sa, expected);
}

// The new file `patch` makes of `old`, by the updater's own decoder: the
// streams read from a file, the operations checked as an install checks them.
Bytes Decoded(const Patch& patch, const Bytes& old, const ScratchDir& dir, bool lzma) {
  Bytes streams;
  uint32_t lengths[4];
  for (size_t i = 0; i < 4; ++i) {
    streams.insert(streams.end(), patch.streams[i].begin(), patch.streams[i].end());
    lengths[i] = static_cast<uint32_t>(patch.streams[i].size());
  }
  WriteAll(dir.path() / "streams", streams);
  platform::File file = OpenOrClosed(dir.Wide("streams"), "rb");
  package::SplitStreams split(file, 0, lengths, lzma);
  struct Rebuild : package::DeltaSink {
    const Bytes& old;
    package::SplitStreams& split;
    Bytes made;
    Rebuild(const Bytes& o, package::SplitStreams& s) : old(o), split(s) {}
    bool Copy(uint64_t offset, uint64_t length) override {
      made.insert(made.end(), old.begin() + offset, old.begin() + offset + length);
      return true;
    }
    bool Literal(uint64_t length) override {
      size_t at = made.size();
      made.resize(at + length);
      return split.literals.Pull(made.data() + at, length) == length;
    }
    bool Difference(uint64_t offset, uint64_t length) override {
      size_t at = made.size();
      made.resize(at + length);
      if (!split.Differences(made.data() + at, length)) return false;
      for (size_t i = 0; i < length; ++i) made[at + i] += old[offset + i];
      return true;
    }
  } sink(old, split);
  package::DeltaOps ops(patch.header.old_size, patch.header.new_size, sink);
  package::InflateResult run = package::RunSplitDelta(split, ops);
  return run.end == package::InflateEnd::kDone && ops.Complete() ? sink.made : Bytes();
}

// Every way the encoder finds a delta gives a patch that the updater's
// decoder turns into the very new file, small where the files have much in common: the walk,
// the block matcher where the old file is past the sorting limit, and the
// walk's own output followed by blocks where the walk runs out of work.
TEST(DeltaEncoderTest, EveryMatcherGivesAPatchTheUpdatersDecoderApplies) {
  ScratchDir dir;
  Bytes code = PatternBytes(120000, false, 11), other = PatternBytes(90000, false, 12);
  Bytes text = PatternBytes(100000, true);
  EncodeLimits sorted_up_to_1k;
  sorted_up_to_1k.largest_sorted = 1000;
  EncodeLimits little_work;  // enough for about half of the file below
  little_work.work_per_byte = 0;
  little_work.base_work = 80000;
  struct Case {
    const char* what;
    Bytes old_bytes, new_bytes;
    EncodeLimits limits;
    DeltaMethod method;
    size_t at_most;  // bytes of the record
  };
  const Bytes edited = Joined(
      {Slice(code, 0, 50000), PatternBytes(300, false, 13), Slice(code, 50100, code.size())});
  const Bytes moved =
      Joined({Slice(code, 60000, code.size()), Shifted(Slice(code, 0, 60000), 0, 40)});
  // Compressed data throughout: matched by blocks, past a limit lowered.
  const Bytes dense = PatternBytes(400000, false, 14);
  const Bytes dense_edited =
      Joined({Slice(dense, 0, 200000), PatternBytes(100, false, 15), Slice(dense, 200100, 400000)});
  EncodeLimits dense_from_256k;
  dense_from_256k.dense_sparsely_from = 256 << 10;
  // New bytes the old file does not hold, alone and with a match of 12
  // bytes after every 88: the walk steps over positions rather than search
  // each (a tenth of the work that would take), and short matches do not
  // set it back to searching every byte.
  EncodeLimits a_search_in_ten;
  a_search_in_ten.work_per_byte = 0;
  a_search_in_ten.base_work = 1000000;
  const Bytes new_dense = PatternBytes(400000, false, 16);
  Bytes dense_and_short = new_dense;
  for (size_t at = 88; at + 12 <= dense_and_short.size(); at += 100) {
    std::copy_n(dense.begin() + static_cast<ptrdiff_t>(at * 7 % 390000), 12,
                dense_and_short.begin() + static_cast<ptrdiff_t>(at));
  }
  // Pieces of the dense file replaced by new bytes of the same size: the
  // alignment holds across each, which goes as literals (walked or between
  // blocks), not as differences as dense as itself. Zeros filled with
  // sparse bytes agree mostly: their differences (the bytes themselves)
  // stay, as do a tint's.
  const Bytes replaced =
      Joined({Slice(dense, 0, 65536), Slice(new_dense, 0, 65536), Slice(dense, 131072, 196608),
              Slice(new_dense, 65536, 131072), Slice(dense, 262144, 400000)});
  Bytes quarter(32768, 0);  // a byte in four
  for (size_t at = 0; at < quarter.size(); at += 4) quarter[at] = text[at / 4];
  const Bytes zeros_old =
      Joined({Slice(code, 0, 50000), Bytes(32768, 0), Slice(code, 50000, code.size())});
  const Bytes zeros_new = Joined({Slice(code, 0, 50000), quarter, Slice(code, 50000, code.size())});
  Bytes text_over = dense;  // text where dense bytes stood, a byte in four of them kept
  for (size_t at = 131072; at < 196608; ++at) {
    if (at % 4 != 0) text_over[at] = text[at - 131072];
  }
  // A patch's inflated form: a member's inflated bytes among deflated ones,
  // dense past a bound, walked with the member's suffixes alone sorted and
  // the old blocks looked up for the rest; the member's 40-byte pieces
  // reordered, which blocks alone mostly miss.
  Bytes member = PatternBytes(30000, false, 17);
  for (uint8_t& b : member) b = static_cast<uint8_t>('a' + b % 16);
  Bytes reordered;
  for (size_t at = 0; at < member.size(); at += 40) {
    reordered.insert(reordered.begin(), member.begin() + static_cast<ptrdiff_t>(at),
                     member.begin() + static_cast<ptrdiff_t>(at + 40));
  }
  const Bytes among_old = Joined({Slice(dense, 0, 200000), member, Slice(dense, 200000, 400000)});
  // New dense bytes, long enough that a walk would step over positions, then
  // dense ones moved that no sorted piece holds: found by their blocks,
  // looked up at every position.
  const Bytes among_new =
      Joined({Slice(new_dense, 0, 150000), Slice(dense, 300000, 400000), Slice(dense, 0, 100000),
              Slice(dense, 100100, 200000), reordered, Bytes(8, 1), Slice(dense, 200000, 300000)});
  Bytes tinted = code;  // 10,000 bytes in place, each 3 more
  for (size_t at = 50000; at < 60000; ++at) tinted[at] = static_cast<uint8_t>(tinted[at] + 3);
  Bytes shifted_first;  // moved pieces of code whose addresses moved, then plain code
  for (size_t at : {50000, 20000, 40000, 0, 30000, 10000}) {
    shifted_first = Joined({shifted_first, Shifted(Slice(code, at, at + 10000), 0, 40)});
  }
  shifted_first = Joined({shifted_first, Slice(code, 60000, code.size())});
  // Shaped like a program image: code that grew by 8 bytes, zero padding that
  // takes the shift up again, then a long run of zeros with a byte every
  // 256 KiB that both files share. The old alignment disagrees with the new
  // match at a few bytes of each MiB: the walk must pass over it, not search
  // again at every byte of it.
  Bytes sparse(2 << 20, 0);
  for (size_t at = 0; at < sparse.size(); at += 256 << 10) sparse[at] = 0x5A;
  const Bytes image_old = Joined({code, Bytes(2 << 20, 0), sparse});
  const Bytes image_new = Joined({Slice(code, 0, 1000), Bytes(8, 0x77),
                                  Slice(code, 1000, code.size()), Bytes((2 << 20) - 8, 0), sparse});
  const std::vector<Case> cases = {
      {"an image, padding taking up a shift", image_old, image_new, {}, DeltaMethod::kWalk, 2000},
      {"an edit", code, edited, {}, DeltaMethod::kWalk, 1500},
      {"moved code", code, moved, {}, DeltaMethod::kWalk, 6000},
      {"text grown", text, Joined({text, Slice(text, 0, 5000)}), {}, DeltaMethod::kWalk, 1000},
      {"nothing shared", code, other, {}, DeltaMethod::kWalk, 91000},
      {"past the sorting limit", code, edited, sorted_up_to_1k, DeltaMethod::kBlocks, 1500},
      // The moved pieces' shifted addresses, between runs at one alignment: differences.
      {"all by blocks", code, shifted_first, sorted_up_to_1k, DeltaMethod::kBlocks, 2000},
      {"tinted in place, walked", code, tinted, {}, DeltaMethod::kWalk, 200},
      {"tinted in place, by blocks", code, tinted, sorted_up_to_1k, DeltaMethod::kBlocks, 200},
      {"dense data, sparsely", dense, dense_edited, dense_from_256k, DeltaMethod::kWalk, 300},
      {"dense data below the limit, walked", dense, dense_edited, {}, DeltaMethod::kWalk, 300},
      {"new bytes", dense, new_dense, a_search_in_ten, DeltaMethod::kWalk, 401000},
      {"pieces replaced, walked", dense, replaced, {}, DeltaMethod::kWalk, 131200},
      {"pieces replaced, by blocks", dense, replaced, sorted_up_to_1k, DeltaMethod::kBlocks,
       131200},
      {"text over dense bytes, by blocks", dense, text_over, sorted_up_to_1k, DeltaMethod::kBlocks,
       27000},
      {"inflated among dense bytes", among_old, among_new, dense_from_256k, DeltaMethod::kWalk,
       151000},
      {"zeros filled", zeros_old, zeros_new, {}, DeltaMethod::kWalk, 150},
      {"new bytes, short matches", dense, dense_and_short, a_search_in_ten, DeltaMethod::kWalk,
       401000},
      // What the walk made before it ran out of work stays: far smaller than blocks alone.
      {"out of work half way", code, shifted_first, little_work, DeltaMethod::kWalkThenBlocks,
       30000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DeltaMethod method{};
    std::atomic<int64_t> told{0};  // a build's progress: every new byte once, whatever the way
    EncodeLimits counted = c.limits;
    counted.progress = &told;
    ASSERT_TRUE(EncodeDelta(c.old_bytes.data(), c.old_bytes.size(), c.new_bytes.data(),
                            c.new_bytes.size(), counted, &method));
    EXPECT_EQ(method, c.method);
    EXPECT_EQ(told, static_cast<int64_t>(c.new_bytes.size()));
    // Deflated, and LZMA-coded no larger (but for a few bytes of a patch of
    // a few hundred).
    size_t deflated = 0;
    for (PatchCoding coding : {PatchCoding{}, PatchCoding{true, LzmaLevel::kFast}}) {
      platform::Result<std::optional<Patch>> patch =
          EncodePatch(c.old_bytes.data(), c.old_bytes.size(), c.new_bytes.data(),
                      c.new_bytes.size(), c.limits, coding);
      ASSERT_TRUE(patch && *patch);
      size_t size = 0;
      for (const Bytes& stream : (*patch)->streams) size += stream.size();
      EXPECT_LE(size, coding.lzma ? deflated + 32 : c.at_most);
      deflated = size;
      EXPECT_TRUE(Decoded(**patch, c.old_bytes, dir, coding.lzma) == c.new_bytes);
    }
  }
}

}  // namespace

namespace {

// Decodes `stream` (with `props`, to `size` bytes) from between two other
// bytes of a file, in calls of `step` bytes, or (`ahead`) as a block's files
// of `step` bytes take their parts of it; none where the decoder refuses it
// or it does not end whole. A sink that fails once `fail_at` bytes are out
// ends every later call too. A stream after a preset has it in `window`.
// The decoder is told the stream makes `size - asked_more` bytes.
std::optional<Bytes> DecodeLzma(const LzmaStream& stream, size_t size, size_t step = 1 << 30,
                                bool ahead = false, size_t fail_at = SIZE_MAX,
                                std::vector<uint8_t>* window = nullptr, uint32_t preset = 0,
                                size_t preset_end = 0, size_t asked_more = 0) {
  ScratchDir dir;
  WriteAll(dir.path() / "s", Joined({Bytes{'x'}, stream.bytes, Bytes{'y'}}));
  platform::File file = OpenOrClosed(dir.Wide("s"), "rb");
  auto decoder =
      std::make_unique<LzmaDecoder>(file, 1, static_cast<uint32_t>(stream.bytes.size()),
                                    size - asked_more, stream.props, window, preset, preset_end);
  std::vector<uint64_t> parts;
  for (size_t done = 0; done < size || done == 0; done += step) {
    parts.push_back(std::min(step, size - done));
    if (size == 0) break;
  }
  std::optional<DecodeAhead> decoding;
  if (ahead) decoding.emplace(std::move(decoder), parts);
  Bytes out;
  SinkTo sink([&](const uint8_t* data, size_t got) {
    out.insert(out.end(), data, data + got);
    return out.size() < fail_at;
  });
  for (uint64_t part : parts) {
    InflateEnd end = ahead ? decoding->Decode(sink) : decoder->Decode(part, sink);
    EXPECT_EQ(end == InflateEnd::kSinkFailed, out.size() >= fail_at);
    EXPECT_LE(out.size(), size - asked_more);  // never a byte past what it is told
    if (end != InflateEnd::kDone) {
      if (ahead) {
        EXPECT_EQ(decoding->Decode(sink), end);  // every later part ends so too
      }
      return std::nullopt;
    }
  }
  if (ahead) {
    EXPECT_EQ(decoding->Decode(sink), InflateEnd::kDamaged);  // no part is left
  }
  if (!(ahead ? decoding->EndedWhole() : decoder->EndedWhole())) return std::nullopt;
  return out;
}

TEST(LzmaTest, EveryLevelAndContextDecodesToItsInputInAnySteps) {
  Bytes text = PatternBytes(200000, true, 5), random = PatternBytes(70000, false, 9);
  const std::vector<Bytes> inputs = {
      {}, {'a'}, Bytes(100000, 0), text, random, Joined({random, text, random}),
  };
  const LzmaProps contexts[] = {{3, 0, 2}, {0, 2, 2}, {4, 0, 0}, {1, 3, 4}};
  for (LzmaLevel level : {LzmaLevel::kFast, LzmaLevel::kNormal, LzmaLevel::kMax}) {
    for (const LzmaProps& context : contexts) {
      for (const Bytes& input : inputs) {
        LzmaStream stream;
        ASSERT_TRUE(EncodeLzma(level, context, input.data(), input.size(), stream));
        EXPECT_LE(stream.props.dictionary, LzmaWindow(level));
        for (size_t step : {size_t{1} << 30, size_t{4097}, size_t{300000}}) {
          for (bool ahead : {false, true}) {
            std::optional<Bytes> decoded = DecodeLzma(stream, input.size(), step, ahead);
            ASSERT_TRUE(decoded) << input.size() << " bytes, level " << static_cast<int>(level);
            EXPECT_TRUE(*decoded == input);
          }
        }
      }
    }
  }
  LzmaStream small;
  ASSERT_TRUE(EncodeLzma(LzmaLevel::kMax, {}, text.data(), 1000, small));
  EXPECT_LT(small.props.dictionary, 1u << 20) << "the window fits what it codes";
  // Coding stops once the bytes pass the largest asked for, and only then.
  LzmaStream whole, cut, exact;
  ASSERT_TRUE(EncodeLzma(LzmaLevel::kFast, {}, random.data(), random.size(), whole));
  EXPECT_FALSE(EncodeLzma(LzmaLevel::kFast, {}, random.data(), random.size(), cut,
                          package::kMaxLzmaDictionary, whole.bytes.size() - 1));
  EXPECT_TRUE(cut.over_limit);
  ASSERT_TRUE(EncodeLzma(LzmaLevel::kFast, {}, random.data(), random.size(), exact,
                         package::kMaxLzmaDictionary, whole.bytes.size()));
  EXPECT_TRUE(!exact.over_limit && exact.bytes == whole.bytes);
}

// The encoder's input: `bytes` in whatever pieces it asks for.
LzmaInput ReadOf(const Bytes& bytes) {
  return [&bytes, at = size_t{0}](uint8_t* buffer, size_t& size) mutable {
    size = std::min(size, bytes.size() - at);
    std::copy(bytes.begin() + at, bytes.begin() + at + size, buffer);
    at += size;
    return true;
  };
}

// A stream may start with the end of the block before in its window: it
// decodes wherever that block's ring ended, and not without it.
TEST(LzmaTest, AStreamAfterAPresetCopiesFromIt) {
  // Random (only copies make it small), of a size no position bits divide.
  const Bytes before = PatternBytes(300003, false, 7);
  const Bytes input = Joined({Bytes(before.begin() + 100000, before.begin() + 250000),
                              PatternBytes(5000, true, 2), Bytes(before.end() - 9, before.end())});
  for (LzmaLevel level : {LzmaLevel::kFast, LzmaLevel::kNormal}) {
    LzmaStream alone, after;
    ASSERT_TRUE(EncodeLzma(level, {}, input.data(), input.size(), alone));
    ASSERT_TRUE(EncodeLzma(level, {}, input.size(), ReadOf(input), after,
                           package::kMaxLzmaDictionary, SIZE_MAX, {before.data(), before.size()}));
    EXPECT_LT(after.bytes.size(), alone.bytes.size() / 10);
    for (size_t end : {size_t{0}, size_t{123456}, size_t{300000}}) {
      for (bool ahead : {false, true}) {
        std::vector<uint8_t> window(400000, 0xAA);  // the ring the block before left
        for (size_t i = 0; i < before.size(); ++i) window[(end + 99997 + i) % 400000] = before[i];
        std::optional<Bytes> decoded =
            DecodeLzma(after, input.size(), 4097, ahead, SIZE_MAX, &window, 300003, end);
        EXPECT_TRUE(decoded && *decoded == input) << end;
      }
    }
    std::optional<Bytes> alone_decoded = DecodeLzma(after, input.size());
    EXPECT_FALSE(alone_decoded && *alone_decoded == input);
  }
  // A copy from the preset's first byte, told the preset starts one later:
  // a distance of every byte decoded, before the window's start.
  LzmaStream from_first;
  const Bytes head = Slice(before, 0, 5000);
  ASSERT_TRUE(EncodeLzma(LzmaLevel::kFast, {3, 0, 0}, head.size(), ReadOf(head), from_first,
                         package::kMaxLzmaDictionary, SIZE_MAX, {before.data(), before.size()}));
  std::vector<uint8_t> ring = before;
  EXPECT_TRUE(DecodeLzma(from_first, head.size(), 4097, false, SIZE_MAX, &ring, 300003, 0));
  EXPECT_FALSE(DecodeLzma(from_first, head.size(), 4097, false, SIZE_MAX, &ring, 300002, 0));
}

TEST(LzmaTest, ADamagedOrMisstatedStreamIsRefused) {
  Bytes far = PatternBytes(20000, false, 4);  // repeated 300 KB on: a long distance
  Bytes input = Joined({far, PatternBytes(300000, true, 3), far});  // past a buffer ahead
  LzmaStream stream;
  ASSERT_TRUE(EncodeLzma(LzmaLevel::kNormal, {}, input.data(), input.size(), stream));
  struct Case {
    const char* what;
    std::function<void(LzmaStream&, size_t&)> change;
    size_t asked_more = 0;  // decoded past the size the decoder is told
  };
  const Case cases[] = {
      {"cut short", [](LzmaStream& s, size_t&) { s.bytes.resize(s.bytes.size() - 3); }},
      {"a byte more", [](LzmaStream& s, size_t&) { s.bytes.push_back(0); }},
      {"a first byte not zero", [](LzmaStream& s, size_t&) { s.bytes[0] = 1; }},
      {"a size too large", [](LzmaStream&, size_t& size) { size += 100; }},
      {"a size too small", [](LzmaStream&, size_t& size) { size -= 1; }},
      {"asked past its size", [](LzmaStream&, size_t&) {}, 1},
      {"a window too small", [](LzmaStream& s, size_t&) { s.props.dictionary = 4096; }},
      {"the coder's end not zero", [](LzmaStream& s, size_t&) { s.bytes.back() ^= 1; }},
  };
  for (const Case& c : cases) {
    LzmaStream changed = stream;
    size_t size = input.size();
    c.change(changed, size);
    for (bool ahead : {false, true}) {
      EXPECT_FALSE(DecodeLzma(changed, size, 1 << 30, ahead, SIZE_MAX, nullptr, 0, 0, c.asked_more))
          << c.what;
    }
  }
  EXPECT_TRUE(DecodeLzma(stream, input.size()));
  LzmaProps props;  // lc + lp at most 4, as every stream is coded
  for (int b = 0; b < 256; ++b) {
    EXPECT_EQ(LzmaPropsFromByte(static_cast<uint8_t>(b), props), b < 225 && b % 9 + b / 9 % 5 <= 4);
  }
  // A file whose bytes cannot be written ends the block there.
  Bytes large = PatternBytes(3 << 20, true, 6);
  ASSERT_TRUE(EncodeLzma(LzmaLevel::kFast, {}, large.data(), large.size(), stream));
  for (size_t fail_at : {size_t{1}, size_t{1} << 20}) {
    EXPECT_FALSE(DecodeLzma(stream, large.size(), 1 << 20, true, fail_at)) << fail_at;
  }
}

}  // namespace

// The updater predicts a difference's references in the pieces its buffers
// cut it into; the encoder in one. Any cut gives the same bytes: a reference
// found at a piece's end runs into the next (the bytes looked ahead at) and
// its predicted bytes there wait for it.
TEST(DeltaEncoderTest, ReferencesArePredictedAlikeInAnyPieces) {
  Bytes old = PatternBytes(70000, false, 5);
  auto put = [&old](size_t at, uint64_t value, size_t size) {
    for (size_t i = 0; i < size; ++i) old[at + i] = static_cast<uint8_t>(value >> 8 * i);
  };
  // A call, a RIP-relative load, five other bytes and a pointer, again and again.
  for (size_t at = 8; at + 24 <= old.size(); at += 24) {
    uint64_t target = at * 7 % old.size();
    old[at] = 0xE8;
    put(at + 1, target - (at + 5), 4);
    old[at + 5] = 0x8B;
    old[at + 6] = 0x05;
    put(at + 7, target - (at + 11), 4);
    put(at + 16, 65536 + at % 4000, 8);
  }
  package::ReferenceMap map;
  map.old_size = old.size();
  map.SetPrediction(package::kRelativeBranches | package::kRipRelative | package::kPointers);
  map.Add(0, 40000, 1000);      // moved 1,000 bytes on
  map.Add(40000, 30000, 0);     // moved 40,000 back
  map.Add(10000, 5000, 90000);  // again, but the first holds it
  map.Finish();
  const size_t start = 3, length = old.size() - start, new_start = 77;
  Bytes whole(old.begin() + start, old.end());
  package::ReferencePredictor(map, start, length, new_start)
      .Predict(whole.data(), 0, whole.size(), nullptr, 0);
  EXPECT_GT(std::inner_product(whole.begin(), whole.end(), old.begin() + start, size_t{0},
                               std::plus<>(), std::not_equal_to<>()),
            size_t{4000});
  for (size_t piece : {1, 2, 3, 5, 6, 7, 8, 13, 4096}) {
    Bytes cut(old.begin() + start, old.end());
    package::ReferencePredictor predictor(map, start, length, new_start);
    for (size_t at = 0; at < cut.size(); at += piece) {
      size_t size = std::min(piece, cut.size() - at);
      Bytes ahead(
          old.begin() + static_cast<std::ptrdiff_t>(start + at + size),
          old.begin() + static_cast<std::ptrdiff_t>(std::min(old.size(), start + at + size + 7)));
      Bytes part = Slice(cut, at, at + size);  // nothing past it to read but `ahead`
      predictor.Predict(part.data(), at, size, ahead.data(), ahead.size());
      std::copy(part.begin(), part.end(), cut.begin() + static_cast<std::ptrdiff_t>(at));
    }
    EXPECT_EQ(cut, whole) << "pieces of " << piece;
  }
}

// Each kind of reference, one at a time, at the bounds of what is predicted:
// a target inside the old file and moved (a pointer's at least 64 KiB in, at
// a multiple of 8), the reference wholly inside the difference.
TEST(DeltaEncoderTest, AReferenceIsPredictedOnlyWithinItsBounds) {
  const uint64_t size = 100000, base = 0x400000, shift = 8192, end = 90007;  // the difference's
  package::ReferenceMap map;
  map.old_size = size;
  map.SetPrediction(package::kRelativeBranches | package::kRipRelative | package::kPointers |
                    (base >> 12) << 3);
  map.Add(0, 30000, shift);      // moved 8 KiB on
  map.Add(20000, 15000, 20000);  // cut to [30000, 35000), which stayed; [35000, 40000) no piece's
  map.Add(40000, size - 40000, 40000 + shift);
  map.Add(10000, 5000, 90000);  // inside the first: cut away
  map.Finish();
  int64_t moved = 0;
  for (uint64_t at : {uint64_t{12000}, uint64_t{25000}, uint64_t{29999}, uint64_t{30000},
                      uint64_t{40000}, size - 1}) {
    EXPECT_TRUE(map.Moved(at, moved) && moved == (at == 30000 ? 0 : int64_t{shift})) << at;
  }
  EXPECT_FALSE(map.Moved(35000, moved) || map.Moved(size, moved));
  struct Case {
    uint64_t at;
    std::vector<uint8_t> code;  // the opcode bytes, then the reference
    int64_t target;             // where it points: after it plus it, or the pointer less the base
    bool predicted;
  };
  const Case cases[] = {
      {100, {0xE8}, 50000, true},
      {100, {0xE9}, int64_t{size} - 1, true},
      {100, {0xE8}, int64_t{size}, false},
      {100, {0xE8}, -1, false},
      {100, {0xE8}, 36000, false},
      {100, {0x0F, 0x85}, 20000, true},
      {100, {0x0F, 0x90}, 20000, false},
      {100, {0x8B, 0x05}, 20000, true},
      {100, {0x8A, 0x05}, 20000, false},
      {100, {0x8B, 0x45}, 20000, false},
      {end - 5, {0xE8}, 20000, true},
      {end - 4, {0xE8}, 20000, false},
      {800, {}, 65536, true},
      {800, {}, 65535, false},
      {804, {}, 70000, false},
      {end - 15, {}, 70000, true},
      {end - 7, {}, 70000, false},
  };
  for (const Case& c : cases) {
    Bytes old(end, 0);
    std::copy(c.code.begin(), c.code.end(), old.begin() + static_cast<std::ptrdiff_t>(c.at));
    size_t field = c.at + c.code.size(), width = c.code.empty() ? 8 : 4;
    uint64_t value = c.code.empty() ? base + static_cast<uint64_t>(c.target)
                                    : static_cast<uint64_t>(c.target) - (field + 4);
    Bytes expected = old;
    for (size_t i = 0; i < width && field + i < end; ++i) {
      old[field + i] = static_cast<uint8_t>(value >> 8 * i);
      expected[field + i] = static_cast<uint8_t>((value + (c.predicted ? shift : 0)) >> 8 * i);
    }
    package::ReferencePredictor(map, 0, end, 0).Predict(old.data(), 0, end, nullptr, 0);
    EXPECT_EQ(old, expected) << c.at << " " << c.target;
  }
  package::ReferenceMap full;  // at most kMostMapPieces pieces; short ones pass over
  for (uint64_t i = 0; i < package::kMostMapPieces; ++i) ASSERT_TRUE(full.Add(i << 12, 4096, 0));
  EXPECT_TRUE(full.Add(0, 4095, 0));
  EXPECT_FALSE(full.Add(0, 4096, 0));
}

// The split branch filter: files of code across pieces (calls, jumps and
// RIP-relative operands, some at a piece's last bytes) coded and made again
// whatever pieces the decoder is given; coded bytes that do not read as the
// file are not whole.
TEST(BranchFilterTest, SplitBranchesJoinAgainInAnyPiecesAndTellBrokenOnes) {
  auto split = [](const Bytes& file) {
    Bytes coded;
    for (size_t at = 0; at < file.size(); at += package::kSplitPiece) {
      size_t size = std::min(package::kSplitPiece, file.size() - at);
      package::SplitBranches(file.data() + at, size, at, {file.size()}, coded);
    }
    return coded;
  };
  auto join = [](const Bytes& coded, uint64_t size, size_t given, bool& whole) {
    Bytes made;
    package::SinkTo into([&](const uint8_t* data, size_t n) {
      made.insert(made.end(), data, data + n);
      return true;
    });
    package::BranchJoiner joiner(size, into);
    for (size_t at = 0; at < coded.size(); at += given) {
      EXPECT_TRUE(joiner.Take(coded.data() + at, std::min(given, coded.size() - at)));
    }
    whole = joiner.Whole();
    return made;
  };
  const size_t piece = package::kSplitPiece;
  Bytes code = PatternBytes(piece + 70000, false, 21);
  const uint8_t forms[][3] = {{0xE8}, {0xE9}, {0x0F, 0x85}, {0x48, 0x8D, 0x05}, {0x8B, 0x0D}};
  for (size_t at = 0, i = 0; at + 8 < code.size(); at += 13 + i % 7, ++i) {
    const uint8_t* form = forms[i % 5];
    const size_t length = form[2] ? 3 : form[1] ? 2 : 1;
    std::copy(form, form + length, code.begin() + static_cast<std::ptrdiff_t>(at));
    const int32_t target = static_cast<int32_t>((i % 3) * 4096 - at - length - 4);
    package::PutLittleEndian(code.data() + at + length, static_cast<uint32_t>(target), 4);
  }
  for (size_t edge = piece - 6; edge < piece; ++edge) code[edge] = 0xE8;
  const Bytes empty, small = {0xE8, 0x00, 0x00, 0x00, 0x00, 0x90};
  for (const Bytes* file : {&empty, &small, static_cast<const Bytes*>(&code)}) {
    const Bytes coded = split(*file);
    for (size_t given : {size_t{1}, size_t{7}, size_t{65536}, SIZE_MAX}) {
      bool whole = false;
      EXPECT_EQ(join(coded, file->size(), given, whole), *file) << file->size() << " " << given;
      EXPECT_TRUE(whole);
    }
  }
  // One displacement moved; the rest of the file stays. An operand's moves
  // only in x86-64 code, and nothing outside the code moves.
  EXPECT_EQ(split(small), (Bytes{1, 0, 0, 0, 1, 0, 0, 0, 5, 0xE8, 0x90}));
  const Bytes operand = {0x8B, 0x05, 0x00, 0x00, 0x00, 0x00, 0x90};
  const Bytes moved = {1, 0, 0, 0, 1, 0, 0, 0, 6, 0x8B, 0x05, 0x90},
              kept = {1, 0, 0, 0, 0, 0x8B, 0x05, 0, 0, 0, 0, 0x90};
  const std::pair<package::SplitMoves, const Bytes*> policies[] = {
      {{7}, &moved}, {{7, 0, 7, false}, &kept}, {{7, 2, 7, true}, &kept}, {{7, 0, 1, true}, &kept}};
  for (const auto& [moves, expected] : policies) {
    Bytes coded;
    package::SplitBranches(operand.data(), operand.size(), 0, moves, coded);
    EXPECT_EQ(coded, *expected) << moves.code_from << " " << moves.code_to << " " << moves.operands;
  }
  const Bytes coded = split(code);
  EXPECT_LT(coded.size(), code.size() + 8 + piece / 8 * 2 / 13);
  Bytes more = coded, fewer = coded, counted = coded;
  more.push_back(0);
  fewer.pop_back();
  counted[0] ^= 1;  // a candidate more or fewer than the piece holds
  for (const Bytes* broken : {&more, &fewer, &counted}) {
    bool whole = true;
    Bytes made = join(*broken, code.size(), 65536, whole);
    EXPECT_FALSE(whole && made == code) << broken->size();
    EXPECT_LE(made.size(), code.size());
  }
}

// The sample filter: 8- and 16-bit samples of one to 16 channels become
// differences from the one a frame before and back, in pieces of any size
// (a 16-bit sample cut between two), an odd last byte too.
TEST(SampleFilterTest, SamplesBecomeDifferencesAndBackInAnyPieces) {
  auto code = [](Bytes data, uint8_t form, bool encode, size_t piece) {
    package::SampleDifferences samples(form, encode);
    for (size_t at = 0; at < data.size(); at += piece) {
      samples.Code(data.data() + at, std::min(piece, data.size() - at));
    }
    return data;
  };
  // 16-bit mono: 0x0100, 0x0102, 0x00FF, then an odd byte (a low byte).
  const Bytes wide = {0x00, 0x01, 0x02, 0x01, 0xFF, 0x00, 0x05};
  const Bytes differences = {0x00, 0x01, 0x02, 0x00, 0xFD, 0xFF, 0x06};
  for (size_t piece : {size_t{1}, size_t{3}, SIZE_MAX}) {
    EXPECT_EQ(code(wide, 0x10, true, piece), differences) << piece;
    EXPECT_EQ(code(differences, 0x10, false, piece), wide) << piece;
  }
  EXPECT_EQ(code({0x10, 0x20, 0x11, 0x1E}, 0x01, true, 1), (Bytes{0x10, 0x20, 0x01, 0xFE}));
  const Bytes sound = PatternBytes(10001, false, 31);
  for (uint8_t form : {0x00, 0x01, 0x0F, 0x10, 0x11, 0x1F}) {
    for (size_t piece : {size_t{1}, size_t{7}, size_t{4096}}) {
      EXPECT_EQ(code(code(sound, form, true, 4099 % piece + 1), form, false, piece), sound)
          << int{form} << " " << piece;
    }
  }
}
