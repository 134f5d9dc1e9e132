"""The ranked channels that the engine fuses, each read straight from the index.

- lexical: BM25 over what a symbol says of itself (qualified name,
  signature, docstring, file path);
- body: BM25 over its own code (identifiers, strings, comments);
- identity: names that the query calls by name;
- structural: the other channels' candidates again, by the PageRank of
  their files.

Each channel is a list of symbol ids, best first, built independently from
the others; `fuse` adds their weighted reciprocal ranks. A symbol that no
channel lists is not a candidate at all. Test code sinks in every channel
unless the query asks for tests: a tree's tests name and exercise the very
things a user asks about, and would otherwise bury them.

Every order here ends in the same tie-break, (path, line, key), never in
row ids: an index refreshed in many small steps gives its symbols other ids
than one built at once, and the two must answer alike.
"""

from __future__ import annotations

import math
import os
import re
import sqlite3
from collections import Counter
from collections.abc import Iterable
from dataclasses import dataclass

from quibra.index import queries
from quibra.tree.languages.model import CONTAINER_KINDS
from quibra.tree.terms import query_terms, text_terms
from quibra.tree.walk import CODE, TEST, is_test_path

# How many symbols each channel contributes at most. A symbol ranked past
# this adds less than 1/1000 of a first place to its fused score.
CHANNEL_DEPTH = 1000

# The most distinct terms of a query that the text channels weigh: its
# rarest ones (see _rarest_terms).
TEXT_TERMS = 64

# BM25 weight of each field of the lexical index: qualified name,
# signature, docstring, path.
FIELD_WEIGHTS = (3.0, 1.0, 2.0, 1.0)

# Words that ask for what auxiliary code holds (see quibra.tree.walk.path_role).
AUXILIARY_WORDS = ("bench", "example", "demo", "sample", "build", "vendor", "private")

# How much of its score test code (and benchmarks, examples and the like) keeps: a query that mentions tests may
# want them, or may be about a test framework's own code, so test code
# still sinks a little then. Otherwise it sinks further: packed as heads,
# a context holds a few dozen symbols, and at half their scores the tests
# that exercise the code asked about still took an eighth of it. How much a
# private name (`_helper`) keeps, since a user mostly looks for what a
# module offers.
TEST_FACTOR = 0.3
TEST_FACTOR_ASKED = 0.7
PRIVATE_FACTOR = 0.9

# How much of its score a type (class, struct, interface, trait, enum)
# keeps. Words in plain language mostly ask for something that acts, and a
# type's name matches them as readily as the function that does the work:
# `TemporaryDirectory` and `mkdtemp` both answer "create a temporary
# directory", and the function, whose whole code the context shows, is
# more often the one meant. A type still leads when it matches better.
TYPE_FACTOR = 0.85

# The identity channel lists a name only if it scores this share of the
# best name's score, and this share of what all the query's words weigh.
IDENTITY_CUT = 0.7
IDENTITY_SHARE = 0.4

# How far apart two query words may stand and still spell one name
# together: "copy a directory tree" spells `copytree`.
COMPOUND_WINDOW = 3

# The most consecutive query words that spell one name, and the most words
# of a query whose beginnings are tried as parts of names: a long text
# pasted as a query would otherwise cost time in the cube of its length.
LONGEST_SPELLING = 6
SHORTENED_WORDS = 64

# The fewest letters that stand for a word cut short in a name: "sym" for
# "symbolic" in `symlink`, "dir" for "directory" in `is_dir`.
SHORTEST_START = 3

# The fewest letters of a query word that a part of a name joins to
# another word, for the part to count as half said: "copy" in `fastcopy`.
JOINED_WORD = 4

