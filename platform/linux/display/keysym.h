// The keysym that stands for a Unicode scalar, shared by every way of typing keys on Linux (X11
// key mappings and Wayland keymaps speak the same keysyms).
#pragma once

#include <optional>

namespace caretsafe::linux_desktop {

// Latin-1 characters by their code point, every other scalar 0x01000000 + code point. Empty
// for a scalar that is never typed: a control character (C0, DEL, C1), a line or paragraph
// separator, a surrogate, or anything beyond U+10FFFF.
inline std::optional<unsigned long> keysymForScalar(char32_t scalar) {
  if (scalar < 0x20 || (scalar >= 0x7f && scalar <= 0x9f)) return std::nullopt;
  if (scalar == 0x2028 || scalar == 0x2029) return std::nullopt;
  if ((scalar >= 0xd800 && scalar <= 0xdfff) || scalar > 0x10ffff) return std::nullopt;
  if (scalar <= 0xff) return static_cast<unsigned long>(scalar);
  return 0x01000000UL + static_cast<unsigned long>(scalar);
}

}  // namespace caretsafe::linux_desktop
