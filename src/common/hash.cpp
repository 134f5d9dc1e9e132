#include "common/hash.hpp"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <random>
#include <thread>

#include <unistd.h>
#if __has_include(<sys/random.h>)
#include <sys/random.h>
#define QUIBRA_HAVE_GETRANDOM 1
#endif

namespace quibra {
namespace {

struct SipKey {
  std::uint64_t k0;
  std::uint64_t k1;
};

// The standard library's random source. std::random_device throws where it
// finds no entropy source (no /dev/urandom in a chroot or a sandbox, a
// refused system call), from its constructor or from a draw.
bool key_from_random_device(SipKey& key) noexcept {
  try {
    std::random_device source;
    auto word = [&source] {
      return (std::uint64_t{source()} << 32) ^ std::uint64_t{source()};
    };
    key.k0 = word();
    key.k1 = word();
    return true;
  } catch (...) {
    return false;
  }
}

// The kernel's random source asked directly, which needs no device file.
// Does not wait for the pool at early boot: a non-blocking refusal fails.
bool key_from_getrandom(SipKey& key) noexcept {
#ifdef QUIBRA_HAVE_GETRANDOM
  std::uint64_t words[2];
  auto* bytes = reinterpret_cast<unsigned char*>(words);
  std::size_t filled = 0;
  while (filled < sizeof(words)) {
    const ssize_t got = getrandom(bytes + filled, sizeof(words) - filled, GRND_NONBLOCK);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    filled += static_cast<std::size_t>(got);
  }
  key.k0 = words[0];
  key.k1 = words[1];
  return true;
#else
  (void)key;
  return false;
#endif
}

// SplitMix64's finaliser: spreads every input bit over the whole word.
constexpr std::uint64_t splitmix(std::uint64_t x) noexcept {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// Last resort when the system offers no random source: what differs from one
// process to the next (the clocks, the process id, addresses placed by
// address-space randomisation, the thread), mixed together. Not secret from
// a local observer, but not predictable from the inputs alone either.
SipKey key_from_process_traits() noexcept {
  int on_stack = 0;
  const std::uint64_t traits[] = {
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()),
      static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()),
      static_cast<std::uint64_t>(::getpid()),
      reinterpret_cast<std::uintptr_t>(&on_stack),
      reinterpret_cast<std::uintptr_t>(&key_from_process_traits),
      static_cast<std::uint64_t>(std::hash<std::thread::id>{}(std::this_thread::get_id())),
      static_cast<std::uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count()),
  };
  std::uint64_t state = 0;
  for (const std::uint64_t trait : traits) state = splitmix(state ^ trait);
  return SipKey{splitmix(state ^ 1), splitmix(state ^ 2)};
}

SipKey draw_key() noexcept {
  SipKey key{};
  if (key_from_random_device(key) || key_from_getrandom(key)) return key;
  return key_from_process_traits();
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