# Endings that make a doer or a deed of a word: a `Tokenizer` splits into
# tokens, a `Compressor` compresses, a `Validator` validates, and the
# query says the word where the name says what does it. The terms' folding
# leaves these apart ("validate" is no "validator"); the name channel
# counts such a part of a name as the word, where the word has at least
# DERIVED_ROOT letters (so that "port" is no `portion`).
DERIVING_ENDINGS = ("er", "or", "ion", "ation", "ator", "izer")
# The endings taken off a word the other way ("-ation" and "-ator" would
# leave "valid" of "validator").
UNDERIVING_ENDINGS = ("er", "or", "ion")
DERIVED_ROOT = 5
# Superlatives that names say as `max` and `min`: "the largest element" is
# `max`, "the lowest key" `min`.
EXTREMES = {
    "largest": "max",
    "biggest": "max",
    "greatest": "max",
    "highest": "max",
    "smallest": "min",
    "lowest": "min",
}


def derived_terms(word: str, terms: Iterable[str]) -> dict[str, set[str]]:
    """Terms a name holds where it says what does `word` or what it does,
    each with those of its own folding that are as long as a root of the
    word or longer (`tokenizer` with "tokeniz"): the word's roots (itself
    and its folded `terms`) with each of DERIVING_ENDINGS, and, for a root
    that ends in a single consonant, with that consonant doubled before
    "er" (`formatter`, `wrapper`); and, for a word made with one of
    UNDERIVING_ENDINGS, the word it is made of (`connect` for "connection",
    `format` for "formatter"). Not those the folding already joins to the
    word (`parser` to "parse"): a name holds them as it holds the word. And
    for a superlative, the extreme it asks for (see EXTREMES)."""
    roots = {root for root in (word, *terms) if len(root) >= DERIVED_ROOT}
    derived: set[str] = set()
    for root in roots:
        derived.update(root + ending for ending in DERIVING_ENDINGS)
        if root[-1] not in "aeiouwxy" and root[-2] in "aeiou" and root[-3] not in "aeiou":
            derived.add(root + root[-1] + "er")
    known = set(terms) | {word}
    shortest = min(map(len, roots), default=0)
    found = {}
    for term in derived - roots:
        folded = set(text_terms(term))
        if known.isdisjoint(folded):
            # Not a folding cut shorter than the word ("form" of `formation`):
            # that is another word.
            found[term] = {fold for fold in folded if len(fold) >= shortest}
    # And the other way: a doer or a deed asked for, where the name says what
    # it does (a "connection" that `connect` opens, a "formatter" that `format` runs).
    for ending in UNDERIVING_ENDINGS:
        if word.endswith(ending):
            stem = word[: -len(ending)]
            doubled = ending == "er" and len(stem) > 1 and stem[-1] == stem[-2]
            for root in {stem, stem + "e", stem[:-1] if doubled else ""}:
                folded = set(text_terms(root)) if len(root) >= DERIVED_ROOT else set()
                if folded and known.isdisjoint(folded):
                    found[root] = {fold for fold in folded if len(fold) >= DERIVED_ROOT}
    if word in EXTREMES:
        found[EXTREMES[word]] = set(text_terms(EXTREMES[word]))
    return found


# Words that say nothing about which symbol is meant: they occur in names
# (`is_`, `With`, `__or__`, `return_ok`) only by accident. "return" opens
# half of all docstrings, so a query in that style starts with it too.
STOP_WORDS = frozenset(
    "a an and are as at be been by can for from has have in into is it its of on or so than that the then"
    " these this those to was were which while will with return returns i me my we our you your".split()
)

# How a question opens: "how do I", "where is", "what does". Those words ask;
# they do not say what is meant, and as names they are someone else's
# (`WhereNode` for "where is the session saved"). Only the opening goes: "add
# a where clause" still means `where`.
_QUESTION_OPENING = re.compile(
    r"\s*(?:how|what|where|when|why|who|which|whose)\b[\s,?]*"
    r"(?:(?:do|does|did|is|are|was|were|can|could|should|would|will|i|we|you|one|it|there|the|a|an)\b[\s,]*)*",
    re.IGNORECASE,
)

# Words that a name leaves out of the phrase it spells: "with the stem" is `with_stem`.
ARTICLES = frozenset({"a", "an", "the"})

