#include "download/sha256.h"

#include <algorithm>
#include <cstring>

#include "platform/system.h"

#if defined(__x86_64__) || defined(_M_X64)
#define VORA_SHA_EXTENSIONS 1
#include <immintrin.h>
#if defined(__GNUC__) || defined(__clang__)
#define VORA_TARGET_SHA __attribute__((target("sha,sse4.1")))
#else
#define VORA_TARGET_SHA
#endif
#else
#define VORA_SHA_EXTENSIONS 0
#endif

namespace vora {
namespace {

alignas(16) constexpr std::uint32_t round_constants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::array<std::uint32_t, 8> initial_state = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

std::uint32_t load_be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
}

void compress_portable(std::uint32_t* state, const std::uint8_t* data, std::size_t blocks) {
  std::uint32_t w[64];
  for (; blocks > 0; --blocks, data += 64) {
    for (std::size_t t = 0; t < 16; ++t) w[t] = load_be32(data + 4 * t);
    for (int t = 16; t < 64; ++t) {
      const std::uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
      const std::uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
      w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int t = 0; t < 64; ++t) {
      const std::uint32_t t1 =
          h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + round_constants[t] + w[t];
      const std::uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
  }
}

#if VORA_SHA_EXTENSIONS

// Four rounds with message words `cur`; the SHA unit works on the state as
// the two halves ABEF and CDGH.
#define VORA_QUAD_BEGIN(group, cur)                                                                                  \
  msg = _mm_add_epi32(cur,                                                                                           \
                      _mm_load_si128(reinterpret_cast<const __m128i*>(round_constants + std::size_t{4} * (group)))); \
  cdgh = _mm_sha256rnds2_epu32(cdgh, abef, msg)
#define VORA_QUAD_END()               \
  msg = _mm_shuffle_epi32(msg, 0x0E); \
  abef = _mm_sha256rnds2_epu32(abef, cdgh, msg)
// Schedule: next += (cur:prev >> 32 bits), then the second message step.
#define VORA_SCHEDULE2(next, cur, prev) \
  next = _mm_sha256msg2_epu32(_mm_add_epi32(next, _mm_alignr_epi8(cur, prev, 4)), cur)
#define VORA_SCHEDULE1(prev, cur) prev = _mm_sha256msg1_epu32(prev, cur)

VORA_TARGET_SHA void compress_sha_extensions(std::uint32_t* state, const std::uint8_t* data, std::size_t blocks) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
  const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

  for (; blocks > 0; --blocks, data += 64) {
    const __m128i abef_saved = abef;
    const __m128i cdgh_saved = cdgh;
    __m128i msg;
    __m128i m0 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data)), byte_swap);
    __m128i m1 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16)), byte_swap);
    __m128i m2 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 32)), byte_swap);
    __m128i m3 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 48)), byte_swap);

    VORA_QUAD_BEGIN(0, m0);
    VORA_QUAD_END();
    VORA_QUAD_BEGIN(1, m1);
    VORA_QUAD_END();
    VORA_SCHEDULE1(m0, m1);
    VORA_QUAD_BEGIN(2, m2);
    VORA_QUAD_END();
    VORA_SCHEDULE1(m1, m2);
    VORA_QUAD_BEGIN(3, m3);
    VORA_SCHEDULE2(m0, m3, m2);
    VORA_QUAD_END();
    VORA_SCHEDULE1(m2, m3);
    VORA_QUAD_BEGIN(4, m0);
    VORA_SCHEDULE2(m1, m0, m3);
    VORA_QUAD_END();
    VORA_SCHEDULE1(m3, m0);
    VORA_QUAD_BEGIN(5, m1);
    VORA_SCHEDULE2(m2, m1, m0);
    VORA_QUAD_END();
    VORA_SCHEDULE1(m0, m1);
    VORA_QUAD_BEGIN(6, m2);
    VORA_SCHEDULE2(m3, m2, m1);
    VORA_QUAD_END();
    VORA_SCHEDULE1(m1, m2);
    VORA_QUAD_BEGIN(7, m3);
    VORA_SCHEDULE2(m0, m3, m2);
    VORA_QUAD_END();
    VORA_SCHEDULE1(m2, m3);
    VORA_QUAD_BEGIN(8, m0);
    VORA_SCHEDULE2(m1, m0, m3);
    VORA_QUAD_END();
    VORA_SCHEDULE1(m3, m0);
    VORA_QUAD_BEGIN(9, m1);
    VORA_SCHEDULE2(m2, m1, m0);
    VORA_QUAD_END();
    VORA_SCHEDULE1(m0, m1);
    VORA_QUAD_BEGIN(10, m2);
    VORA_SCHEDULE2(m3, m2, m1);
    VORA_QUAD_END();
    VORA_SCHEDULE1(m1, m2);
    VORA_QUAD_BEGIN(11, m3);
    VORA_SCHEDULE2(m0, m3, m2);
    VORA_QUAD_END();
    VORA_SCHEDULE1(m2, m3);
    VORA_QUAD_BEGIN(12, m0);
    VORA_SCHEDULE2(m1, m0, m3);
    VORA_QUAD_END();
    VORA_SCHEDULE1(m3, m0);
    VORA_QUAD_BEGIN(13, m1);
    VORA_SCHEDULE2(m2, m1, m0);
    VORA_QUAD_END();
    VORA_QUAD_BEGIN(14, m2);
    VORA_SCHEDULE2(m3, m2, m1);
    VORA_QUAD_END();
    VORA_QUAD_BEGIN(15, m3);
    VORA_QUAD_END();

    abef = _mm_add_epi32(abef, abef_saved);
    cdgh = _mm_add_epi32(cdgh, cdgh_saved);
  }

  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  dcba = _mm_blend_epi16(feba, dchg, 0xF0);
  hgfe = _mm_alignr_epi8(dchg, feba, 8);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), dcba);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), hgfe);
}

