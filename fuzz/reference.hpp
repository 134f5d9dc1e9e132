// Slow, plain versions of the tokenizer's cores for the fuzz harnesses to
// compare against. They share nothing with the cores except the generated
// character-class table: UTF-8 is decoded from the byte ranges of the
// well-formed sequences, the splitter walks one character at a time, and the
// stemmer and the abbreviation lookup scan their own copies of the tables
// from the front.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "tokenizer/char_classes.hpp"

namespace fuzz_ref {

// A fuzz target reports a disagreement by aborting: libFuzzer then saves the
// input that caused it.
inline void check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "fuzz: check failed: %s\n", what);
  std::abort();
}

// ---- UTF-8 ------------------------------------------------------------------

// The length of the well-formed sequence at p[0] (at most `avail` bytes), or
// 0 when none starts there. The byte ranges are those of the Unicode
// standard's table of well-formed UTF-8 byte sequences.
inline std::size_t sequence_length(const unsigned char* p, std::size_t avail) {
  auto in = [&](std::size_t i, unsigned first, unsigned last) {
    return i < avail && p[i] >= first && p[i] <= last;
  };
  auto tail = [&](std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
      if (!in(i, 0x80, 0xbf)) return false;
    }
    return true;
  };
  const unsigned b = p[0];
  if (b <= 0x7f) return 1;
  if (b >= 0xc2 && b <= 0xdf) return tail(1, 2) ? 2 : 0;
  if (b == 0xe0) return in(1, 0xa0, 0xbf) && tail(2, 3) ? 3 : 0;
  if ((b >= 0xe1 && b <= 0xec) || b == 0xee || b == 0xef) return tail(1, 3) ? 3 : 0;
  if (b == 0xed) return in(1, 0x80, 0x9f) && tail(2, 3) ? 3 : 0;
  if (b == 0xf0) return in(1, 0x90, 0xbf) && tail(2, 4) ? 4 : 0;
  if (b >= 0xf1 && b <= 0xf3) return tail(1, 4) ? 4 : 0;
  if (b == 0xf4) return in(1, 0x80, 0x8f) && tail(2, 4) ? 4 : 0;
  return 0;
}

inline std::uint32_t code_point(const unsigned char* p, std::size_t length) {
  if (length == 1) return p[0];
  std::uint32_t cp = p[0] & (0x7fu >> length);
  for (std::size_t i = 1; i < length; ++i) cp = (cp << 6) | (p[i] & 0x3fu);
  return cp;
}

inline bool valid_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = sequence_length(p + i, text.size() - i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

inline std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// ---- Splitting --------------------------------------------------------------

enum Class : unsigned { separator = 0, alnum = 1, upper = 2, lower = 3 };

// One character at a time. A byte that starts no well-formed sequence is a
// one-byte separator, as the tokenizer's header documents.
inline std::vector<std::string> split(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::vector<std::string> tokens;
  std::string buffer;
  auto finish = [&] {
    if (buffer.size() >= 2) tokens.push_back(ascii_lower(buffer));
    buffer.clear();
  };
  bool previous_lower = false;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t length = sequence_length(p + i, text.size() - i);
    unsigned cls = separator;
    if (length == 0) {
      length = 1;
    } else {
      cls = quibra::tokenizer::char_classes::code_of(code_point(p + i, length));
    }
    if (cls == separator) {
      finish();
    } else if (cls == upper && previous_lower) {
      finish();
      buffer.append(text.substr(i, length));
    } else {
      buffer.append(text.substr(i, length));
    }
    previous_lower = cls == lower;
    i += length;
  }
  finish();
  return tokens;
}

// ---- Stemming ---------------------------------------------------------------

struct Rule {
  const char* suffix;
  const char* replacement;
  std::size_t min_stem;
};

inline constexpr Rule rules[] = {
    {"ation", "", 3}, {"izing", "ize", 3}, {"ating", "ate", 3}, {"nning", "n", 2},
    {"tting", "t", 2}, {"pping", "p", 2},  {"gging", "g", 2},   {"bbing", "b", 2},
    {"dding", "d", 2}, {"mming", "m", 2},  {"lling", "l", 2},   {"sses", "ss", 2},
    {"ness", "", 3},   {"ment", "", 3},    {"tion", "", 3},     {"ized", "ize", 3},
    {"ling", "le", 3}, {"ring", "r", 3},   {"ning", "n", 3},    {"ting", "t", 3},
    {"ping", "p", 3},  {"bing", "b", 2},   {"ding", "d", 3},    {"ging", "g", 3},
    {"king", "k", 3},  {"ming", "m", 3},   {"lled", "ll", 3},   {"nned", "n", 3},
    {"tted", "t", 3},  {"pped", "p", 3},   {"gged", "g", 3},    {"bbed", "b", 3},
    {"dded", "d", 3},  {"ing", "", 3},     {"ies", "y", 3},     {"ed", "", 3},
    {"er", "", 3},     {"ly", "", 3},      {"es", "", 4},
};

