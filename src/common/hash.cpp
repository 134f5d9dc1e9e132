#include "common/hash.hpp"

#include <cstring>
#include <random>

namespace quibra {
namespace {

struct SipKey {
  std::uint64_t k0;
  std::uint64_t k1;
};

SipKey draw_key() {
  std::random_device source;
  auto word = [&source] {
    return (std::uint64_t{source()} << 32) ^ std::uint64_t{source()};
  };
  return SipKey{word(), word()};
}

// Thread-safe one-time initialisation (function-local static).
const SipKey& process_key() {
  static const SipKey key = draw_key();
  return key;
}

constexpr std::uint64_t rotl(std::uint64_t x, int b) noexcept {
  return (x << b) | (x >> (64 - b));
}

struct SipState {
  std::uint64_t v0, v1, v2, v3;

  void round() noexcept {
    v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
    v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
  }

  void absorb(std::uint64_t m) noexcept {
    v3 ^= m;
    round();
    v0 ^= m;
  }
};

std::uint64_t load_le64(const unsigned char* p) noexcept {
  std::uint64_t m = 0;
  for (int i = 7; i >= 0; --i) m = (m << 8) | p[i];
  return m;
}

}  // namespace

std::uint64_t mix_hash(std::uint64_t hash) noexcept {
  // The 64-bit finaliser of MurmurHash3 (a bijection) applied to the keyed value.
  std::uint64_t h = hash ^ process_key().k0;
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

std::uint64_t hash_text(std::string_view bytes) noexcept {
  const SipKey& key = process_key();
  SipState s{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL,
             key.k0 ^ 0x6c7967656e657261ULL, key.k1 ^ 0x7465646279746573ULL};
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  const std::size_t whole = n & ~std::size_t{7};
  for (std::size_t i = 0; i < whole; i += 8) s.absorb(load_le64(p + i));

  std::uint64_t last = static_cast<std::uint64_t>(n) << 56;
  for (std::size_t i = whole; i < n; ++i) last |= std::uint64_t{p[i]} << (8 * (i - whole));
  s.absorb(last);

  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace quibra