#undef VORA_QUAD_BEGIN
#undef VORA_QUAD_END
#undef VORA_SCHEDULE2
#undef VORA_SCHEDULE1

#endif  // VORA_SHA_EXTENSIONS

}  // namespace

bool sha256::sha_extensions_available() {
#if VORA_SHA_EXTENSIONS
  const auto basic = sys().cpuid(0, 0);
  if (static_cast<std::int32_t>(basic[0]) < 7) return false;
  const auto features = sys().cpuid(1, 0);
  const bool ssse3 = ((features[2] >> 9) & 1) != 0u;
  const bool sse41 = ((features[2] >> 19) & 1) != 0u;
  const bool sha = ((sys().cpuid(7, 0)[1] >> 29) & 1) != 0u;
  return ssse3 && sse41 && sha;
#else
  return false;
#endif
}

sha256::sha256() : which_(sha_extensions_available() ? implementation::sha_extensions : implementation::portable) {
  reset();
}

sha256::sha256(implementation which) : which_(which) {
  // Never risk an illegal instruction on a processor without the extensions.
  if (which_ == implementation::sha_extensions && !sha_extensions_available()) which_ = implementation::portable;
  reset();
}

void sha256::reset() {
  state_ = initial_state;
  pending_size_ = 0;
  total_bytes_ = 0;
}

void sha256::compress(const std::uint8_t* blocks, std::size_t count) {
#if VORA_SHA_EXTENSIONS
  if (which_ == implementation::sha_extensions) {
    compress_sha_extensions(state_.data(), blocks, count);
    return;
  }
#endif
  compress_portable(state_.data(), blocks, count);
}

void sha256::update(const void* data, std::size_t size) {
  auto* bytes = static_cast<const std::uint8_t*>(data);
  total_bytes_ += size;
  if (pending_size_ > 0) {
    const std::size_t take = std::min(size, pending_.size() - pending_size_);
    std::memcpy(pending_.data() + pending_size_, bytes, take);
    pending_size_ += take;
    bytes += take;
    size -= take;
    if (pending_size_ < pending_.size()) return;
    compress(pending_.data(), 1);
    pending_size_ = 0;
  }
  // Whole blocks straight from the caller's memory.
  const std::size_t blocks = size / 64;
  if (blocks > 0) compress(bytes, blocks);
  bytes += blocks * 64;
  size -= blocks * 64;
  if (size > 0) {
    std::memcpy(pending_.data(), bytes, size);
    pending_size_ = size;
  }
}

sha256::digest sha256::finish() {
  const std::uint64_t bit_length = total_bytes_ * 8;
  std::array<std::uint8_t, 128> tail{};
  std::memcpy(tail.data(), pending_.data(), pending_size_);
  tail[pending_size_] = 0x80;
  // The length needs 8 bytes after the 0x80 marker: one or two blocks.
  const std::size_t tail_size = pending_size_ + 1 + 8 <= 64 ? 64 : 128;
  for (int i = 0; i < 8; ++i) tail[tail_size - 1 - i] = static_cast<std::uint8_t>(bit_length >> (8 * i));
  compress(tail.data(), tail_size / 64);

  digest out{};
  for (std::size_t i = 0; i < 8; ++i) {
    out[4 * i] = static_cast<std::uint8_t>(state_[i] >> 24);
    out[4 * i + 1] = static_cast<std::uint8_t>(state_[i] >> 16);
    out[4 * i + 2] = static_cast<std::uint8_t>(state_[i] >> 8);
    out[4 * i + 3] = static_cast<std::uint8_t>(state_[i]);
  }
  reset();
  return out;
}

std::string to_hex(std::span<const std::uint8_t> digest) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(64);
  for (const std::uint8_t byte : digest) {
    out += digits[byte >> 4];
    out += digits[byte & 0x0F];
  }
  return out;
}

}  // namespace vora