# A commit subject or an issue title often opens with the part of the
# project it is about: "printer: fix the count", "fix(terminal): ...",
# "[windows] ...". That part is mostly a place in the tree, a folder or a
# file named so, and the code found there scores SCOPE_FACTOR times as much.
# The conventional kinds of change (`fix:`, `feat:`) say what was done, not
# where, and are no scope.
_SCOPE = re.compile(r"\s*(?:\[(?P<bracket>[\w.-]+)\]\s*)?(?:(?P<head>[\w.-]+)(?:\((?P<scope>[\w., -]+)\))?!?:\s)?")
CHANGE_KINDS = frozenset({"feat", "fix", "docs", "style", "refactor", "perf", "test", "build", "ci", "chore", "revert"})
SCOPE_FACTOR = 2.0


def scopes_of(text: str) -> tuple[str, ...]:
    """The parts of the project that a query opens with, lowercase, `-` as `_`."""
    found = _SCOPE.match(text)
    if found is None:
        return ()
    named = [found.group("bracket") or ""]
    if (found.group("head") or "").lower() not in CHANGE_KINDS:
        named.append(found.group("head") or "")
    named += (found.group("scope") or "").split(",")
    return tuple(dict.fromkeys(_place_name(name.strip()) for name in named if name.strip()))


def _place_name(name: str) -> str:
    return name.lower().replace("-", "_")


def in_scope(path: bytes, scopes: tuple[str, ...]) -> bool:
    """Whether a folder on `path`, or its file by its name without extensions, is one of `scopes`."""
    *folders, name = os.fsdecode(path).split("/")
    return any(_place_name(part) in scopes for part in (*folders, name.split(".")[0]))


@dataclass(frozen=True)
class Query:
    """A query as the channels read it."""

    text: str
    words: list[str]  # lowercase words, stop words included
    terms: list[str]  # the engine's terms of the query, stop words left out
    wants_tests: bool  # whether it asks for test code
    wants_auxiliary: bool  # whether it asks for benchmarks, examples and the like
    languages: list[str] | None  # None: every language
    scopes: tuple[str, ...] = ()  # the parts of the project it opens with (see scopes_of)

    @classmethod
    def parse(cls, text: str, languages: Iterable[str] | None = None) -> Query:
        # A query read from a command line that is not valid UTF-8 arrives
        # with lone surrogates, which the engine cannot take as text: each
        # undecodable byte becomes U+FFFD, as the readers decode sources.
        text = text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")
        opening = _QUESTION_OPENING.match(text)
        asked = text[opening.end() :] if opening is not None else text
        if not re.search(r"[0-9A-Za-z]", asked):
            asked = text  # the question is all there is
        words = re.findall(r"[0-9a-z]+", asked.lower())
        terms = [term for term in query_terms(asked) if term not in STOP_WORDS]
        return cls(
            text=text,
            words=words,
            terms=terms,
            wants_tests=any(word.startswith("test") for word in words),
            wants_auxiliary=any(word.startswith(AUXILIARY_WORDS) for word in words),
            languages=None if languages is None else sorted(languages),
            scopes=scopes_of(text),
        )

    def role_factors(self) -> tuple[float, float]:
        """How much of their scores test code and auxiliary code keep."""
        return (
            TEST_FACTOR_ASKED if self.wants_tests else TEST_FACTOR,
            TEST_FACTOR_ASKED if self.wants_auxiliary else TEST_FACTOR,
        )

    def role_factor(self, role: int) -> float:
        return 1.0 if role == CODE else self.role_factors()[0 if role == TEST else 1]


@dataclass(frozen=True, slots=True)
class Candidate:
    id: int
    file_id: int
    path: bytes  # raw, as stored: the tie-break compares bytes
    line: int
    key: str
    pagerank: float
    name: str
    kind: str
    language: str | None

    @property
    def order(self) -> tuple[bytes, int, str]:
        return (self.path, self.line, self.key)


def match_expression(terms: Iterable[str]) -> str | None:
    """An FTS5 query matching any of `terms` (engine terms: letters and digits only)."""
    quoted = [f'"{term}"' for term in dict.fromkeys(terms) if term and '"' not in term]
    return " OR ".join(quoted) if quoted else None


