// Token streams: splitting code text into word tokens, then enriching them
// with stems and abbreviation expansions.
#include "tokenizer/tokenizer.hpp"

#include <array>
#include <bit>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/string_index.hpp"
#include "tokenizer/char_classes.hpp"

namespace quibra::tokenizer {
namespace {

// Class codes of the generated tables.
enum CharClass : unsigned { separator = 0, alnum = 1, upper = 2, lower = 3 };

// Bit j of each mask describes byte j of a block of 64 bytes.
struct AsciiBlock {
  std::uint64_t alnum = 0;
  std::uint64_t upper = 0;
  std::uint64_t lower = 0;
  std::uint64_t non_ascii = 0;  // bytes 0x80 and up, decoded one character at a time
};

#if defined(__SSE2__)
AsciiBlock classify_block(const unsigned char* p) noexcept {
  AsciiBlock block;
  for (unsigned part = 0; part < 4; ++part) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * part));
    // Signed comparisons: bytes 0x80 and up are negative and fall in no range.
    auto in_range = [&x](char first, char last) {
      return static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(
          _mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8(static_cast<char>(first - 1))),
                        _mm_cmplt_epi8(x, _mm_set1_epi8(static_cast<char>(last + 1)))))));
    };
    const unsigned shift = 16 * part;
    const std::uint64_t upper_bits = in_range('A', 'Z');
    const std::uint64_t lower_bits = in_range('a', 'z');
    block.upper |= upper_bits << shift;
    block.lower |= lower_bits << shift;
    block.alnum |= (upper_bits | lower_bits | in_range('0', '9')) << shift;
    block.non_ascii |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(x))} << shift;
  }
  return block;
}
#else
AsciiBlock classify_block(const unsigned char* p) noexcept {
  AsciiBlock block;
  for (unsigned j = 0; j < 64; ++j) {
    const unsigned b = p[j];
    const std::uint64_t bit = std::uint64_t{1} << j;
    if (b >= 0x80) block.non_ascii |= bit;
    else if (b - 'a' < 26u) block.lower |= bit, block.alnum |= bit;
    else if (b - 'A' < 26u) block.upper |= bit, block.alnum |= bit;
    else if (b - '0' < 10u) block.alnum |= bit;
  }
  return block;
}
#endif

static_assert(char_classes::code_of('a') == lower && char_classes::code_of('Z') == upper &&
                  char_classes::code_of('5') == alnum && char_classes::code_of('_') == separator,
              "the generated tables agree with the ASCII fast path");

// Decodes the well-formed UTF-8 sequence starting at p[0] (a byte >= 0x80)
// within `avail` bytes. Returns its length and sets `cp`, or returns 0 for a
// byte that starts no well-formed sequence (a stray continuation byte, an
// overlong form, a surrogate, a value above U+10FFFF or a truncated sequence).
std::size_t decode(const unsigned char* p, std::size_t avail, std::uint32_t& cp) noexcept {
  const unsigned lead = p[0];
  auto continuation = [&](std::size_t i) { return i < avail && (p[i] & 0xc0) == 0x80; };
  if (lead >= 0xc2 && lead <= 0xdf) {
    if (!continuation(1)) return 0;
    cp = ((lead & 0x1fu) << 6) | (p[1] & 0x3fu);
    return 2;
  }
  if (lead >= 0xe0 && lead <= 0xef) {
    if (!continuation(1) || !continuation(2)) return 0;
    cp = ((lead & 0x0fu) << 12) | ((p[1] & 0x3fu) << 6) | (p[2] & 0x3fu);
    if (cp < 0x800 || (cp >= 0xd800 && cp <= 0xdfff)) return 0;
    return 3;
  }
  if (lead >= 0xf0 && lead <= 0xf4) {
    if (!continuation(1) || !continuation(2) || !continuation(3)) return 0;
    cp = ((lead & 0x07u) << 18) | ((p[1] & 0x3fu) << 12) | ((p[2] & 0x3fu) << 6) | (p[3] & 0x3fu);
    if (cp < 0x10000 || cp > 0x10ffff) return 0;
    return 4;
  }
  return 0;
}

