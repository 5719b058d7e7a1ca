// Levenshtein distances on sequences of 32-bit symbols (code points or word
// ids), and the mapping of whitespace-separated words to ids. Plain C++: no
// Python, so it runs on any thread without the GIL.
//
// Unit costs use Myers' bit-vector algorithm in its block form (one 64-bit
// word per 64 symbols of the shorter sequence per column); other substitution
// costs, and alphabets too large for the bit masks, use the two-row table.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace common {
namespace levenshtein {

struct Seq {
  const uint32_t* p;
  size_t n;
};

// Drops the common prefix and suffix: an optimal alignment matches them.
inline void strip_common(Seq& a, Seq& b) {
  while (a.n && b.n && a.p[0] == b.p[0]) {
    ++a.p, ++b.p;
    --a.n, --b.n;
  }
  while (a.n && b.n && a.p[a.n - 1] == b.p[b.n - 1]) --a.n, --b.n;
}

// The symbols of a pattern and their match masks: one row of `blocks` words
// per distinct symbol, bit i of the row set where the pattern holds it.
// Symbols absent from the pattern read row 0, all zeros. Symbols below 256
// (Latin-1 text, and the word ids of most sentences) index a table directly;
// the others go through a small open-addressing hash.
class MatchMasks {
 public:
  // false when the rows would not fit `max_words` words.
  bool build(Seq pattern, size_t blocks, size_t max_words) {
    for (uint32_t s : small_used_) small_[s] = 0;
    small_used_.clear();
    blocks_ = blocks;
    reset_wide(pattern);
    uint32_t distinct = 0;
    for (size_t i = 0; i < pattern.n; ++i) {
      uint32_t& row = slot(pattern.p[i]);
      if (row == 0) {
        row = ++distinct;
        if (pattern.p[i] < kSmall) small_used_.push_back(pattern.p[i]);
      }
    }
    if ((distinct + size_t{1}) * blocks > max_words) return false;
    words_.assign((distinct + size_t{1}) * blocks, 0);
    for (size_t i = 0; i < pattern.n; ++i)
      words_[slot(pattern.p[i]) * blocks + i / 64] |= uint64_t{1} << (i % 64);
    return true;
  }

  const uint64_t* row(uint32_t symbol) const {
    uint32_t r = 0;
    if (symbol < kSmall) {
      r = small_[symbol];
    } else if (wide_) {
      r = wide_rows_[find(symbol)];
    }
    return &words_[size_t{r} * blocks_];
  }

 private:
  static constexpr uint32_t kSmall = 256;

  // The hash only when the pattern has symbols past the direct table.
  void reset_wide(Seq pattern) {
    size_t wide = 0;
    for (size_t i = 0; i < pattern.n; ++i) wide += pattern.p[i] >= kSmall;
    wide_ = wide > 0;
    if (!wide_) return;
    size_t cap = 16;
    unsigned bits = 4;
    while (cap < 2 * wide) cap *= 2, ++bits;
    mask_ = cap - 1;
    shift_ = 32 - bits;
    wide_keys_.assign(cap, 0);
    wide_rows_.assign(cap, 0);
  }

  // The row number of `symbol`, 0 while it has none.
  uint32_t& slot(uint32_t symbol) {
    if (symbol < kSmall) return small_[symbol];
    const size_t at = find(symbol);
    wide_keys_[at] = symbol;
    return wide_rows_[at];
  }

  // The slot holding `symbol`, or the empty slot where it would go.
  size_t find(uint32_t symbol) const {
    size_t at = static_cast<uint32_t>(symbol * 0x9E3779B1u) >> shift_;
    while (wide_rows_[at] != 0 && wide_keys_[at] != symbol) at = (at + 1) & mask_;
    return at;
  }

