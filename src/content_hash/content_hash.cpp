#include "content_hash/content_hash.hpp"

#include <cstddef>
#include <cstdint>

#include "common/string_index.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#define QUIBRA_HASH_VECTOR 1
#endif

namespace quibra::content_hash {
namespace {

// Unrolled over n bytes the recurrence reads
//   h' = h * P^n + sum over j of b[j] * P^(n-1-j)   (mod 2^64).
// The terms of the sum depend neither on each other nor on h, so they can be
// formed in parallel and added in any grouping: arithmetic modulo 2^64 is
// exact under reassociation. Only one multiplication per step stays on the
// chain through h.

// Bytes per vector block. The 32-bit lane sums of a block must not overflow
// (see weight_digits); at 1024 bytes they stay below 2^30 in magnitude, and
// the weights of one block (8 KiB of digits) stay in the first-level cache.
constexpr std::size_t block = 1024;

// powers[k] = P^k mod 2^64, k = 0 .. block.
constexpr std::array<std::uint64_t, block + 1> powers = [] {
  std::array<std::uint64_t, block + 1> table{};
  std::uint64_t power = 1;
  for (std::uint64_t& entry : table) {
    entry = power;
    power *= multiplier;
  }
  return table;
}();

std::uint64_t hash_scalar(const unsigned char* bytes, std::size_t n, std::uint64_t h) noexcept {
  for (; n >= 8; bytes += 8, n -= 8) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < 8; ++i) sum += std::uint64_t{bytes[i]} * powers[7 - i];
    h = h * powers[8] + sum;
  }
  for (; n > 0; ++bytes, --n) h = h * multiplier + std::uint64_t{*bytes};
  return h;
}

#ifdef QUIBRA_HASH_VECTOR

// The weight of byte j of a block, P^(block-1-j), split into four signed
// 16-bit digits: weight = sum over d of digit[d][j] * 2^(16 d) (mod 2^64).
// The multiply-add instructions take signed 16-bit factors; with a byte
// (0 .. 255) against a digit (-32768 .. 32767) one multiply-add gives a pair
// sum of magnitude below 2^24, and a 32-bit lane gathers at most block/16 = 64
// of them per block, so lane sums stay below 2^30 in magnitude.
// A shorter run of n bytes uses the last n weights of the table, which are
// exactly P^(n-1) .. P^0.
struct WeightDigits {
  alignas(64) std::int16_t digit[4][block];
};

constexpr WeightDigits weight_digits = [] {
  WeightDigits table{};
  for (std::size_t j = 0; j < block; ++j) {
    std::uint64_t rest = powers[block - 1 - j];
    for (std::size_t d = 0; d < 4; ++d) {
      const auto digit = static_cast<std::int16_t>(static_cast<std::uint16_t>(rest));
      table.digit[d][j] = digit;
      // Wrapping here is harmless: digit d only matters modulo 2^(64 - 16 d).
      rest = (rest - static_cast<std::uint64_t>(std::int64_t{digit})) >> 16;
    }
  }
  return table;
}();

constexpr bool digits_rebuild_weights() {
  for (std::size_t j = 0; j < block; ++j) {
    std::uint64_t weight = 0;
    for (std::size_t d = 0; d < 4; ++d) {
      weight += static_cast<std::uint64_t>(std::int64_t{weight_digits.digit[d][j]}) << (16 * d);
    }
    if (weight != powers[block - 1 - j]) return false;
  }
  return true;
}
static_assert(digits_rebuild_weights());

// The sum of the two 64-bit lanes, modulo 2^64.
std::uint64_t lane_total(__m128i lanes) noexcept {
  return static_cast<std::uint64_t>(_mm_cvtsi128_si64(lanes)) +
         static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(lanes, lanes)));
}

// Hardware prefetching alone leaves a long input waiting on memory; asking
// two blocks ahead keeps the loads in cache. A prefetch is only a hint and
// never faults, so running past the end is harmless; the address is formed as
// an integer so that no pointer leaves its object.
constexpr std::uintptr_t prefetch_distance = 2 * block;

inline void prefetch_ahead(const unsigned char* at) noexcept {
  _mm_prefetch(reinterpret_cast<const char*>(reinterpret_cast<std::uintptr_t>(at) + prefetch_distance),
               _MM_HINT_T0);
}

// sum over j < n of bytes[j] * P^(n-1-j), for n a multiple of 32 up to block.
std::uint64_t weighted_sum_sse2(const unsigned char* bytes, std::size_t n) noexcept {
  const std::size_t first = block - n;
  const __m128i zero = _mm_setzero_si128();
  // Low and high halves of each 16 bytes go to separate sums: more
  // independent additions in flight, and each lane still sees at most 64.
  __m128i low_sum[4] = {zero, zero, zero, zero};
  __m128i high_sum[4] = {zero, zero, zero, zero};
  for (std::size_t j = 0; j < n; j += 16) {
    prefetch_ahead(bytes + j);
    const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + j));
    const __m128i low = _mm_unpacklo_epi8(raw, zero);
    const __m128i high = _mm_unpackhi_epi8(raw, zero);
    // Unrolled so that the sums live in registers.