// Texts with at most this many tokens keep their seen set as a plain list
// searched from the front: for a few short terms that beats hashing and
// needs no table. The bound keeps the list short (each token adds at most a
// stem and four expansions: 48 terms), so no input can make the search slow.
constexpr std::size_t few_tokens = 8;

// The term list under construction. The seen set doubles as the table of
// distinct terms (indexed in order of first occurrence), and the list
// records each term by its index there.
class Emitter {
 public:
  Emitter(std::size_t token_count, std::vector<std::uint32_t>& terms) : terms_(terms) {
    if (token_count > few_tokens) {
      index_ = std::make_unique<StringIndex>(2 * token_count);
      enriched_.reserve(2 * token_count);
    } else {
      listed_.reserve(6 * token_count);
    }
  }

  // A split token: always appended. Returns false when this text was already
  // enriched as a token, so that its stem and expansions are all seen.
  bool token(std::string_view t) {
    const std::uint32_t index = insert(t).first;
    terms_.push_back(index);
    if (index_) {
      if (index < enriched_.size() && enriched_[index]) return false;
      if (index >= enriched_.size()) enriched_.resize(index_->size());
      enriched_[index] = true;
      return true;
    }
    const std::uint64_t bit = std::uint64_t{1} << index;
    const bool first = (enriched_bits_ & bit) == 0;
    enriched_bits_ |= bit;
    return first;
  }

  // A stem or expansion: appended only when no earlier term has this text.
  bool once(std::string_view term) {
    const auto [index, inserted] = insert(term);
    if (inserted) terms_.push_back(index);
    return inserted;
  }

  std::vector<std::string_view> distinct() && {
    return index_ ? index_->keys() : std::move(listed_);
  }

 private:
  std::pair<std::uint32_t, bool> insert(std::string_view term) {
    if (index_) return index_->insert(term);
    for (std::size_t i = 0; i < listed_.size(); ++i) {
      if (listed_[i] == term) return {static_cast<std::uint32_t>(i), false};
    }
    listed_.push_back(term);
    return {static_cast<std::uint32_t>(listed_.size() - 1), true};
  }

  std::vector<std::uint32_t>& terms_;
  std::unique_ptr<StringIndex> index_;  // many tokens
  std::vector<bool> enriched_;        // by index, with index_
  std::vector<std::string_view> listed_;  // few tokens
  std::uint64_t enriched_bits_ = 0;       // by index, with listed_ (at most 48)
};