  size_t blocks_ = 1, mask_ = 0;
  unsigned shift_ = 28;
  bool wide_ = false;
  uint32_t small_[kSmall] = {};
  std::vector<uint32_t> small_used_;
  std::vector<uint32_t> wide_keys_, wide_rows_;
  std::vector<uint64_t> words_;
};

// One 64-row block of one column: updates the vertical deltas (pv, mv) and
// returns the horizontal delta leaving the block's row `high`, given the one
// entering at its top (-1, 0 or +1).
inline int advance_block(uint64_t& pv, uint64_t& mv, uint64_t eq, int hin, uint64_t high) {
  const uint64_t hin_neg = hin < 0 ? 1 : 0;
  const uint64_t hin_pos = hin > 0 ? 1 : 0;
  const uint64_t xv = eq | mv;
  eq |= hin_neg;
  const uint64_t xh = (((eq & pv) + pv) ^ pv) | eq;
  uint64_t ph = mv | ~(xh | pv);
  uint64_t mh = pv & xh;
  const int hout = (ph & high) ? 1 : (mh & high) ? -1 : 0;
  ph = (ph << 1) | hin_pos;
  mh = (mh << 1) | hin_neg;
  pv = mh | ~(xv | ph);
  mv = ph & xv;
  return hout;
}

// Distances between pairs of sequences. One per thread: it keeps the scratch
// space between calls. `stop`, when given, is polled every 1024 bit-vector
// columns and every table column; a stopped call returns a meaningless value.
class Calculator {
 public:
  explicit Calculator(const std::atomic<bool>* stop = nullptr) : stop_(stop) {}

  // Unit costs for insertion, deletion and substitution.
  int64_t distance(Seq a, Seq b) {
    strip_common(a, b);
    if (a.n > b.n) std::swap(a, b);
    if (a.n == 0) return static_cast<int64_t>(b.n);
    const size_t blocks = (a.n + 63) / 64;
    if (!masks_.build(a, blocks, kMaxMaskWords)) return weighted_table(a, b, 1);
    return myers_blocks(a.n, blocks, b);
  }

  // Unit insertions and deletions, substitutions costing `substitution`
  // (at least 0; past 2 a substitution is never cheaper than a deletion and
  // an insertion, so larger costs give the same distances as 2).
  int64_t distance(Seq a, Seq b, int64_t substitution) {
    if (substitution == 1) return distance(a, b);
    strip_common(a, b);
    if (a.n > b.n) std::swap(a, b);
    if (a.n == 0) return static_cast<int64_t>(b.n);
    return weighted_table(a, b, std::min<int64_t>(substitution, 2));
  }

 private:
  static constexpr size_t kMaxMaskWords = size_t{1} << 22;  // 32 MiB of masks
  static constexpr uint64_t kHigh = uint64_t{1} << 63;

  bool stopped(size_t column, size_t every) const {
    return stop_ && column % every == 0 && stop_->load(std::memory_order_relaxed);
  }

  // Up to four blocks the deltas stay in registers.
  template <size_t B>
  int64_t myers_fixed(size_t m, Seq text) {
    uint64_t pv[B], mv[B];
    for (size_t k = 0; k < B; ++k) pv[k] = ~uint64_t{0}, mv[k] = 0;
    const uint64_t last = uint64_t{1} << ((m - 1) % 64);
    int64_t score = static_cast<int64_t>(m);
    for (size_t j = 0; j < text.n; ++j) {
      if (stopped(j, 1024)) return score;
      const uint64_t* eq = masks_.row(text.p[j]);
      int carry = 1;  // the top row grows by one per column
      for (size_t k = 0; k + 1 < B; ++k) carry = advance_block(pv[k], mv[k], eq[k], carry, kHigh);
      score += advance_block(pv[B - 1], mv[B - 1], eq[B - 1], carry, last);
    }
    return score;
  }

  int64_t myers_blocks(size_t m, size_t blocks, Seq text) {
    switch (blocks) {
      case 1: return myers_fixed<1>(m, text);
      case 2: return myers_fixed<2>(m, text);
      case 3: return myers_fixed<3>(m, text);
      case 4: return myers_fixed<4>(m, text);
      default: break;
    }
    pv_.assign(blocks, ~uint64_t{0});
    mv_.assign(blocks, 0);
    const uint64_t last = uint64_t{1} << ((m - 1) % 64);
    int64_t score = static_cast<int64_t>(m);
    for (size_t j = 0; j < text.n; ++j) {
      if (stopped(j, 1024)) return score;
      const uint64_t* eq = masks_.row(text.p[j]);
      int carry = 1;
      for (size_t k = 0; k + 1 < blocks; ++k)
        carry = advance_block(pv_[k], mv_[k], eq[k], carry, kHigh);
      score += advance_block(pv_[blocks - 1], mv_[blocks - 1], eq[blocks - 1], carry, last);
    }
    return score;
  }