def _rarest_terms(connection: sqlite3.Connection, table: str, terms: list[str]) -> list[str]:
    """The TEXT_TERMS terms of `terms` that the fewest rows of `table` hold
    (ties in query order); all of them when there are no more than that.

    BM25 weighs every term of the query for every row that holds any: a
    long query's thousand terms would cost a thousand times the rows that
    match, and nearly every row matches one of them. The rarest terms carry
    nearly all of the score: a term most rows hold weighs next to nothing.
    """
    distinct = list(dict.fromkeys(terms))
    if len(distinct) <= TEXT_TERMS:
        return distinct
    rows = queries.term_counts(connection, table, distinct)
    held = [term for term in distinct if rows.get(term)]
    return sorted(held, key=lambda term: rows[term])[:TEXT_TERMS]


# The fewest letters of each word that a query's run-together word is taken
# apart into ("whitespace" for a text that says "white space").
SPLIT_PART = 3


def _split_words(connection: sqlite3.Connection, table: str, terms: list[str]) -> list[str]:
    """The words that the terms no row of `table` holds run together, where
    both halves are terms that rows hold: "whitespace" is "white" and
    "space" in a documentation that writes "white space". Of the ways to
    take one apart, the one whose rarer half the most rows hold."""
    long_terms = [term for term in dict.fromkeys(terms) if len(term) >= 2 * SPLIT_PART]
    if not long_terms:
        return []
    known = queries.term_counts(connection, table, long_terms)
    halves = {
        term: [(term[:cut], term[cut:]) for cut in range(SPLIT_PART, len(term) - SPLIT_PART + 1)]
        for term in long_terms
        if term not in known
    }
    if not halves:
        return []
    rows = queries.term_counts(connection, table, sorted({half for pairs in halves.values() for pair in pairs for half in pair}))
    split = []
    for pairs in halves.values():
        held = [
            (min(rows[first], rows[second]), first, second) for first, second in pairs if first in rows and second in rows
        ]
        if held:
            _, first, second = max(held)
            split += [first, second]
    return split


def _bm25_channel(connection: sqlite3.Connection, table: str, weights: tuple[float, ...], query: Query) -> list[int]:
    terms = query.terms + _split_words(connection, table, query.terms)
    expression = match_expression(_rarest_terms(connection, table, terms))
    if expression is None:
        return []
    return queries.bm25_matches(
        connection, table, expression, weights, query.role_factors(), query.languages, CHANNEL_DEPTH
    )


def lexical_channel(connection: sqlite3.Connection, query: Query) -> list[int]:
    """Symbols whose name, signature, docstring and path match the query, by BM25.

    Both sides are the engine's terms, so `getUserName` meets a query for
    "user name" and "DB" meets "database".
    """
    return _bm25_channel(connection, "lexical", FIELD_WEIGHTS, query)


def body_channel(connection: sqlite3.Connection, query: Query) -> list[int]:
    """Symbols whose own code (identifiers, strings, comments) matches the query, by BM25."""
    return _bm25_channel(connection, "code", (1.0,), query)


def _spelled_names(words: list[str]) -> list[str]:
    """The names the query may spell: every run of up to LONGEST_SPELLING
    consecutive query words joined, with or without its articles ("with the
    stem" spells `with_stem`), and every two content words close to each
    other, in order. A run of stop words alone spells nothing."""
    spelled = set()
    for start in range(len(words)):
        for end in range(start + 1, min(start + LONGEST_SPELLING, len(words)) + 1):
            run = words[start:end]
            if any(word not in STOP_WORDS for word in run):
                spelled.add("".join(run))
                spelled.add("".join(word for word in run if word not in ARTICLES))
    content = [word for word in words if word not in STOP_WORDS]
    for first in range(len(content)):
        for second in range(first + 1, min(first + 1 + COMPOUND_WINDOW, len(content))):
            spelled.add(content[first] + content[second])
    return sorted(spelled)


