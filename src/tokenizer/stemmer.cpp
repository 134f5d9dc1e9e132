// The suffix stemmer: 39 rules tried in order, then a plural rule.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "tokenizer/tokenizer.hpp"

namespace quibra::tokenizer {
namespace {

struct SuffixRule {
  std::string_view suffix;
  std::string_view replacement;
  std::size_t min_stem;  // bytes that must stay in front of the suffix
};

// Longer and more specific endings come first; the first rule that applies wins.
constexpr SuffixRule suffix_rules[] = {
    {"ation", "", 3},    //  1
    {"izing", "ize", 3}, //  2
    {"ating", "ate", 3}, //  3
    {"nning", "n", 2},   //  4
    {"tting", "t", 2},   //  5
    {"pping", "p", 2},   //  6
    {"gging", "g", 2},   //  7
    {"bbing", "b", 2},   //  8
    {"dding", "d", 2},   //  9
    {"mming", "m", 2},   // 10
    {"lling", "l", 2},   // 11
    {"sses", "ss", 2},   // 12
    {"ness", "", 3},     // 13
    {"ment", "", 3},     // 14
    {"tion", "", 3},     // 15
    {"ized", "ize", 3},  // 16
    {"ling", "le", 3},   // 17
    {"ring", "r", 3},    // 18
    {"ning", "n", 3},    // 19
    {"ting", "t", 3},    // 20
    {"ping", "p", 3},    // 21
    {"bing", "b", 2},    // 22: 2, unlike its neighbours
    {"ding", "d", 3},    // 23
    {"ging", "g", 3},    // 24
    {"king", "k", 3},    // 25
    {"ming", "m", 3},    // 26
    {"lled", "ll", 3},   // 27
    {"nned", "n", 3},    // 28
    {"tted", "t", 3},    // 29
    {"pped", "p", 3},    // 30
    {"gged", "g", 3},    // 31
    {"bbed", "b", 3},    // 32
    {"dded", "d", 3},    // 33
    {"ing", "", 3},      // 34
    {"ies", "y", 3},     // 35
    {"ed", "", 3},       // 36
    {"er", "", 3},       // 37
    {"ly", "", 3},       // 38
    {"es", "", 4},       // 39: 4, not 3
};
constexpr std::size_t rule_count = std::size(suffix_rules);
static_assert(rule_count == 39);

// Shorter words are only lowercased.
constexpr std::size_t min_stemmed_size = 5;

constexpr bool every_rule_shortens() {
  for (const SuffixRule& rule : suffix_rules) {
    if (rule.replacement.size() >= rule.suffix.size() || rule.suffix.size() > min_stemmed_size) {
      return false;
    }
  }
  return true;
}
// A stem is shorter than its word: callers rely on it to detect "no change" by
// length and to bound the room that stems need.
static_assert(every_rule_shortens());

// The last (up to) five bytes of a text in one integer, the last byte lowest:
// a word's tail matches a suffix of length L when the low 8*L bits of the two
// packed forms are equal.
constexpr std::uint64_t pack_tail(std::string_view bytes) noexcept {
  std::uint64_t packed = 0;
  const std::size_t take = bytes.size() < 5 ? bytes.size() : 5;
  for (std::size_t j = 0; j < take; ++j) {
    packed |= std::uint64_t{static_cast<unsigned char>(bytes[bytes.size() - 1 - j])} << (8 * j);
  }
  return packed;
}

// The table in the form the matcher reads, grouped by the last byte of the
// suffix (each group in table order): a word is only compared with the rules
// that can match its last byte.
struct PackedRule {
  std::uint64_t suffix;  // pack_tail(suffix)
  std::uint64_t mask;    // the low 8 * suffix length bits
  std::uint8_t suffix_size;
  std::uint8_t min_stem;
  std::uint8_t rule;  // index into suffix_rules
};

struct RulesByLastByte {
  std::array<std::uint8_t, 257> begin{};  // group of byte b: rules[begin[b] .. begin[b + 1])
  std::array<PackedRule, rule_count> rules{};
};

constexpr RulesByLastByte group_rules() {
  RulesByLastByte groups;
  std::size_t filled = 0;
  for (unsigned byte = 0; byte < 256; ++byte) {
    groups.begin[byte] = static_cast<std::uint8_t>(filled);
    for (std::size_t r = 0; r < rule_count; ++r) {
      const SuffixRule& rule = suffix_rules[r];
      if (static_cast<unsigned char>(rule.suffix.back()) != byte) continue;
      groups.rules[filled++] = PackedRule{
          pack_tail(rule.suffix), (std::uint64_t{1} << (8 * rule.suffix.size())) - 1,
          static_cast<std::uint8_t>(rule.suffix.size()), static_cast<std::uint8_t>(rule.min_stem),
          static_cast<std::uint8_t>(r)};
    }
  }
  groups.begin[256] = static_cast<std::uint8_t>(filled);
  return groups;
}
constexpr RulesByLastByte rules_by_last_byte = group_rules();

// The cut of a word whose ASCII letters are lowercase.
constexpr StemCut cut_of(std::string_view w) noexcept {
  const std::size_t size = w.size();
  if (size < min_stemmed_size) return {size, {}};
  const auto byte = [&w, size](std::size_t from_end) {
    return std::uint64_t{static_cast<unsigned char>(w[size - from_end])};
  };
  const std::uint64_t tail =
      byte(1) | byte(2) << 8 | byte(3) << 16 | byte(4) << 24 | byte(5) << 32;  // pack_tail(w)
  const auto last = static_cast<unsigned>(tail & 0xff);
  for (std::size_t at = rules_by_last_byte.begin[last]; at < rules_by_last_byte.begin[last + 1];
       ++at) {
    const PackedRule& rule = rules_by_last_byte.rules[at];
    // A matching suffix with too short a stem does not end the search: a
    // later, shorter suffix may still apply (string: "ring" no, "ing" yes).
    if ((tail & rule.mask) == rule.suffix && size - rule.suffix_size >= rule.min_stem) {
      return {size - rule.suffix_size, suffix_rules[rule.rule].replacement};
    }
  }
  if (last == 's' && ((tail >> 8) & 0xff) != 's') return {size - 1, {}};
  return {size, {}};
}

static_assert(cut_of("running").keep == 2 && cut_of("running").replacement == "n");

// Lowercases A-Z in eight bytes at once. Each byte is tested on its low seven
// bits (the sums stay below 0x100, so no carry crosses into the next byte)
// and bytes with the high bit set are left alone.
constexpr std::uint64_t ascii_lower8(std::uint64_t bytes) noexcept {
  constexpr std::uint64_t ones = 0x0101010101010101u;
  const std::uint64_t low7 = bytes & (0x7f * ones);
  const std::uint64_t from_a = low7 + (0x80 - 'A') * ones;      // high bit: >= 'A'
  const std::uint64_t past_z = low7 + (0x80 - 'Z' - 1) * ones;  // high bit: > 'Z'
  const std::uint64_t upper = from_a & ~past_z & ~bytes & (0x80 * ones);
  return bytes | (upper >> 2);  // 0x80 >> 2 is the case bit 0x20
}

inline void lower8_at(const char* from, char* to) noexcept {
  std::uint64_t chunk;
  std::memcpy(&chunk, from, 8);
  chunk = ascii_lower8(chunk);
  std::memcpy(to, &chunk, 8);
}

inline void ascii_lower_copy(std::string_view from, char* to) noexcept {
  const std::size_t n = from.size();
  if (n < 8) {
    for (std::size_t i = 0; i < n; ++i) {
      const unsigned b = static_cast<unsigned char>(from[i]);
      to[i] = static_cast<char>(b - 'A' < 26u ? b + ('a' - 'A') : b);
    }
    return;
  }
  for (std::size_t i = 0; i + 8 <= n; i += 8) lower8_at(from.data() + i, to + i);
  // The last eight bytes once more: overlapping bytes get the same value.
  lower8_at(from.data() + n - 8, to + n - 8);
}

}  // namespace

StemCut stem_cut(std::string_view lowered) noexcept { return cut_of(lowered); }

std::size_t stem_into(std::string_view word, char* out) noexcept {
  ascii_lower_copy(word, out);
  const StemCut cut = cut_of({out, word.size()});
  std::copy(cut.replacement.begin(), cut.replacement.end(), out + cut.keep);
  return cut.keep + cut.replacement.size();
}

std::string stem_word(std::string_view word) {
  std::string stem(word.size(), '\0');
  stem.resize(stem_into(word, stem.data()));
  return stem;
}

}  // namespace quibra::tokenizer