  // The classic table, one row of the shorter sequence `a` kept.
  int64_t weighted_table(Seq a, Seq b, int64_t substitution) {
    row_.resize(a.n + 1);
    for (size_t i = 0; i <= a.n; ++i) row_[i] = static_cast<int64_t>(i);
    for (size_t j = 0; j < b.n; ++j) {
      if (stopped(j, 1)) return row_[a.n];
      int64_t diagonal = row_[0];
      row_[0] = static_cast<int64_t>(j + 1);
      for (size_t i = 1; i <= a.n; ++i) {
        const int64_t replace = diagonal + (a.p[i - 1] == b.p[j] ? 0 : substitution);
        diagonal = row_[i];
        row_[i] = std::min(std::min(row_[i], row_[i - 1]) + 1, replace);
      }
    }
    return row_[a.n];
  }

  const std::atomic<bool>* stop_;
  MatchMasks masks_;
  std::vector<uint64_t> pv_, mv_;
  std::vector<int64_t> row_;
};

// ---- words ----------------------------------------------------------------

// The separators of str.split(): Unicode White_Space with the information
// separators U+001C to U+001F.
inline bool is_space(uint32_t c) {
  if (c < 0x80) return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20);
  switch (c) {
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000: return true;
    default: return c >= 0x2000 && c <= 0x200A;
  }
}

// Maps the words of two texts to ids, equal words to equal ids.
class WordIds {
 public:
  void map(Seq first, Seq second, std::vector<uint32_t>& first_ids,
           std::vector<uint32_t>& second_ids) {
    words_.clear();
    split(first);
    const size_t split_at = words_.size();
    split(second);
    reset_table(words_.size());
    first_ids.clear();
    second_ids.clear();
    for (size_t w = 0; w < words_.size(); ++w)
      (w < split_at ? first_ids : second_ids).push_back(id_of(w));
  }

 private:
  struct Word {
    const uint32_t* p;
    size_t n;
    uint64_t hash;
  };

  void split(Seq s) {
    size_t i = 0;
    while (i < s.n) {
      while (i < s.n && is_space(s.p[i])) ++i;
      if (i == s.n) break;
      const size_t begin = i;
      // rotate-and-xor per code point, mixed once at the end: equal hashes
      // are compared in full, so this only needs to spread words out
      uint64_t hash = 0;
      for (; i < s.n && !is_space(s.p[i]); ++i) hash = ((hash << 7) | (hash >> 57)) ^ s.p[i];
      hash = (hash ^ (i - begin)) * 0x9E3779B97F4A7C15ull;
      words_.push_back({s.p + begin, i - begin, hash ^ (hash >> 29)});
    }
  }

  void reset_table(size_t n_words) {
    size_t cap = 16;
    while (cap < 2 * n_words) cap *= 2;
    slots_.assign(cap, kEmpty);
    ids_.assign(n_words, 0);
    next_id_ = 0;
  }

  uint32_t id_of(size_t w) {
    const Word& word = words_[w];
    const size_t mask = slots_.size() - 1;
    for (size_t slot = word.hash & mask;; slot = (slot + 1) & mask) {
      const uint32_t held = slots_[slot];
      if (held == kEmpty) {
        slots_[slot] = static_cast<uint32_t>(w);
        return ids_[w] = next_id_++;
      }
      if (same(words_[held], word)) return ids_[w] = ids_[held];
    }
  }

  static bool same(const Word& x, const Word& y) {
    return x.hash == y.hash && x.n == y.n && std::equal(x.p, x.p + x.n, y.p);
  }

  static constexpr uint32_t kEmpty = ~uint32_t{0};
  std::vector<Word> words_;
  std::vector<uint32_t> slots_;  // index of the first word seen in each slot
  std::vector<uint32_t> ids_;    // id of every word
  uint32_t next_id_ = 0;
};

}  // namespace levenshtein
}  // namespace common

namespace levenshtein = common::levenshtein;