def _shortened_parts(content: list[str]) -> dict[str, set[tuple[int, ...]]]:
    """Name terms that the query's content words give when a name cuts them
    short, each with the places of the words it stands for: a word's
    beginning ("directory" gives "dir", as in `is_dir`), and two words close
    to each other joined in order, either or both cut short ("symbolic link"
    gives `symlink`, "parse an address" `parseaddr`, "split the extension"
    `splitext`)."""
    parts: dict[str, set[tuple[int, ...]]] = {}
    for place, word in enumerate(content):
        # A beginning one letter short is no abbreviation but an inflection, which the terms cover.
        for end in range(SHORTEST_START, len(word) - 1):
            parts.setdefault(word[:end], set()).add((place,))
    for first in range(len(content)):
        for second in range(first + 1, min(first + 1 + COMPOUND_WINDOW, len(content))):
            tails = _starts(content[second])
            for head in _starts(content[first]):
                for tail in tails:
                    parts.setdefault(head + tail, set()).add((first, second))
    return parts


def _starts(word: str) -> list[str]:
    """A word and its beginnings of SHORTEST_START letters or more."""
    return [word[:end] for end in range(min(SHORTEST_START, len(word)), len(word) + 1)]


def _joins_a_word(term: str, words: set[str], known: dict[str, bool]) -> bool:
    """Whether a part of a name begins or ends with one of `words` and joins
    it to another word (of SHORTEST_START letters or more, so that `parser`
    is no "parse" joined to an "r"): `fastcopy` joins "copy" to "fast"."""
    found = known.get(term)
    if found is None:
        found = any(
            term[:end] in words or term[-end:] in words for end in range(JOINED_WORD, len(term) - SHORTEST_START + 1)
        )
        known[term] = found
    return found


def _held_words(name_terms: set[str], term_words: dict[str, list[str]], rarity: dict[str, float]) -> dict[str, float]:
    """The query's words that a name holds, each with the rarity of its rarest term there."""
    held: dict[str, float] = {}
    for term in name_terms:
        weight = rarity.get(term)
        if not weight:
            continue
        for word in term_words.get(term, ()):
            if weight > held.get(word, 0.0):
                held[word] = weight
    return held


def _name_rarity(connection: sqlite3.Connection, terms: Iterable[str]) -> dict[str, float]:
    """How rare each term is among the names of the index: ln(1 + symbols / names holding it)."""
    wanted = sorted(set(terms))
    total = queries.symbol_count(connection)
    counts = queries.name_term_counts(connection, wanted)
    return {term: math.log(1.0 + total / counts[term]) for term in wanted if counts.get(term)}


# What the identity channel makes of a name: its terms, whether the query
# spells it, the query's words it holds, its weight, and its parts that cut
# the query's words short.
_NameWeights = tuple[set[str], bool, dict[str, float], float, set[str]]


