// Token streams: splitting code text into word tokens, then enriching them
// with stems and abbreviation expansions.
#include "tokenizer/tokenizer.hpp"

#include <array>
#include <cstring>

#include "common/string_index.hpp"
#include "tokenizer/char_classes.hpp"

namespace quibra::tokenizer {
namespace {

// Class codes of the generated tables.
enum CharClass : unsigned { separator = 0, alnum = 1, upper = 2, lower = 3 };

// ASCII classes without a table walk; bytes 0x80 and up start a multi-byte
// sequence and are marked so that the splitter decodes them.
constexpr unsigned non_ascii = 4;

constexpr std::array<std::uint8_t, 256> byte_classes() {
  std::array<std::uint8_t, 256> classes{};
  for (unsigned b = 0; b < 256; ++b) {
    if (b >= 0x80) classes[b] = non_ascii;
    else if (b >= 'a' && b <= 'z') classes[b] = lower;
    else if (b >= 'A' && b <= 'Z') classes[b] = upper;
    else if (b >= '0' && b <= '9') classes[b] = alnum;
    else classes[b] = separator;
  }
  return classes;
}
constexpr std::array<std::uint8_t, 256> class_of_byte = byte_classes();

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

// Term list under construction: the seen set doubles as the table of
// distinct terms, and the list records each term by its index there.
struct Emitter {
  StringIndex seen;
  std::vector<std::uint32_t>& terms;

  // A split token: always appended.
  void token(std::string_view t) { terms.push_back(seen.insert(t).first); }

  // A stem or expansion: appended only when no earlier term has this text.
  bool once(std::string_view term) {
    const auto [index, inserted] = seen.insert(term);
    if (inserted) terms.push_back(index);
    return inserted;
  }
};

}  // namespace

SplitTokens split_tokens(std::string_view text) {
  const std::size_t n = text.size();
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  SplitTokens split{std::make_unique_for_overwrite<char[]>(n), {}};
  char* lowered = split.lowered.get();
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned b = bytes[i];
    lowered[i] = static_cast<char>(b - 'A' < 26u ? b + ('a' - 'A') : b);
  }

  constexpr std::size_t no_token = static_cast<std::size_t>(-1);
  std::size_t start = no_token;  // first byte of the token being read
  bool previous_lower = false;   // the character before this one is lowercase
  auto finish = [&](std::size_t end) {
    if (start != no_token && end - start >= 2) split.tokens.emplace_back(lowered + start, end - start);
    start = no_token;
  };

  std::size_t i = 0;
  while (i < n) {
    unsigned cls = class_of_byte[bytes[i]];
    std::size_t length = 1;
    if (cls == non_ascii) {
      std::uint32_t cp = 0;
      length = decode(bytes + i, n - i, cp);
      if (length == 0) {
        cls = separator;
        length = 1;
      } else {
        cls = char_classes::code_of(cp);
      }
    }
    switch (cls) {
      case separator:
        finish(i);
        previous_lower = false;
        break;
      case upper:
        // The one place a word breaks inside an identifier: getName.
        if (previous_lower) finish(i);
        if (start == no_token) start = i;
        previous_lower = false;
        break;
      case lower:
        if (start == no_token) start = i;
        previous_lower = true;
        break;
      default:  // alphanumeric without case
        if (start == no_token) start = i;
        previous_lower = false;
        break;
    }
    i += length;
  }
  finish(n);
  return split;
}

TermList tokenize(std::string_view text) {
  SplitTokens split = split_tokens(text);
  const std::size_t token_count = split.tokens.size();

  TermList out;
  out.terms.reserve(2 * token_count);
  // Stems that end in a replacement are built here. Every stem is shorter
  // than its token and each token adds at most one, so the text's size is
  // room enough and the buffer never moves under the views into it.
  out.stems = std::make_unique_for_overwrite<char[]>(text.size());
  std::size_t stems_used = 0;

  Emitter emit{StringIndex(2 * token_count), out.terms};
  for (const std::string_view t : split.tokens) {
    emit.token(t);
    const StemCut cut = stem_cut(t);
    const bool stemmed = cut.keep != t.size();
    std::string_view stem = t.substr(0, cut.keep);
    if (stemmed) {
      if (!cut.replacement.empty()) {
        char* at = out.stems.get() + stems_used;
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

  out.distinct = emit.seen.keys();
  out.text = std::move(split.lowered);
  return out;
}

}  // namespace quibra::tokenizer
