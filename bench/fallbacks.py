"""Pure-Python fallbacks of the _quibra_core functions.

Written as a host would write them for installations without the compiled
module: straightforward, faithful to the same results. They serve as the
benchmarks' peers and as test oracles.
"""

from __future__ import annotations

import math
import operator
from typing import NamedTuple

# ---------------------------------------------------------------------------
# Rank fusion


class ChannelResult:
    """A channel's ranked symbol ids, best first."""

    __slots__ = ("name", "ranked_ids", "weight")

    def __init__(self, name, ranked_ids, weight=1.0):
        self.name = name
        self.ranked_ids = list(ranked_ids)
        self.weight = float(weight)


class FusedResult:
    __slots__ = ("symbol_id", "score", "channel_contributions", "channel_ranks")

    def __init__(self, symbol_id):
        self.symbol_id = symbol_id
        self.score = 0.0
        self.channel_contributions = {}
        self.channel_ranks = {}


def _ieee_divide(a, b):
    """a / b with IEEE 754 results for a zero divisor, where Python raises."""
    if b != 0.0:
        return a / b
    if a == 0.0 or math.isnan(a):
        return math.nan
    return math.copysign(math.inf, a) * math.copysign(1.0, b)


DEFAULT_CHANNEL_WEIGHTS = {"lexical": 1.0, "structural": 0.4, "similarity": 0.8, "identity": 2.0}


def _descending_score(record):
    # Descending by score, NaN last; sorted() is stable for equal keys.
    score = record.score
    return (True, 0.0) if math.isnan(score) else (False, -score)


def fuse(channels, smoothing=None, weights=None):
    """Weighted reciprocal rank fusion: each id at rank r in a channel of
    weight w adds w / (r + k) to its score."""
    k = 61.0 if smoothing is None else float(smoothing)
    table = dict(DEFAULT_CHANNEL_WEIGHTS)
    if weights is not None:
        for name, weight in weights.items():
            table[name] = float(weight)
    fused = {}
    for channel in channels:
        name = channel.name
        w = table.get(name, 1.0) if channel.weight == 1.0 else channel.weight
        for position, symbol_id in enumerate(channel.ranked_ids):
            rank = position + 1
            contribution = _ieee_divide(w, float(rank) + k)
            record = fused.get(symbol_id)
            if record is None:
                record = fused[symbol_id] = FusedResult(symbol_id)
            record.score += contribution
            record.channel_contributions[name] = contribution
            record.channel_ranks[name] = rank
    return sorted(fused.values(), key=_descending_score)


# ---------------------------------------------------------------------------
# Budget packing and hotspot scoring

_MISSING = object()
_U64_MAX = (1 << 64) - 1


def _entry(mapping, key):
    # The plain dictionary lookup: a subclass's __getitem__ and __missing__
    # are not consulted.
    return dict.get(mapping, key, _MISSING)


def _text(value):
    if not isinstance(value, str):
        name = "None" if value is None else f"'{type(value).__qualname__}' object"
        raise TypeError(f"{name} is not an instance of 'str'")
    return value


def _u64(value):
    number = operator.index(value)
    if number < 0 or number > _U64_MAX:
        raise OverflowError("int out of range for an unsigned 64-bit count")
    return number


class PackedItem(NamedTuple):
    symbol_id: str
    file: str
    adjusted_score: float
    original_score: float
    tokens: int


def pack_budget(items, token_budget, diversity=True):
    """Greedy packing into `token_budget` with a per-file diversity penalty."""
    candidates = []
    for item in items:
        ident = _entry(item, "id")
        ident = "" if ident is _MISSING else _text(ident)
        file = _entry(item, "file")
        file = "" if file is _MISSING else _text(file)
        score = _entry(item, "score")
        if score is _MISSING:
            score = 0.0
        elif isinstance(score, (str, bytes, bytearray)):
            raise TypeError("must be real number, not " + type(score).__name__)
        else:
            score = float(score)
        tokens = _entry(item, "tokens")
        if tokens is _MISSING:
            continue
        tokens = _u64(tokens)
        if tokens == 0:
            continue
        candidates.append((ident, file, score, tokens))

    # Descending score, NaN last, equal scores in input order.
    candidates.sort(key=lambda c: (c[2] != c[2], -c[2]))

    selected = [False] * len(candidates)
    picks_of_file = {}
    packed = []
    total = 0
    while total < token_budget:
        free = token_budget - total
        best = -1.0
        chosen = -1
        for i, (_, file, score, tokens) in enumerate(candidates):
            if selected[i] or tokens > free:
                continue
            if diversity:
                n = picks_of_file.get(file, 0)
                if n >= 3:
                    continue
                adjusted = score * (1.0 / (1.0 + 0.5 * n))
            else:
                adjusted = score
            if adjusted > best:
                best = adjusted
                chosen = i
        if chosen < 0:
            break
        selected[chosen] = True
        ident, file, score, tokens = candidates[chosen]
        picks_of_file[file] = picks_of_file.get(file, 0) + 1
        packed.append(PackedItem(ident, file, best, score, tokens))
        total += tokens
    return packed, total


