// Strict UTF-8, checked a word at a time while the text is ASCII.
#include "storage/record/text_bytes.h"

#include <cstdint>
#include <cstring>

namespace velk {

auto is_valid_utf8(std::string_view s) noexcept -> bool {
  std::size_t i = 0;
  const auto n = s.size();
  while (i < n) {
    // Record texts are mostly ASCII: 32 bytes at a time, then eight, while no byte has its high bit.
    auto word_at = [&](std::size_t at) {
      std::uint64_t word;
      std::memcpy(&word, s.data() + at, 8);
      return word;
    };
    constexpr std::uint64_t kHigh = 0x8080808080808080ull;
    while (i + 32 <= n && ((word_at(i) | word_at(i + 8) | word_at(i + 16) | word_at(i + 24)) & kHigh) == 0) i += 32;
    while (i + 8 <= n && (word_at(i) & kHigh) == 0) i += 8;
    if (i >= n) break;
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    auto cont = [&](std::size_t k) { return i + k < n && (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80; };
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
    if (c >= 0xC2 && c <= 0xDF) {
      if (!cont(1)) return false;
      i += 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      if (!cont(1) || !cont(2)) return false;
      if (c == 0xE0 && byte(1) < 0xA0) return false;   // overlong
      if (c == 0xED && byte(1) > 0x9F) return false;   // surrogates
      i += 3;
    } else if (c >= 0xF0 && c <= 0xF4) {
      if (!cont(1) || !cont(2) || !cont(3)) return false;
      if (c == 0xF0 && byte(1) < 0x90) return false;
      if (c == 0xF4 && byte(1) > 0x8F) return false;
      i += 4;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace velk
