#include "package/lzma_decoder.h"

#include <algorithm>
#include <cstring>

namespace updater::package {

constexpr int kStates = 12;
constexpr int kMaxPositionStates = 16;
constexpr uint16_t kInitialProbability = 1024;  // of 2048: a bit is as likely 0 as 1
constexpr size_t kInputBlock = 64 * 1024;

// The probabilities of one length coder: 2 to 9, 10 to 17, 18 to 273.
struct LengthProbs {
  uint16_t choice, choice2;
  uint16_t low[kMaxPositionStates][8], mid[kMaxPositionStates][8], high[256];
};

struct LzmaDecoder::State {
  explicit State(std::vector<uint8_t>* kept) : window(kept ? *kept : own) {}
  LzmaProps props;
  std::vector<uint8_t> own;
  std::vector<uint8_t>& window;  // its own, or one kept from stream to stream
  size_t pos = 0;                // where the next byte goes in the window
  size_t flushed = 0;            // the window's bytes before this are in a sink
  uint64_t total = 0;            // bytes decoded so far
  uint32_t range = 0xFFFFFFFF, code = 0;
  uint32_t state = 0, rep[4] = {};
  uint32_t pending = 0;  // bytes of a copy a call ended inside
  bool started = false;  // the range coder's first five bytes are read
  // Every probability of the model, then the literal coder's.
  struct Probs {
    uint16_t is_match[kStates][kMaxPositionStates], is_rep[kStates], is_rep_g0[kStates],
        is_rep_g1[kStates], is_rep_g2[kStates], is_rep0_long[kStates][kMaxPositionStates];
    uint16_t slot[4][64], special[115], align[16];
    LengthProbs length, rep_length;
  } p;
  std::vector<uint16_t> literal;
};

uint8_t LzmaPropsByte(const LzmaProps& props) {
  return static_cast<uint8_t>((props.pb * 5 + props.lp) * 9 + props.lc);
}

bool LzmaPropsFromByte(uint8_t byte, LzmaProps& props) {
  if (byte >= 9 * 5 * 5) return false;
  props.lc = byte % 9;
  props.lp = byte / 9 % 5;
  props.pb = static_cast<uint8_t>(byte / 45);
  return props.lc + props.lp <= 4;
}

LzmaDecoder::LzmaDecoder(const platform::File& package, int64_t start, uint32_t packed,
                         uint64_t unpacked, const LzmaProps& props, std::vector<uint8_t>* window,
                         uint32_t preset, size_t preset_end)
    : package_(package),
      next_(start),
      packed_(packed),
      packed_left_(packed),
      unpacked_left_(unpacked),
      state_(new State(window)) {
  State& s = *state_;
  s.props = props;
  uint64_t size =
      std::min<uint64_t>(std::min(props.dictionary, kMaxLzmaDictionary), preset + unpacked);
  if (preset > 0) {  // the ring turned so that the preset comes first
    std::vector<uint8_t>& w = s.window;
    size_t first = (preset_end + w.size() - preset) % w.size();
    std::rotate(w.begin(), w.begin() + static_cast<std::ptrdiff_t>(first), w.end());
  }
  s.window.resize(std::max<size_t>(static_cast<size_t>(size), 1));
  // The preset counts as decoded: positions go on from it.
  s.total = preset;
  s.pos = s.flushed = preset % s.window.size();
  uint16_t* probs = &s.p.is_match[0][0];
  std::fill(probs, probs + sizeof(State::Probs) / 2, kInitialProbability);
  s.literal.assign(size_t{0x300} << (props.lc + props.lp), kInitialProbability);
  in_.resize(std::min<size_t>(kInputBlock, packed));
}

LzmaDecoder::~LzmaDecoder() = default;

bool LzmaDecoder::Refill() {
  if (packed_left_ == 0) return false;
  size_t want = std::min<size_t>(in_.size(), packed_left_);
  platform::Status read;
  size_t got = package_.ReadAt(next_, in_.data(), want, &read);
  if (got == 0) {
    if (!read) os_error_ = read.error();
    return false;
  }
  next_ += static_cast<int64_t>(got);
  packed_left_ -= static_cast<uint32_t>(got);
  in_at_ = 0;
  in_end_ = got;
  return true;
}

// The range coder's bit is inlined wherever it is used: the Windows program
// is built for size, which would make it a call (a fifth of the decoding
// time, for 1.5 KB of code); an -O2 build chooses well by itself.
#ifdef _WIN32
#define UPDATER_HOT [[gnu::always_inline]]
#else
#define UPDATER_HOT inline
#endif

// The range coder, in locals while a call decodes: one bit with the
// probability `p` of a 0, which it adapts; the bits of a tree of
// probabilities, highest first or (reverse) lowest first; bits of even
// odds; a match length. Past the stream's end (or a failed read) it reads
// zeros, and the stream counts as damaged.
struct LzmaDecoder::RangeCoder {
  LzmaDecoder& decoder;
  uint32_t range, code;
  const uint8_t* at;
  const uint8_t* end;