def _round_half_away(x):
    # round() would send halves to the even neighbour; hotspot scores round
    # halves away from zero.
    magnitude = abs(x)
    whole = math.floor(magnitude)
    if magnitude - whole >= 0.5:
        whole += 1
    return math.copysign(float(whole), x)


def compute_hotspots(symbols, file_churn, min_complexity=2, top_n=20):
    """Functions and methods ranked by ln(churn + 1) * cyclomatic."""
    churn_of_path = {}
    for path, churn in file_churn.items():
        churn_of_path[_text(path).replace("\\", "/")] = _u64(churn)
    min_complexity = _u64(min_complexity)
    top_n = _u64(top_n)

    entries = []
    for symbol in symbols:
        kind = _entry(symbol, "kind")
        if kind is _MISSING or _text(kind) not in ("function", "method"):
            continue
        cyclomatic = _entry(symbol, "cyclomatic")
        cyclomatic = 0 if cyclomatic is _MISSING else _u64(cyclomatic)
        if cyclomatic < min_complexity:
            continue
        file = _entry(symbol, "file")
        path = "" if file is _MISSING else _text(file)
        churn = churn_of_path.get(path.replace("\\", "/"), 0)
        score = math.log(float(churn) + 1.0) * float(cyclomatic)

        out = {}
        for key, out_key in (("id", "symbol_id"), ("name", "name"), ("kind", "kind"),
                             ("file", "file"), ("line", "line")):
            value = _entry(symbol, key)
            if value is not _MISSING:
                out[out_key] = value
        out["cyclomatic"] = cyclomatic
        for key in ("max_nesting", "param_count"):
            value = _entry(symbol, key)
            out[key] = 0 if value is _MISSING else _u64(value)
        out["churn"] = churn
        out["hotspot_score"] = _round_half_away(score * 10000.0) / 10000.0
        out["assessment"] = "high" if score > 10.0 else "medium" if score > 3.0 else "low"
        entries.append((score, out))

    entries.sort(key=lambda e: -e[0])
    return [out for _, out in entries[: max(top_n, 1)]]


# ---------------------------------------------------------------------------
# Import-graph PageRank

PAGERANK_DEFAULT_DAMPING = 0.8347


def compute_pagerank(edges, files, damping=None, max_iter=100, tol=1e-6):
    """PageRank by power iteration; returns (scores by path, iterations run)."""
    if not files:
        return {}, 0
    d = PAGERANK_DEFAULT_DAMPING if damping is None else float(damping)
    tol = float(tol)
    out_links = {path: set() for path in files}
    in_links = {path: set() for path in files}
    for source, target in edges:
        if source != target and source in out_links and target in out_links:
            out_links[source].add(target)
            in_links[target].add(source)
    out_degree = {path: len(targets) for path, targets in out_links.items()}
    # Code-point order of str is the byte order of its UTF-8 form.
    sources = {path: sorted(found) for path, found in in_links.items()}

    n = float(len(files))
    teleport = (1.0 - d) / n
    scores = {path: 1.0 / n for path in out_links}
    k = 0
    while True:
        if k >= max_iter:
            return scores, max_iter
        k += 1
        dangling = 0.0
        for path in files:
            if not out_degree[path]:
                dangling += scores[path]
        dangling_share = (dangling * d) / n
        new_scores = {}
        for path in files:
            total = 0.0
            for source in sources[path]:
                total += scores[source] / out_degree[source]
            new_scores[path] = (total * d + teleport) + dangling_share
        distance = 0.0
        for path in files:
            distance += abs(new_scores[path] - scores[path])
        scores = new_scores
        if tol > distance:
            return scores, k


# ---------------------------------------------------------------------------
# Content hashing

CONTENT_HASH_SEED = 0x5C1E93B7A24F
CONTENT_HASH_MULTIPLIER = 0x100000001B3
_MASK64 = (1 << 64) - 1


