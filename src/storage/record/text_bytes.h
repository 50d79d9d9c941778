// Byte-level helpers that record texts and the names of their places share: hexadecimal digits
// and strict UTF-8.
#pragma once

#include <cstddef>
#include <string_view>

namespace velk {

inline constexpr char kHexDigits[] = "0123456789abcdef";

// Writes two lower-case hexadecimal digits per byte at out, high nibble first.
inline void write_hex(const unsigned char* bytes, std::size_t count, char* out) noexcept {
  for (std::size_t k = 0; k < count; ++k) {
    out[2 * k] = kHexDigits[bytes[k] >> 4];
    out[2 * k + 1] = kHexDigits[bytes[k] & 0xF];
  }
}

// Strict UTF-8 (no surrogates, no overlong forms).
auto is_valid_utf8(std::string_view bytes) noexcept -> bool;

}  // namespace velk