  explicit RangeCoder(LzmaDecoder& d)
      : decoder(d),
        range(d.state_->range),
        code(d.state_->code),
        at(d.in_.data() + d.in_at_),
        end(d.in_.data() + d.in_end_) {}
  // Hands the coder's state back as a call ends.
  ~RangeCoder() {
    decoder.state_->range = range;
    decoder.state_->code = code;
    decoder.in_at_ = static_cast<size_t>(at - decoder.in_.data());
  }

  uint8_t NextByte() {
    if (at != end) return *at++;
    decoder.in_at_ = decoder.in_end_;
    if (!decoder.Refill()) {
      decoder.damaged_ = true;
      return 0;
    }
    at = decoder.in_.data();
    end = at + decoder.in_end_;
    return *at++;
  }

  UPDATER_HOT void Normalize() {
    if (range < (1u << 24)) {
      range <<= 8;
      code = (code << 8) | NextByte();
    }
  }

  UPDATER_HOT uint32_t Bit(uint16_t& p) {
    uint32_t bound = (range >> 11) * p;
    if (code < bound) {
      range = bound;
      p = static_cast<uint16_t>(p + ((2048 - p) >> 5));
      Normalize();
      return 0;
    }
    range -= bound;
    code -= bound;
    p = static_cast<uint16_t>(p - (p >> 5));
    Normalize();
    return 1;
  }

  uint32_t Tree(uint16_t* probs, int bits) {
    uint32_t m = 1;
    for (int i = 0; i < bits; ++i) m = (m << 1) | Bit(probs[m]);
    return m - (1u << bits);
  }

  uint32_t ReverseTree(uint16_t* probs, int bits) {
    uint32_t m = 1, symbol = 0;
    for (int i = 0; i < bits; ++i) {
      uint32_t bit = Bit(probs[m]);
      m = (m << 1) | bit;
      symbol |= bit << i;
    }
    return symbol;
  }

  uint32_t Direct(int bits) {
    uint32_t result = 0;
    for (int i = 0; i < bits; ++i) {
      range >>= 1;
      uint32_t bit = code >= range;
      if (bit) code -= range;
      result = (result << 1) | bit;
      Normalize();
    }
    return result;
  }