def content_hash(content):
    """Polynomial rolling hash of `content` as 16 lowercase hex digits."""
    h = CONTENT_HASH_SEED
    for byte in content:
        h = (h * CONTENT_HASH_MULTIPLIER + byte) & _MASK64
    return f"{h:016x}"


def batch_content_hash(contents):
    """Hash text by path for (path, content) pairs; the last pair for a path wins."""
    return {path: content_hash(bytes(content)) for path, content in contents}


# ---------------------------------------------------------------------------
# Tokenizer: stem_word, tokenize, tokenize_query

SUFFIX_RULES = (
    ("ation", "", 3), ("izing", "ize", 3), ("ating", "ate", 3),
    ("nning", "n", 2), ("tting", "t", 2), ("pping", "p", 2), ("gging", "g", 2),
    ("bbing", "b", 2), ("dding", "d", 2), ("mming", "m", 2), ("lling", "l", 2),
    ("sses", "ss", 2), ("ness", "", 3), ("ment", "", 3), ("tion", "", 3),
    ("ized", "ize", 3), ("ling", "le", 3), ("ring", "r", 3), ("ning", "n", 3),
    ("ting", "t", 3), ("ping", "p", 3), ("bing", "b", 2), ("ding", "d", 3),
    ("ging", "g", 3), ("king", "k", 3), ("ming", "m", 3), ("lled", "ll", 3),
    ("nned", "n", 3), ("tted", "t", 3), ("pped", "p", 3), ("gged", "g", 3),
    ("bbed", "b", 3), ("dded", "d", 3), ("ing", "", 3), ("ies", "y", 3),
    ("ed", "", 3), ("er", "", 3), ("ly", "", 3), ("es", "", 4),
)

ABBREVIATIONS = {
    "db": ("database",), "auth": ("authentication", "authorization"),
    "config": ("configuration",), "ctx": ("context",), "env": ("environment",),
    "err": ("error",), "exec": ("execute", "execution"), "fn": ("function",),
    "func": ("function",), "impl": ("implementation", "implement"),
    "init": ("initialize", "initialization"), "iter": ("iterator", "iterate"),
    "len": ("length",), "lib": ("library",), "max": ("maximum",), "mem": ("memory",),
    "min": ("minimum",), "msg": ("message",), "num": ("number",), "obj": ("object",),
    "param": ("parameter",), "params": ("parameters",), "pkg": ("package",),
    "prev": ("previous",), "proc": ("process", "procedure"), "prop": ("property",),
    "props": ("properties",), "ref": ("reference",), "refs": ("references",),
    "repo": ("repository",), "req": ("request",), "res": ("response", "result"),
    "ret": ("return",), "src": ("source",), "str": ("string",),
    "sync": ("synchronize", "synchronous"), "sys": ("system",), "temp": ("temporary",),
    "tmp": ("temporary",), "val": ("value",), "var": ("variable",), "vars": ("variables",),
    "database": ("db",), "authentication": ("auth",), "authorization": ("auth",),
    "configuration": ("config",), "context": ("ctx",), "environment": ("env",),
    "error": ("err",), "execute": ("exec",), "function": ("func", "fn"),
    "initialize": ("init",), "initialization": ("init",), "iterator": ("iter",),
    "message": ("msg",), "parameter": ("param",), "parameters": ("params",),
    "repository": ("repo",), "request": ("req",), "response": ("res",),
    "temporary": ("temp", "tmp"), "variable": ("var",), "variables": ("vars",),
}

# Only A-Z are lowercased; every other character keeps its case.
_ASCII_LOWER = {c: c + 32 for c in range(ord("A"), ord("Z") + 1)}

SEPARATOR, ALNUM, UPPER, LOWER = 0, 1, 2, 3


def expansions_of(term: str) -> tuple[str, ...]:
    return ABBREVIATIONS.get(term, ())


def stem_word(word: str) -> str:
    """Lowercase A-Z, then strip one suffix by the first rule that applies.

    Lengths are UTF-8 byte counts; since every suffix is ASCII, comparing the
    str's ending is the same as comparing its bytes' ending.
    """
    w = word.translate(_ASCII_LOWER)
    size = len(w.encode("utf-8"))
    if size < 5:
        return w
    for suffix, replacement, min_stem in SUFFIX_RULES:
        if w.endswith(suffix) and size - len(suffix) >= min_stem:
            return w[: len(w) - len(suffix)] + replacement
    if w.endswith("s") and not w.endswith("ss"):
        return w[:-1]
    return w