def identity_channel(connection: sqlite3.Connection, query: Query, prune: bool = True) -> list[int]:
    """Symbols whose own name is what the query asks for.

    Each query word that a name holds (as itself, its stem or an
    abbreviation) counts with the rarity of that term among all names: a
    "pagerank" says more than a "graph", which half the names share. A word
    counts once however many of its terms the name shares, so a plural does
    not weigh double. The sum is scaled by how much of the name the query
    covers, so `sleep` answers "sleep without blocking the loop" before
    `get_event_loop` does; a name that the query spells, with or without its
    underscores and case ("raw decode" spells `raw_decode`, "json decoder"
    `JSONDecoder`, "copy a directory tree" `copytree`), counts half again.
    Names cut words short, alone or run together (`is_dir`, `symlink`,
    `splitext`): such a part of a name counts as the words it stands for.
    A part that joins a query word to another (`fastcopy` for "copy") is
    half covered, and weighs nothing. A name made only of the query's words,
    two or more, is listed however long the query (`pack_budget` for "pack
    ranked symbols into a token budget"). A part of a name that says what
    does a word or what it does (`Tokenizer` for "tokens", `Validator` for
    "validate": see `derived_terms`) counts as the word.

    `prune=False` reads every name that might be listed, even those that
    the best spelled name rules out: the same answer, for comparison.
    """
    spelled = _spelled_names(query.words)
    content = [word for word in query.words if word not in STOP_WORDS]
    # Each word once, with how often the query says it; and for each term,
    # the words that give it, so that a name is weighed by its own few
    # terms, not by every word of a long query.
    said_times = Counter(content)
    word_terms = {word: set(text_terms(word)) for word in said_times}
    own_terms = set().union(*word_terms.values())
    # The terms of names that say what does a word, or what it does, that
    # the index's names hold (and that no word of the query says itself).
    derived: dict[str, set[str]] = {}
    candidates = {word: derived_terms(word, terms) for word, terms in word_terms.items()}
    named = queries.name_term_counts(connection, sorted({term for found in candidates.values() for term in found}))
    for word, found in candidates.items():
        for term, folded in found.items():
            if term in named:
                derived.setdefault(word, set()).update(folded - own_terms)
    for word, terms in derived.items():
        word_terms[word] |= terms
    # A name that holds a derived term holds the word: its folding cut short
    # ("direc" of `direction` for "directed") is no abbreviation of it besides.
    truncated = {
        fold for found in candidates.values() for term in found.keys() & named.keys() for fold in text_terms(term)
    }
    term_words: dict[str, list[str]] = {}
    for word, terms in word_terms.items():
        for term in terms:
            term_words.setdefault(term, []).append(word)
    all_terms = term_words.keys()
    shortened = {
        part: words
        for part, words in _shortened_parts(content[:SHORTENED_WORDS]).items()
        if part not in all_terms and part not in truncated
    }
    rarity = _name_rarity(connection, all_terms | shortened.keys())
    shortened = {part: words for part, words in shortened.items() if part in rarity}  # parts that names hold
    # A word weighs as rare as its own terms are among names; as its derived
    # ones only where no name holds it. A derived term counts as the word, and
    # so weighs no more than the word does.
    word_weight = {}
    for word, terms in word_terms.items():
        own = max((rarity.get(term, 0.0) for term in terms - derived.get(word, set())), default=0.0)
        word_weight[word] = own or max((rarity.get(term, 0.0) for term in terms), default=0.0)
        for term in derived.get(word, ()):
            if term in rarity and own:
                rarity[term] = min(rarity[term], own)
    place_weights = [word_weight[word] for word in content[:SHORTENED_WORDS]]
    # Stop words weigh nothing, but a name's `is_`, `with_` or `_to` is
    # accounted for when the query says it too: "a path with the stem
    # changed" covers `with_stem` as fully as `stem`.
    said = all_terms | (set(query.words) & STOP_WORDS)
    long_words = {word for word in content[:SHORTENED_WORDS] if len(word) >= JOINED_WORD}
    joins: dict[str, bool] = {}
    asked = sum(word_weight[word] * times for word, times in said_times.items())
    share = IDENTITY_SHARE * asked
    ranked = []
    # Names that cannot be listed: too light to carry their share, holding
    # one of the query's words or none. On a large tree they are nearly all
    # of the candidates (every name with a "data" in it), and what they can
    # still change is the best score and how many names rank ahead of a
    # listed one: they are weighed whole only where they might.
    unlisted: list[tuple[float, queries.NameCandidate]] = []

    # What each part of a name that cuts words short weighs: the words it stands for, or itself if rarer.
    part_weights = {
        part: max(rarity[part], max(sum(place_weights[place] for place in places) for places in shortened[part]))
        for part in shortened
    }
    part_words = {
        part: [{content[place] for place in places} for places in shortened[part]] for part in shortened
    }

    def weighed(row: queries.NameCandidate) -> _NameWeights:
        """The name's terms, whether the query spells it, the query's words it
        holds, its weight, and its parts that cut the query's words short."""
        name_terms = set(row.name_terms.split())
        exact = row.marked
        held_words = _held_words(name_terms, term_words, rarity)
        # Each word counts once for each time the query says it.
        weight = sum(rarest * said_times[word] for word, rarest in held_words.items())
        if exact and weight <= 0.0:
            # A compound that the query spells (`copytree`): its parts are no
            # terms of the name, so the query's words weigh for it.
            weight = asked
        # A name the query spells whole weighs as above; any other counts each
        # part it holds that cuts words short as much as those words weigh, or
        # as the part itself, if it is rarer.
        cut_short = name_terms & shortened.keys() if not exact else set()
        # A part counts only for words the name does not hold already: `Len`
        # holds "length" through the abbreviation, and its "len" is that word.
        weight += sum(
            part_weights[part]
            for part in cut_short
            if any(not words <= held_words.keys() for words in part_words[part])
        )
        return name_terms, exact, held_words, weight, cut_short

    def entry(
        row: queries.NameCandidate, weights: _NameWeights
    ) -> tuple[tuple[float, int, bytes, int, str], int, bool]:
        name_terms, exact, held_words, weight, cut_short = weights
        held = name_terms & (said | cut_short)
        covered = len(held)
        joined = sum(1 for term in name_terms - held if _joins_a_word(term, long_words, joins))
        coverage = (covered + 0.5 * joined) / len(name_terms) if name_terms else 1.0
        score = weight * (0.5 + 0.5 * coverage) * (1.5 if exact else 1.0)
        score *= query.role_factor(row.role)
        # A name made only of the query's words, two of them or more, is
        # called by name however little of a long query it holds.
        called = coverage >= 1.0 and len(held_words) >= 2
        # Of two names that score alike, the one that holds more of what the
        # query says: `with_stem` before `stem` for "with the stem changed".
        return (-score, -covered, row.path, row.line, row.key), row.id, called

    listed: list[tuple[float, queries.NameCandidate, _NameWeights]] = []

    def sort_out(rows: list[queries.NameCandidate]) -> None:
        for row in rows:
            weights = weighed(row)
            _, exact, held_words, weight, _ = weights
            if weight <= 0.0:
                continue
            # The score is at most this, the coverage being at most 1.
            bound = weight * (1.5 if exact else 1.0) * query.role_factor(row.role)
            if bound < share and len(held_words) < 2:
                unlisted.append((bound, row))
            else:
                listed.append((bound, row, weights))

    # Which names hold each term is read from the full-text index alone; a
    # name's row is read only where its terms say it might be listed. One
    # that holds the terms of a single word or part (a group) weighs at
    # most what that group does, and is listed only if that reaches the
    # share. One-letter names (`f`, `x`) would match every stray "a" of a
    # query: such a name the query spells is no name it calls.
    holders = queries.name_holders(connection, "name_terms", sorted(rarity))
    marked = set().union(*queries.name_holders(connection, "name_keys", [name for name in spelled if len(name) > 1]).values())
    groups = [
        (word_weight[word] * said_times[word], set().union(*(holders.get(term, ()) for term in terms)))
        for word, terms in word_terms.items()
    ]
    groups += [(part_weights[part], holders.get(part, set())) for part in shortened]
    seen: set[int] = set()
    shared: set[int] = set()
    for _, ids in groups:
        shared |= ids & seen
        seen |= ids
    read = shared | marked
    for most, ids in groups:
        if most >= share:
            read |= ids
    # The names the query spells come first: the best of them bounds the
    # best score from below, and a name not spelled, which weighs at most
    # what its groups do, is read only if that might reach IDENTITY_CUT of
    # it. On a large tree the spelled `free_page` spares reading the
    # thousands of names that hold a "free" and a "page" among other words.
    spelled_rows = queries.named_symbols(connection, marked, marked, query.languages)
    scores = [-entry(row, weights)[0][0] for row in spelled_rows if (weights := weighed(row))[3] > 0.0]
    floor = IDENTITY_CUT * max(scores, default=0.0)
    rest = read - marked
    if floor > 0.0 and prune:
        most_of: dict[int, float] = dict.fromkeys(rest, 0.0)
        for most, ids in groups:
            for symbol_id in ids & rest:
                most_of[symbol_id] += most
        # A hair below the cut too: the bound adds the weights in another order than the score.
        rest = {symbol_id for symbol_id, most in most_of.items() if most >= floor * (1.0 - 1e-9)}
    sort_out(spelled_rows + queries.named_symbols(connection, rest, marked, query.languages))
    # A name that scores less than IDENTITY_CUT of the best is not given,
    # and ranks after every name that is: names are scored from the one
    # that might score most down, only while they might still be given.
    listed.sort(key=lambda item: -item[0])
    top = 0.0
    for bound, row, weights in listed:
        if bound < IDENTITY_CUT * top:
            break
        ranked.append(entry(row, weights))
        top = max(top, -ranked[-1][0][0])
    # Of the rest, only those that might be the best, or rank ahead of a name
    # listed for what it covers though lighter than its share, are scored.
    best = max((-score for (score, *_), _, _ in ranked), default=0.0)
    lightest = min((-score for (score, *_), _, called in ranked if called and -score < share), default=math.inf)
    later: set[int] = set()
    for most, ids in groups:
        if most < share and (most > best or most >= lightest):
            later |= ids - read
    sort_out(queries.named_symbols(connection, later, marked, query.languages))
    ranked += [entry(row, weighed(row)) for bound, row in unlisted if bound > best or bound >= lightest]
    ranked.sort()
    # Only names that stand out: near the best match, and (unless called by
    # name) carrying a fair share of what the query says. A long tail of
    # names that share one common word with the query would outvote the
    # text channels.
    best = -ranked[0][0][0] if ranked else 0.0
    return [
        symbol_id
        for (score, *_tie), symbol_id, called in ranked[:CHANNEL_DEPTH]
        if -score >= IDENTITY_CUT * best and (called or -score >= share)
    ]