// Splits `text`, writing its lowercased copy to `lowered` (room for
// text.size() bytes) and appending the tokens, as views into it, to `tokens`.
void split_into(std::string_view text, char* lowered, std::vector<std::string_view>& tokens) {
  const std::size_t n = text.size();
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned b = bytes[i];
    lowered[i] = static_cast<char>(b - 'A' < 26u ? b + ('a' - 'A') : b);
  }

  // The splitter's whole state between characters: where the open token
  // starts (a token is open exactly when the previous character is
  // alphanumeric) and whether the previous character is lowercase.
  constexpr std::size_t no_token = static_cast<std::size_t>(-1);
  std::size_t start = no_token;
  bool previous_lower = false;
  auto finish = [&](std::size_t end) {
    if (end - start >= 2) tokens.emplace_back(lowered + start, end - start);
    start = no_token;
  };

  std::size_t i = 0;
  while (i < n) {
    // Up to 64 ASCII characters at a time, as bit masks.
    const std::size_t avail = n - i;
    AsciiBlock block;
    if (avail >= 64) {
      block = classify_block(bytes + i);
    } else {
      std::array<unsigned char, 64> padded{};  // NUL bytes: separators
      std::memcpy(padded.data(), bytes + i, avail);
      block = classify_block(padded.data());
      block.non_ascii |= ~std::uint64_t{0} << avail;
    }
    const auto count = static_cast<unsigned>(std::countr_zero(block.non_ascii));
    if (count > 0) {
      const std::uint64_t valid = count == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
      const std::uint64_t alnum = block.alnum & valid;
      const std::uint64_t lower = block.lower & valid;
      const std::uint64_t breaks = block.upper & ((lower << 1) | previous_lower);
      const std::uint64_t previous_alnum = (alnum << 1) | (start != no_token);
      std::uint64_t starts = alnum & (~previous_alnum | breaks);
      std::uint64_t ends = previous_alnum & (~alnum | breaks) & valid;
      // Token ends and starts alternate; at a case break the end comes first.
      for (;;) {
        if (start != no_token) {
          if (ends == 0) break;
          finish(i + static_cast<std::size_t>(std::countr_zero(ends)));
          ends &= ends - 1;
        } else {
          if (starts == 0) break;
          start = i + static_cast<std::size_t>(std::countr_zero(starts));
          starts &= starts - 1;
        }
      }
      previous_lower = (lower >> (count - 1)) & 1;
      i += count;
      continue;
    }

    // One non-ASCII character.
    std::uint32_t cp = 0;
    std::size_t length = decode(bytes + i, avail, cp);
    unsigned cls = separator;
    if (length == 0) {
      length = 1;  // a byte that starts no well-formed sequence separates
    } else {
      cls = char_classes::code_of(cp);
    }
    if (cls == separator || (cls == upper && previous_lower)) {
      if (start != no_token) finish(i);
    }
    if (cls != separator && start == no_token) start = i;
    previous_lower = cls == lower;
    i += length;
  }
  if (start != no_token) finish(n);
}

}  // namespace

SplitTokens split_tokens(std::string_view text) {
  SplitTokens split{std::make_unique_for_overwrite<char[]>(text.size()), {}};
  split_into(text, split.lowered.get(), split.tokens);
  return split;
}

TermList tokenize(std::string_view text) {
  const std::size_t n = text.size();
  TermList out;
  // One buffer: the lowercased text, then room for the stems that end in a
  // replacement. Every stem is shorter than its token and each token adds at
  // most one, so n bytes suffice and the buffer never moves under the views.
  out.bytes = std::make_unique_for_overwrite<char[]>(2 * n);
  char* const stems = out.bytes.get() + n;
  std::size_t stems_used = 0;

  std::vector<std::string_view> tokens;
  tokens.reserve(n / 6 + 4);  // source code averages some 8 bytes per token
  split_into(text, out.bytes.get(), tokens);

  out.terms.reserve(2 * tokens.size());
  Emitter emit(tokens.size(), out.terms);
  for (const std::string_view t : tokens) {
    // A repeated token adds nothing new: its stem and the expansions of both
    // went into the seen set the first time, so they are neither stemmed nor
    // looked up again. A text first seen as a stem or an expansion is still
    // enriched when it occurs as a token (temp temporary: temporary adds tmp).
    if (!emit.token(t)) continue;

    const StemCut cut = stem_cut(t);
    const bool stemmed = cut.keep != t.size();
    std::string_view stem = t.substr(0, cut.keep);
    if (stemmed) {
      if (!cut.replacement.empty()) {
        char* at = stems + stems_used;
        std::memcpy(at, t.data(), cut.keep);
        std::memcpy(at + cut.keep, cut.replacement.data(), cut.replacement.size());
        stem = std::string_view(at, cut.keep + cut.replacement.size());
        // Keep the bytes only when the stem is new; otherwise the next stem
        // reuses the place.
        if (emit.once(stem)) stems_used += stem.size();
      } else {
        emit.once(stem);
      }
    }
    for (const std::string_view e : expansions_of(t)) emit.once(e);
    if (stemmed) {
      for (const std::string_view e : expansions_of(stem)) emit.once(e);
    }
  }
  out.distinct = std::move(emit).distinct();
  return out;
}

}  // namespace quibra::tokenizer
