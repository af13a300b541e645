#pragma once
// Which texels already hold their final sample, for the rasteriser that works
// from the last triangle back.

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sampling/texel_triangle.h"

namespace lumivex {

// One bit per texel, row by row, and for each band how many of its texels
// are still open. A second level of bits marks, for each row, the words with
// an open texel, so that scanning the settled stretches of a row costs
// little: late in a run of large overlapping triangles, most are.
//
// The bits live in a grid's coverage words, so that once sampling is done the
// grid knows which texels a triangle wrote; a copy keeps bits of its own.
class SettledTexels {
 public:
  // `words`: the grid's coverage, all zero, (width + 63) / 64 words per row.
  SettledTexels(std::int32_t width, std::int32_t height, std::int32_t bands, std::uint64_t* words)
      : wordsPerRow_((static_cast<std::size_t>(width) + 63) / 64),
        summariesPerRow_((wordsPerRow_ + 63) / 64),
        rows_(static_cast<std::size_t>(height)),
        words_(words),
        summaries_(summariesPerRow_ * rows_, 0),
        unsettled_(static_cast<std::size_t>(bands), 0) {
    const std::size_t tail = static_cast<std::size_t>(width) % 64;
    for (std::int32_t row = 0; row < height; ++row) {
      unsettled_[static_cast<std::size_t>((row >> Band::kStripeShift) & (bands - 1))] += static_cast<std::size_t>(width);
      const std::size_t first = static_cast<std::size_t>(row) * wordsPerRow_;
      // Columns past the grid count as settled, so that a full word is all ones.
      if (tail != 0) words_[first + wordsPerRow_ - 1] = ~std::uint64_t{0} << tail;
      for (std::size_t w = 0; w < wordsPerRow_; ++w) {
        summaries_[static_cast<std::size_t>(row) * summariesPerRow_ + w / 64] |= std::uint64_t{1} << (w % 64);
      }
    }
  }
  SettledTexels(const SettledTexels& other)
      : wordsPerRow_(other.wordsPerRow_),
        summariesPerRow_(other.summariesPerRow_),
        rows_(other.rows_),
        own_(other.words_, other.words_ + other.wordsPerRow_ * other.rows_),
        words_(own_.data()),
        summaries_(other.summaries_),
        unsettled_(other.unsettled_) {}
  SettledTexels& operator=(const SettledTexels&) = delete;

  bool allSettled(const Band& band) const { return unsettled_[static_cast<std::size_t>(band.index)] == 0; }
  bool isSettled(std::int32_t col, std::int32_t row) const {
    return (words_[wordIndex(col, row)] >> (col & 63) & 1u) != 0;
  }
  bool allSettled() const {
    return std::all_of(unsettled_.begin(), unsettled_.end(), [](std::size_t open) { return open == 0; });
  }
  void settle(std::int32_t col, std::int32_t row, const Band& band) {
    std::uint64_t& word = words_[wordIndex(col, row)];
    word |= std::uint64_t{1} << (col & 63);
    if (word == ~std::uint64_t{0}) {
      const std::size_t w = static_cast<std::size_t>(col) / 64;
      summaries_[static_cast<std::size_t>(row) * summariesPerRow_ + w / 64] &= ~(std::uint64_t{1} << (w % 64));
    }
    --unsettled_[static_cast<std::size_t>(band.index)];
  }
  // The unsettled columns of [first, last] in one row, lowest first.
  template <typename Visit>
  void forEachUnsettled(std::int32_t row, ScanRange cols, Visit&& visit) const {
    if (cols.first > cols.last) return;
    const std::size_t firstWord = static_cast<std::size_t>(cols.first) / 64;
    const std::size_t lastWord = static_cast<std::size_t>(cols.last) / 64;
    const std::uint64_t* summary = &summaries_[static_cast<std::size_t>(row) * summariesPerRow_];
    for (std::size_t s = firstWord / 64; s <= lastWord / 64; ++s) {
      std::uint64_t openWords = summary[s];
      if (s == firstWord / 64) openWords &= ~std::uint64_t{0} << (firstWord % 64);
      if (s == lastWord / 64 && lastWord % 64 < 63) openWords &= ~(~std::uint64_t{0} << (lastWord % 64 + 1));
      while (openWords != 0) {
        const std::size_t w = s * 64 + static_cast<std::size_t>(std::countr_zero(openWords));
        openWords &= openWords - 1;
        const auto base = static_cast<std::int32_t>(w * 64);
        std::uint64_t open = ~words_[static_cast<std::size_t>(row) * wordsPerRow_ + w];
        if (cols.first > base) open &= ~std::uint64_t{0} << (cols.first - base);
        if (cols.last - base < 63) open &= ~(~std::uint64_t{0} << (cols.last - base + 1));
        while (open != 0) {
          visit(base + std::countr_zero(open));
          open &= open - 1;
        }
      }
    }
  }

 private:
  std::size_t wordIndex(std::int32_t col, std::int32_t row) const {
    return static_cast<std::size_t>(row) * wordsPerRow_ + static_cast<std::size_t>(col) / 64;
  }
  std::size_t wordsPerRow_;
  std::size_t summariesPerRow_;
  std::size_t rows_;
  std::vector<std::uint64_t> own_;  // a copy's bits
  std::uint64_t* words_;
  std::vector<std::uint64_t> summaries_;  // bit w of a row's summary: word w has an open texel
  std::vector<std::size_t> unsettled_;    // one count per band, each written by its own worker only
};

}  // namespace lumivex