def python_char_class(c: str) -> int:
    """Class of one character from Python's own str predicates.

    This is what a host without the compiled module can do; it agrees with the
    Unicode derived properties on ASCII, on letters of every category, on
    numbers and on the cased symbols and marks, but not everywhere:

    - For a single character, str.isupper() and str.islower() are exactly
      the derived properties Uppercase and Lowercase (Other_Uppercase and
      Other_Lowercase included: Ⓐ, ⓐ, ª, U+0345), and titlecase letters
      such as ǅ are neither.
    - str.isalnum() covers the general categories L* and N*, but Alphabetic
      also holds Other_Alphabetic. The cased ones among them are caught by
      the case predicates above; the uncased ones are not: most combining
      vowel signs of Brahmic scripts (U+093E DEVANAGARI VOWEL SIGN AA), the
      Hebrew and Arabic vowel points, and a few others count as separators
      here but are alphanumeric in the compiled tables.
    - unicodedata follows the interpreter's Unicode version
      (unicodedata.unidata_version), which may differ from the version the
      compiled tables were generated from, for characters new in between.
    """
    if c.isupper():
        return UPPER
    if c.islower():
        return LOWER
    if c.isalnum():
        return ALNUM
    return SEPARATOR


def ucd_char_classes(directory: str = "/usr/share/unicode") -> bytearray:
    """Class of every code point, read from the Unicode Character Database
    files DerivedCoreProperties.txt and UnicodeData.txt in `directory`.

    Exact where python_char_class() is approximate; index the result with
    ord(c). Raises OSError when the files are missing.
    """
    import pathlib

    ucd = pathlib.Path(directory)
    props: dict[str, set[int]] = {"Alphabetic": set(), "Uppercase": set(), "Lowercase": set()}
    for line in (ucd / "DerivedCoreProperties.txt").read_text(encoding="utf-8").splitlines():
        fields = [f.strip() for f in line.split("#", 1)[0].split(";")]
        if len(fields) >= 2 and fields[1] in props:
            first, _, last = fields[0].partition("..")
            props[fields[1]].update(range(int(first, 16), int(last or first, 16) + 1))
    alnum = props["Alphabetic"]
    range_start = None
    for line in (ucd / "UnicodeData.txt").read_text(encoding="utf-8").splitlines():
        code, name, category = line.split(";")[:3]
        cp = int(code, 16)
        if name.endswith(", First>"):
            range_start = cp
            continue
        start = range_start if name.endswith(", Last>") else cp
        range_start = None
        if category in ("Nd", "Nl", "No"):
            alnum.update(range(start, cp + 1))
    classes = bytearray(0x110000)
    for cp in alnum:
        classes[cp] = ALNUM
    for cp in props["Uppercase"]:
        classes[cp] = UPPER if classes[cp] else SEPARATOR
    for cp in props["Lowercase"]:
        classes[cp] = LOWER if classes[cp] else SEPARATOR
    return classes


def split_tokens(text: str, char_class=python_char_class) -> list[str]:
    tokens: list[str] = []
    current: list[str] = []
    previous_lower = False

    def finish() -> None:
        # At least 2 UTF-8 bytes: two characters, or one non-ASCII character.
        if len(current) >= 2 or (current and ord(current[0]) >= 0x80):
            tokens.append("".join(current).translate(_ASCII_LOWER))
        current.clear()

    for c in text:
        cls = char_class(c)
        if cls == SEPARATOR:
            finish()
        elif cls == UPPER and previous_lower:
            finish()
            current.append(c)
        else:
            current.append(c)
        previous_lower = cls == LOWER
    finish()
    return tokens


def tokenize(text: str, char_class=python_char_class) -> list[str]:
    """Split tokens, each followed by its stem and the expansions of both;
    tokens repeat as often as they occur, stems and expansions only once."""
    terms: list[str] = []
    seen: set[str] = set()

    def once(term: str) -> None:
        if term not in seen:
            seen.add(term)
            terms.append(term)

    for token in split_tokens(text, char_class):
        terms.append(token)
        seen.add(token)
        stem = stem_word(token)
        if stem != token:
            once(stem)
        for expansion in ABBREVIATIONS.get(token, ()):
            once(expansion)
        if stem != token:
            for expansion in ABBREVIATIONS.get(stem, ()):
                once(expansion)
    return terms


def tokenize_query(query: str, char_class=python_char_class) -> list[str]:
    return tokenize(query, char_class)