inline std::string stem(std::string_view word) {
  const std::string w = ascii_lower(word);
  if (w.size() < 5) return w;
  for (const Rule& rule : rules) {
    const std::string_view suffix = rule.suffix;
    if (w.size() >= suffix.size() && w.compare(w.size() - suffix.size(), suffix.size(), suffix) == 0 &&
        w.size() - suffix.size() >= rule.min_stem) {
      return w.substr(0, w.size() - suffix.size()) + rule.replacement;
    }
  }
  if (w[w.size() - 1] == 's' && w[w.size() - 2] != 's') return w.substr(0, w.size() - 1);
  return w;
}

// ---- Abbreviations ----------------------------------------------------------

struct Entry {
  const char* key;
  std::vector<std::string_view> expansions;
};

inline const std::vector<Entry>& abbreviations() {
  static const std::vector<Entry> table = {
      {"db", {"database"}},
      {"auth", {"authentication", "authorization"}},
      {"config", {"configuration"}},
      {"ctx", {"context"}},
      {"env", {"environment"}},
      {"err", {"error"}},
      {"exec", {"execute", "execution"}},
      {"fn", {"function"}},
      {"func", {"function"}},
      {"impl", {"implementation", "implement"}},
      {"init", {"initialize", "initialization"}},
      {"iter", {"iterator", "iterate"}},
      {"len", {"length"}},
      {"lib", {"library"}},
      {"max", {"maximum"}},
      {"mem", {"memory"}},
      {"min", {"minimum"}},
      {"msg", {"message"}},
      {"num", {"number"}},
      {"obj", {"object"}},
      {"param", {"parameter"}},
      {"params", {"parameters"}},
      {"pkg", {"package"}},
      {"prev", {"previous"}},
      {"proc", {"process", "procedure"}},
      {"prop", {"property"}},
      {"props", {"properties"}},
      {"ref", {"reference"}},
      {"refs", {"references"}},
      {"repo", {"repository"}},
      {"req", {"request"}},
      {"res", {"response", "result"}},
      {"ret", {"return"}},
      {"src", {"source"}},
      {"str", {"string"}},
      {"sync", {"synchronize", "synchronous"}},
      {"sys", {"system"}},
      {"temp", {"temporary"}},
      {"tmp", {"temporary"}},
      {"val", {"value"}},
      {"var", {"variable"}},
      {"vars", {"variables"}},
      {"database", {"db"}},
      {"authentication", {"auth"}},
      {"authorization", {"auth"}},
      {"configuration", {"config"}},
      {"context", {"ctx"}},
      {"environment", {"env"}},
      {"error", {"err"}},
      {"execute", {"exec"}},
      {"function", {"func", "fn"}},
      {"initialize", {"init"}},
      {"initialization", {"init"}},
      {"iterator", {"iter"}},
      {"message", {"msg"}},
      {"parameter", {"param"}},
      {"parameters", {"params"}},
      {"repository", {"repo"}},
      {"request", {"req"}},
      {"response", {"res"}},
      {"temporary", {"temp", "tmp"}},
      {"variable", {"var"}},
      {"variables", {"vars"}},
  };
  return table;
}

inline std::vector<std::string_view> expansions(std::string_view term) {
  for (const Entry& entry : abbreviations()) {
    if (term == entry.key) return entry.expansions;
  }
  return {};
}

// ---- Enrichment -------------------------------------------------------------

inline std::vector<std::string> tokenize(std::string_view text) {
  std::vector<std::string> terms;
  std::set<std::string, std::less<>> seen;
  auto once = [&](std::string_view term) {
    if (seen.insert(std::string(term)).second) terms.emplace_back(term);
  };
  for (const std::string& t : split(text)) {
    terms.push_back(t);
    seen.insert(t);
    const std::string s = stem(t);
    if (s != t) once(s);
    for (const std::string_view e : expansions(t)) once(e);
    if (s != t) {
      for (const std::string_view e : expansions(s)) once(e);
    }
  }
  return terms;
}

}  // namespace fuzz_ref