#pragma GCC unroll 4
    for (std::size_t d = 0; d < 4; ++d) {
      const std::int16_t* weights = &weight_digits.digit[d][first + j];
      low_sum[d] = _mm_add_epi32(
          low_sum[d], _mm_madd_epi16(low, _mm_loadu_si128(reinterpret_cast<const __m128i*>(weights))));
      high_sum[d] = _mm_add_epi32(
          high_sum[d], _mm_madd_epi16(high, _mm_loadu_si128(reinterpret_cast<const __m128i*>(weights + 8))));
    }
  }
  __m128i total = zero;
#pragma GCC unroll 4
  for (std::size_t d = 0; d < 4; ++d) {
    for (const __m128i lanes : {low_sum[d], high_sum[d]}) {
      // Sign-extend the four 32-bit lanes to 64 bits before adding them up.
      const __m128i sign = _mm_srai_epi32(lanes, 31);
      const __m128i wide = _mm_add_epi64(_mm_unpacklo_epi32(lanes, sign), _mm_unpackhi_epi32(lanes, sign));
      total = _mm_add_epi64(total, _mm_sll_epi64(wide, _mm_cvtsi32_si128(static_cast<int>(16 * d))));
    }
  }
  return lane_total(total);
}

__attribute__((target("avx2"))) std::uint64_t weighted_sum_avx2(const unsigned char* bytes,
                                                                 std::size_t n) noexcept {
  const std::size_t first = block - n;
  __m256i sum[4] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(),
                    _mm256_setzero_si256()};
  for (std::size_t j = 0; j < n; j += 32) {
    prefetch_ahead(bytes + j);
    const __m256i low = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + j)));
    const __m256i high =
        _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + j + 16)));
    // Unrolled so that the sums live in registers.
#pragma GCC unroll 4
    for (std::size_t d = 0; d < 4; ++d) {
      const std::int16_t* weights = &weight_digits.digit[d][first + j];
      const __m256i low_terms =
          _mm256_madd_epi16(low, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(weights)));
      const __m256i high_terms =
          _mm256_madd_epi16(high, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(weights + 16)));
      sum[d] = _mm256_add_epi32(sum[d], _mm256_add_epi32(low_terms, high_terms));
    }
  }
  __m256i total = _mm256_setzero_si256();
#pragma GCC unroll 4
  for (std::size_t d = 0; d < 4; ++d) {
    const __m256i wide = _mm256_add_epi64(_mm256_cvtepi32_epi64(_mm256_castsi256_si128(sum[d])),
                                          _mm256_cvtepi32_epi64(_mm256_extracti128_si256(sum[d], 1)));
    total = _mm256_add_epi64(total, _mm256_sll_epi64(wide, _mm_cvtsi32_si128(static_cast<int>(16 * d))));
  }
  return lane_total(_mm_add_epi64(_mm256_castsi256_si128(total), _mm256_extracti128_si256(total, 1)));
}

using WeightedSum = std::uint64_t (*)(const unsigned char*, std::size_t) noexcept;

// Chosen once per process from what the processor offers.
WeightedSum weighted_sum_routine() noexcept {
  static const WeightedSum routine = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? WeightedSum{weighted_sum_avx2} : WeightedSum{weighted_sum_sse2};
  }();
  return routine;
}

#endif  // QUIBRA_HASH_VECTOR

}  // namespace

std::uint64_t hash_bytes(std::span<const unsigned char> content) noexcept {
  const unsigned char* bytes = content.data();
  std::size_t n = content.size();
  std::uint64_t h = seed;
#ifdef QUIBRA_HASH_VECTOR
  if (n >= 32) {
    const WeightedSum weighted_sum = weighted_sum_routine();
    for (; n >= block; bytes += block, n -= block) h = h * powers[block] + weighted_sum(bytes, block);
    // The rest in whole 32-byte steps, weighted by the end of the table.
    const std::size_t run = n & ~std::size_t{31};
    if (run != 0) {
      h = h * powers[run] + weighted_sum(bytes, run);
      bytes += run;
      n -= run;
    }
  }
#endif
  return hash_scalar(bytes, n, h);
}

HashText format_hash(std::uint64_t hash) noexcept {
  constexpr char hex_digits[] = "0123456789abcdef";
  HashText text;
  for (std::size_t i = text.size(); i-- > 0; hash >>= 4) text[i] = hex_digits[hash & 0xF];
  return text;
}

std::vector<FileHash> batch_content_hash(std::span<const FileContent> files) {
  StringIndex paths(files.size());
  std::vector<FileHash> hashed;
  hashed.reserve(files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    const HashText text = format_hash(hash_bytes(files[i].content));
    // Indexes are dense in order of first appearance, like `hashed`; a
    // repeated path overwrites, so the last content wins.
    const auto [index, inserted] = paths.insert(files[i].path);
    if (inserted) {
      hashed.push_back({files[i].path, i, text});
    } else {
      hashed[index].text = text;
    }
  }
  return hashed;
}

}  // namespace quibra::content_hash
