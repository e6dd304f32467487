// SHA-256 as published in FIPS 180-4, computed in the process. Two block
// functions: a portable one and one using the processor's SHA extensions,
// chosen at run time from CPUID.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace vora {

class sha256 {
 public:
  using digest = std::array<std::uint8_t, 32>;
  enum class implementation { portable, sha_extensions };

  // Uses the SHA extensions when the processor offers them.
  sha256();
  // Falls back to the portable path when the extensions are not available.
  explicit sha256(implementation which);

  void update(const void* data, std::size_t size);
  // Ends the message; the object starts a new, empty message afterwards.
  digest finish();

  implementation which() const { return which_; }

  // SHA extensions (CPUID leaf 7 EBX bit 29) together with SSSE3 and SSE4.1
  // (leaf 1 ECX bits 9 and 19), asked through sys().cpuid.
  static bool sha_extensions_available();

 private:
  void reset();
  void compress(const std::uint8_t* blocks, std::size_t count);

  implementation which_;
  std::array<std::uint32_t, 8> state_{};
  std::array<std::uint8_t, 64> pending_{};
  std::size_t pending_size_ = 0;
  std::uint64_t total_bytes_ = 0;
};

// Two lower-case hexadecimal digits a byte.
std::string to_hex(std::span<const std::uint8_t> digest);

}  // namespace vora