def load_candidates(connection: sqlite3.Connection, ids: Iterable[int]) -> dict[int, Candidate]:
    return {row[0]: Candidate(*row) for row in queries.candidate_rows(connection, ids)}


def structural_channel(ordered: list[int], candidates: dict[int, Candidate]) -> list[int]:
    """The query's candidates again, ordered by the PageRank of their files.

    Only candidates: ranking every symbol of a central file would push code
    unrelated to the query into the results. Within a file (and between
    equally central files) the candidates keep the order they came in.
    """
    return sorted(ordered, key=lambda symbol_id: -candidates[symbol_id].pagerank)


def is_private_name(name: str, language: str | None = None) -> bool:
    """`_helper` and `__mangled`, but not `__init__` and its kin; in Go, whose
    names are exported by their case alone, every name that does not begin
    with an upper-case letter (`send`, `Client.send`, `parseTag`)."""
    if language == "go":
        return not name[:1].isupper()
    return name.startswith("_") and not (name.startswith("__") and name.endswith("__"))


# A module of tests inside a file of code: Rust's `#[cfg(test)] mod tests`,
# a C++ `namespace test`. Its symbols are test code wherever the file stands.
_TEST_MODULE = re.compile(r"(?:^|::)tests?::")


def in_test_module(candidate: Candidate) -> bool:
    """Whether the candidate stands in a module of tests inside a file that is no test file."""
    return _TEST_MODULE.search(candidate.key) is not None and not is_test_path(os.fsdecode(candidate.path))


def prior(candidate: Candidate, query: Query, tests_apart: bool = True) -> float:
    """What a candidate's name, kind and place say of it before the query's
    words do (its place also after the scope the query opens with). A symbol of a module of tests inside a file of code counts as
    test code when `tests_apart`: in a list of symbols, the test is not the
    code it tests; in a list of files, it speaks for the file it stands in."""
    factor = PRIVATE_FACTOR if is_private_name(candidate.name, candidate.language) else 1.0
    if tests_apart and in_test_module(candidate):
        factor *= query.role_factor(TEST)
    if query.scopes and in_scope(candidate.path, query.scopes):
        factor *= SCOPE_FACTOR
    return factor * TYPE_FACTOR if candidate.kind in CONTAINER_KINDS else factor
