// The suffix stemmer: 39 rules tried in order, then a plural rule.
#include <array>
#include <cstddef>
#include <cstdint>
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

// The rules grouped by the last byte of their suffix, each group in table
// order: a word is only compared with the rules that can match its last byte.
struct RulesByLastByte {
  std::array<std::uint8_t, 257> begin{};  // group of byte b: order[begin[b] .. begin[b + 1])
  std::array<std::uint8_t, rule_count> order{};
};

constexpr RulesByLastByte group_rules() {
  RulesByLastByte groups;
  std::size_t filled = 0;
  for (unsigned byte = 0; byte < 256; ++byte) {
    groups.begin[byte] = static_cast<std::uint8_t>(filled);
    for (std::size_t r = 0; r < rule_count; ++r) {
      if (static_cast<unsigned char>(suffix_rules[r].suffix.back()) == byte) {
        groups.order[filled++] = static_cast<std::uint8_t>(r);
      }
    }
  }
  groups.begin[256] = static_cast<std::uint8_t>(filled);
  return groups;
}
constexpr RulesByLastByte rules_by_last_byte = group_rules();

constexpr char ascii_lower(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

StemCut stem_cut(std::string_view w) noexcept {
  const std::size_t size = w.size();
  if (size < min_stemmed_size) return {size, {}};
  const auto last = static_cast<unsigned char>(w.back());
  for (std::size_t at = rules_by_last_byte.begin[last]; at < rules_by_last_byte.begin[last + 1];
       ++at) {
    const SuffixRule& rule = suffix_rules[rules_by_last_byte.order[at]];
    // A matching suffix with too short a stem does not end the search: a
    // later, shorter suffix may still apply (string: "ring" no, "ing" yes).
    if (w.ends_with(rule.suffix) && size - rule.suffix.size() >= rule.min_stem) {
      return {size - rule.suffix.size(), rule.replacement};
    }
  }
  if (last == 's' && w[size - 2] != 's') return {size - 1, {}};
  return {size, {}};
}

std::string stem_word(std::string_view word) {
  std::string w(word);
  for (char& c : w) c = ascii_lower(c);
  const StemCut cut = stem_cut(w);
  w.resize(cut.keep);
  w.append(cut.replacement);
  return w;
}

}  // namespace quibra::tokenizer