  [[gnu::always_inline]] uint32_t Length(LengthProbs& p, uint32_t pos_state) {
    if (!Bit(p.choice)) return Tree(p.low[pos_state], 3);
    if (!Bit(p.choice2)) return 8 + Tree(p.mid[pos_state], 3);
    return 16 + Tree(p.high, 8);
  }
};

LzmaEnd LzmaDecoder::Flush(ByteSink& sink) {
  State& s = *state_;
  if (s.pos > s.flushed && !sink.Take(s.window.data() + s.flushed, s.pos - s.flushed)) {
    return LzmaEnd::kSinkFailed;
  }
  s.flushed = s.pos;
  if (s.pos == s.window.size()) s.pos = s.flushed = 0;
  return LzmaEnd::kDone;
}

LzmaEnd LzmaDecoder::Decode(uint64_t size, ByteSink& sink) {
  State& s = *state_;
  auto damaged = [this] { return os_error_ ? LzmaEnd::kReadFailed : LzmaEnd::kDamaged; };
  if (size > unpacked_left_) return LzmaEnd::kDamaged;
  unpacked_left_ -= size;
  RangeCoder rc(*this);
  if (!s.started) {
    s.started = true;
    // The first byte is always 0; then the code, highest byte first.
    if (rc.NextByte() != 0) return LzmaEnd::kDamaged;
    for (int i = 0; i < 4; ++i) rc.code = (rc.code << 8) | rc.NextByte();
  }
  const size_t window = s.window.size();
  auto put = [&](uint8_t byte) -> bool {
    s.window[s.pos++] = byte;
    ++s.total;
    --size;
    return s.pos < window || Flush(sink) == LzmaEnd::kDone;
  };
  auto back = [&](uint32_t distance) {  // the byte distance + 1 back
    size_t from = s.pos >= distance + 1 ? s.pos - distance - 1 : s.pos + window - distance - 1;
    return s.window[from];
  };
  const uint32_t pb_mask = (1u << s.props.pb) - 1, lp_mask = (1u << s.props.lp) - 1;
  while (size > 0) {
    if (damaged_) return damaged();
    if (s.pending > 0) {  // a copy: as much of it as this call and the window take
      size_t n = static_cast<size_t>(std::min<uint64_t>({s.pending, size, window - s.pos}));
      size_t from = s.pos >= s.rep[0] + 1 ? s.pos - s.rep[0] - 1 : s.pos + window - s.rep[0] - 1;
      uint8_t* w = s.window.data();
      if (from < s.pos && from + n <= s.pos) {  // apart and unwrapped: one move
        std::memcpy(w + s.pos, w + from, n);
        s.pos += n;
      } else {
        for (size_t i = 0; i < n; ++i) {
          w[s.pos++] = w[from++];
          if (from == window) from = 0;
        }
      }
      s.pending -= static_cast<uint32_t>(n);
      s.total += n;
      size -= n;
      if (s.pos == window && Flush(sink) != LzmaEnd::kDone) return LzmaEnd::kSinkFailed;
      continue;
    }
    uint32_t pos_state = static_cast<uint32_t>(s.total) & pb_mask;
    uint32_t& state = s.state;
    if (!rc.Bit(s.p.is_match[state][pos_state])) {
      uint8_t previous = s.total > 0 ? back(0) : 0;
      uint32_t context = ((static_cast<uint32_t>(s.total) & lp_mask) << s.props.lc) +
                         (previous >> (8 - s.props.lc));
      uint16_t* probs = &s.literal[0x300 * context];
      uint32_t symbol = 1;
      if (state >= 7) {
        // After a match the byte at rep0 guides the bits (probabilities
        // 0x100 on, by its bit) until one differs; then `offset` drops to 0
        // and the rest are plain.
        uint32_t match = back(s.rep[0]), offset = 0x100;
        while (symbol < 0x100) {
          match <<= 1;
          uint32_t match_bit = match & offset;
          uint32_t bit = rc.Bit(probs[offset + match_bit + symbol]);
          symbol = (symbol << 1) | bit;
          offset &= bit ? match_bit : ~match_bit;
        }
      } else {
        while (symbol < 0x100) symbol = (symbol << 1) | rc.Bit(probs[symbol]);
      }
      state = state < 4 ? 0 : state < 10 ? state - 3 : state - 6;
      if (!put(static_cast<uint8_t>(symbol))) return LzmaEnd::kSinkFailed;
      continue;
    }
    uint32_t length;
    if (!rc.Bit(s.p.is_rep[state])) {  // a new distance
      length = rc.Length(s.p.length, pos_state);
      state = state < 7 ? 7 : 10;
      uint32_t slot = rc.Tree(s.p.slot[std::min<uint32_t>(length, 3)], 6);
      uint32_t distance = slot;
      if (slot >= 4) {
        int bits = static_cast<int>(slot >> 1) - 1;
        distance = (2 | (slot & 1)) << bits;
        if (slot < 14) {
          distance += rc.ReverseTree(s.p.special + distance - slot, bits);
        } else {
          distance += rc.Direct(bits - 4) << 4;
          distance += rc.ReverseTree(s.p.align, 4);
        }
      }
      s.rep[3] = s.rep[2];
      s.rep[2] = s.rep[1];
      s.rep[1] = s.rep[0];
      s.rep[0] = distance;
    } else {
      if (s.total == 0) return LzmaEnd::kDamaged;
      if (!rc.Bit(s.p.is_rep_g0[state])) {
        if (!rc.Bit(s.p.is_rep0_long[state][pos_state])) {  // one byte at rep0
          state = state < 7 ? 9 : 11;
          if (!put(back(s.rep[0]))) return LzmaEnd::kSinkFailed;
          continue;
        }
      } else {
        uint32_t distance;
        if (!rc.Bit(s.p.is_rep_g1[state])) {
          distance = s.rep[1];
        } else {
          if (!rc.Bit(s.p.is_rep_g2[state])) {
            distance = s.rep[2];
          } else {
            distance = s.rep[3];
            s.rep[3] = s.rep[2];
          }
          s.rep[2] = s.rep[1];
        }
        s.rep[1] = s.rep[0];
        s.rep[0] = distance;
      }
      length = rc.Length(s.p.rep_length, pos_state);
      state = state < 7 ? 8 : 11;
    }
    // Also refuses the end marker (distance 0xFFFFFFFF): the size is known.
    if (s.rep[0] >= s.total || s.rep[0] >= window) return LzmaEnd::kDamaged;
    s.pending = length + 2;
  }
  if (damaged_) return damaged();
  return Flush(sink);
}

bool LzmaDecoder::EndedWhole() {
  return !damaged_ && unpacked_left_ == 0 && state_->pending == 0 && state_->code == 0 &&
         in_at_ == in_end_ && packed_left_ == 0;
}

}  // namespace updater::package
