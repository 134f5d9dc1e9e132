"""Ranking: the symbols of the index that best answer a query, within a token budget.

The pipeline a retrieval host runs: ranked channels read from the index
(channels.py), fused by the engine, then packed greedily into the budget in
fused order. The engine's per-file diversity damping is left off here: the
fused scores of a query's candidates lie close together, and damping a
file's second pick turned the answer into a round of one symbol per file,
dropping right answers that share a file with a better one.

A symbol's cost is the text a model would be given for it: a header line
naming the file and lines (`block_header`), then its source lines
(`context_lines` of each result), then a blank line; printing that text
for the packed symbols stays within the budget. A symbol too long for its
share of the budget is given as its head (`HEAD_SHARE`).
"""

from __future__ import annotations

import bisect
import re
import sqlite3
import threading
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass

import _quibra_core as engine

from quibra.index import queries
from quibra.index.storage import WRITE_TOKEN
from quibra.ranking.channels import (
    PRIVATE_FACTOR,
    Candidate,
    Query,
    body_channel,
    identity_channel,
    lexical_channel,
    load_candidates,
    prior,
    structural_channel,
)
from quibra.tree.languages.model import tokens_of_characters

CHANNELS = ("lexical", "body", "identity", "structural")

# How much a first place in each channel counts. Names and text count
# alike: a name that the query spells is strong evidence, but so is a
# docstring or body full of its words. Centrality in the import graph only
# breaks near-ties: on its own it says nothing about the query.
CHANNEL_WEIGHTS = {"lexical": 1.0, "body": 1.0, "identity": 1.0, "structural": 0.1}

# The constant k of reciprocal rank fusion (a place r adds weight / (r + k)).
# The usual 60 flattens each channel's own order: fiftieth places in two
# channels (2/110) outweigh a first place in one (1/61). The channels here
# are precise at their heads, so a first place must count: with 15 it
# yields to tenth places in two (2/25) but beats twentieth places (2/35).
FUSION_SMOOTHING = 15.0


# The most of the budget that one symbol's block takes: a longer symbol is
# given as its head, the first lines that this share holds (its signature,
# its documentation, how its code begins), and the header names the lines
# given. Whole, a function of a few hundred lines would take the place of
# a dozen other answers, and the model that reads the context learns where
# it is and what it is from its head; `symbol_source` gives the rest. A
# small budget's share would leave a line or two, too little to stand for a
# symbol: no head is cut shorter than HEAD_LEAST tokens (about five lines).
HEAD_SHARE = 1 / 16
HEAD_LEAST = 64


def block_tokens(header: str, chars: int) -> int:
    """Tokens of one context block: the header line, the source, and the blank line after it."""
    return tokens_of_characters(len(header) + chars + 3)


# Characters that would break a header line apart: a file name may hold any of them.
_LINE_BREAKING = re.compile("[\x00-\x1f\x7f\x85\u2028\u2029]")


def block_header(display_path: str, start_line: int, end_line: int) -> str:
    """The line `path:first-last` that heads a symbol's block. A control
    character in the file's name is escaped (a newline would split the
    header); bytes that are not UTF-8 stay as they are, one character each."""
    path = _LINE_BREAKING.sub(lambda found: repr(found.group())[1:-1], display_path)
    return f"{path}:{start_line}-{end_line}"


def symbol_head(lines: list[str], shown_path: str, first: int, last: int, most: int) -> tuple[int, int]:
    """(last line, characters) of the longest run of `lines` from `first` on,
    no further than `last`, whose block costs at most `most` tokens; the
    first line alone when even it costs more."""
    end, chars = first, len(lines[first - 1])
    while end < last:
        longer = chars + 1 + len(lines[end])
        if block_tokens(block_header(shown_path, first, end + 1), longer) > most:
            break
        end, chars = end + 1, longer
    return end, chars


@dataclass(frozen=True)
class Ranked:
    """The fused candidates of a query, best first, with their channel ranks."""

    ordered: list[tuple[int, float, dict[str, int]]]
    candidates: dict[int, Candidate]


class _Beside(threading.Thread):
    """One full-text channel, run on a thread of its own."""

    def __init__(
        self, channel: Callable[[sqlite3.Connection, Query], list[int]], connection: sqlite3.Connection, query: Query
    ):
        super().__init__(name="quibra-channel", daemon=True)
        self.channel, self.connection, self.query = channel, connection, query
        self.found: list[int] = []
        self.error: BaseException | None = None

    def run(self) -> None:
        try:
            self.found = self.channel(self.connection, self.query)
        except BaseException as error:  # noqa: BLE001 - raised again on the caller's thread
            self.error = error

    def result(self) -> list[int]:
        self.join()
        if self.error is not None:
            raise self.error
        return self.found


class EarlyChannels:
    """The two full-text channels of a query, started on two `sides`
    (connections in read transactions of one state of the index) before the
    index is refreshed. A one-shot command takes every file's stat to learn
    whether the tree moved, which costs about what the query does on a large
    tree: where the tree is as the index holds it, the channels were scored
    meanwhile. Where the refresh wrote, they are stopped and not used."""

    def __init__(self, sides: Sequence[sqlite3.Connection], query: Query):
        self.query = query
        self.sides = sides
        self.state = queries.meta(sides[0], WRITE_TOKEN)
        self.threads = [_Beside(lexical_channel, sides[0], query), _Beside(body_channel, sides[1], query)]
        for thread in self.threads:
            thread.start()

    def results(self, connection: sqlite3.Connection, query: Query) -> tuple[list[int], list[int]] | None:
        """The lexical and body channels, where they were found for `query`
        in the state of the index that `connection` sees; otherwise None."""
        if query != self.query or queries.meta(connection, WRITE_TOKEN) != self.state:
            return None
        for thread in self.threads:
            thread.join()
        if any(thread.error is not None for thread in self.threads):
            return None  # scored again, on this connection
        return self.threads[0].found, self.threads[1].found

    def stop(self) -> None:
        """End the threads (their queries stopped if they still run), so
        that the sides can be handed back."""
        if any(thread.is_alive() for thread in self.threads):
            for side in self.sides:
                side.interrupt()
        for thread in self.threads:
            thread.join()


def _channels(
    connection: sqlite3.Connection, query: Query, sides: Sequence[sqlite3.Connection], early: EarlyChannels | None = None
) -> tuple[list[int], list[int], list[int]]:
    """The lexical, body and identity channels of `query`. Given two `sides`
    (connections that see the state `connection` sees), the two full-text
    channels run on them on threads of their own: SQLite scores their rows
    without holding the interpreter, while the identity channel weighs its
    names on this one. The threads end with the call, so that a later
    refresh may still fork its workers. `early`: the full-text channels
    started before a refresh, used where the state they read is this one."""
    found = early.results(connection, query) if early is not None else None
    if found is not None:
        return found[0], found[1], identity_channel(connection, query)
    if len(sides) < 2:
        return lexical_channel(connection, query), body_channel(connection, query), identity_channel(connection, query)
    beside = [_Beside(lexical_channel, sides[0], query), _Beside(body_channel, sides[1], query)]
    for thread in beside:
        thread.start()
    try:
        identity = identity_channel(connection, query)
    except BaseException:
        # Their queries are stopped before the connections are handed back.
        for side in sides:
            side.interrupt()
        for thread in beside:
            thread.join()
        raise
    # Both end before either's failure is raised, and the connections go back.
    for thread in beside:
        thread.join()
    return beside[0].result(), beside[1].result(), identity


def fused_candidates(
    connection: sqlite3.Connection,
    query: Query,
    *,
    files: bool = False,
    sides: Sequence[sqlite3.Connection] = (),
    early: EarlyChannels | None = None,
) -> Ranked:
    """The candidates of `query`, fused. For a ranking of `files`, tests
    inside a file of code count for that file as its code does, and copies
    of a member keep their place. `sides` and `early`: see `_channels`."""
    lexical, body, identity = _channels(connection, query, sides, early)
    # Lexical order first, then names, then code: the order in which the
    # structural channel breaks ties between equally central files.
    ordered = list(dict.fromkeys([*lexical, *identity, *body]))
    candidates = load_candidates(connection, ordered)
    structural = structural_channel(ordered, candidates)
    lists = {"lexical": lexical, "body": body, "identity": identity, "structural": structural}
    fused = engine.fuse(
        [engine.ChannelResult(name, [str(i) for i in lists[name]]) for name in CHANNELS],
        smoothing=FUSION_SMOOTHING,
        weights=CHANNEL_WEIGHTS,
    )
    heads = {symbol_id: (signature, doc) for symbol_id, signature, doc in queries.symbol_heads(connection, ordered)}
    entries = []
    for result in fused:
        symbol_id = int(result.symbol_id)
        score = result.score * prior(candidates[symbol_id], query, tests_apart=not files)
        if is_declared_private(heads[symbol_id][0]):
            score *= PRIVATE_FACTOR
        entries.append((symbol_id, score, result.channel_ranks))
    # The engine leaves the order of equal scores open; fix it by place in the tree.
    entries.sort(key=lambda entry: (-entry[1], candidates[entry[0]].order))
    return Ranked(entries if files else _copies_behind(entries, candidates, heads), candidates)


# How much of its score a copy of a better placed candidate keeps, for each
# copy before it: the same member on sibling types, declared and documented
# alike (`sort` of Int8Array, Uint8Array ... Float64Array). In a list of
# symbols, where each takes a place, eight copies would fill the first
# places for one answer; a list of files shows each file once.
COPY_FACTOR = 0.5

_SCOPE_SEPARATOR = re.compile(r"::|\.")


# A name in a signature: what may stand for the owner's type.
_NAME = re.compile(r"\b[A-Za-z_$][\w$]*\b")
# The fewest characters of a name that an owner's name begins with, for it
# to be taken for the owner's own type (`Int8Array` in `Int8ArrayConstructor`).
SHORTEST_OWN_TYPE = 3


def copy_key(candidate: Candidate, signature: str, documentation: int) -> tuple[str, int, str] | None:
    """What copies of one member have in common: its name, its documentation (a
    digest of it, `storage.doc_key`) and
    its signature with its owner's name blanked (`every(predicate: (value:
    number, array: Int8Array) => unknown)` on Int8Array), and so every name
    its owner's name begins with: the type that a constructor's or a
    factory's interface makes (`from(arrayLike: ArrayLike<number>):
    Int8Array` on Int8ArrayConstructor); None for a member without
    documentation, whose name alone says nothing of what it does."""
    if not documentation:
        return None
    owner = _SCOPE_SEPARATOR.split(candidate.key.partition("@")[0])[-2:-1]
    if owner and owner[0]:
        own = owner[0]
        signature = _NAME.sub(
            lambda found: "" if len(found.group()) >= SHORTEST_OWN_TYPE and own.startswith(found.group()) else found.group(),
            signature,
        )
    return (candidate.name, documentation, " ".join(signature.split()))


def _copies_behind(
    entries: list[tuple[int, float, dict[str, int]]],
    candidates: dict[int, Candidate],
    heads: dict[int, tuple[str, int]],
) -> list[tuple[int, float, dict[str, int]]]:
    """The fused order with each copy (see `copy_key`) of a candidate placed
    before it scoring COPY_FACTOR less for each such copy."""
    seen: dict[tuple[str, int, str], int] = {}
    damped = []
    for symbol_id, score, ranks in entries:
        candidate = candidates[symbol_id]
        key = copy_key(candidate, *heads[symbol_id])
        if candidate.kind == "interface" and candidate.language == "typescript":
            # TypeScript merges the declarations of one interface (`interface
            # Array<T>` in a dozen library files): each is a part of the one.
            key = ("interface", 0, candidate.key.partition("@")[0])
        if key is not None:
            before = seen.get(key, 0)
            seen[key] = before + 1
            score *= COPY_FACTOR**before
        damped.append((symbol_id, score, ranks))
    damped.sort(key=lambda entry: (-entry[1], candidates[entry[0]].order))
    return damped


# A modifier that makes a member private (Java, TypeScript, PHP), before its parameters.
_PRIVATE_MODIFIER = re.compile(r"(?:^|\s)private\s")


def is_declared_private(signature: str) -> bool:
    """Whether a signature declares its symbol private: `private void readInput()`,
    `private static int setBit(...)`. Such a member is the class's own
    helper, as a `_name` is in Python."""
    return _PRIVATE_MODIFIER.search(signature.split("(", 1)[0]) is not None


class _LinesGiven:
    """The lines of each file that the symbols kept so far stand for.

    A function stands for its whole text, nested functions included, so a
    nested function and the one around it would print the same lines twice
    and count them twice against the budget: the better placed of the two
    stands for both. A class stands only for its head, so its members come
    on their own. A long function stands for its whole text even where only
    its head is given: what is given depends on the budget, and a result's
    place must not.
    """

    def __init__(self) -> None:
        # Per file, the kept spans sorted by first line: they never overlap,
        # so their last lines are sorted too, and only the span starting last
        # at or before a new span's end can overlap it.
        self.starts: dict[int, list[int]] = {}
        self.ends: dict[int, list[int]] = {}

    def take(self, file_id: int, first: int, last: int) -> bool:
        """Keep lines `first` to `last` of the file, unless a kept span shares one of them."""
        starts = self.starts.setdefault(file_id, [])
        ends = self.ends.setdefault(file_id, [])
        before = bisect.bisect_right(starts, last)
        if before and ends[before - 1] >= first:
            return False
        starts.insert(before, first)
        ends.insert(before, last)
        return True


def rank(
    connection: sqlite3.Connection,
    query: str,
    budget: int,
    display: Callable[[bytes], tuple[str, str]],
    languages: Iterable[str] | None = None,
    selected: Callable[[str], bool] | None = None,
    read_lines: Callable[[bytes], list[str] | None] | None = None,
    sides: Sequence[sqlite3.Connection] = (),
    early: EarlyChannels | None = None,
) -> tuple[list[dict[str, object]], int, int]:
    """(results in pick order, total tokens, number of candidates).

    A result's "rank" is its place among all candidates, so it is the same
    at any budget; a result that did not fit leaves a gap.

    `display` turns a stored path into (tree-relative path, path as shown);
    `languages` limits the answer to symbols of those languages, `selected`
    to the files whose tree-relative path it accepts. `read_lines` gives the
    lines of a file as the index read them (None when the file changed
    since): a symbol longer than HEAD_SHARE of the budget is given as its
    head only where it does, and whole otherwise. `sides` and `early`: see `fused_candidates`.
    """
    ranked = fused_candidates(connection, Query.parse(query, languages), sides=sides, early=early)
    if selected is not None:
        kept = [entry for entry in ranked.ordered if selected(display(ranked.candidates[entry[0]].path)[0])]
        ranked = Ranked(kept, ranked.candidates)
    ids = [symbol_id for symbol_id, _score, _ranks in ranked.ordered]
    details = {row[0]: row for row in queries.symbol_details(connection, ids)}
    listed = []  # the candidates that share no line with a better one
    taken = _LinesGiven()
    items = []
    shown: dict[int, tuple[str, str]] = {}
    given: dict[int, int] = {}  # the last line of each symbol's block
    most = max(HEAD_LEAST, int(budget * HEAD_SHARE))
    files: dict[bytes, list[str] | None] = {}
    # Heads are worked out only as far down the order as the budget could
    # reach, each block counted at its cost: past that no long symbol fits.
    reached = 0
    for entry in ranked.ordered:
        symbol_id, score, _ranks = entry
        candidate = ranked.candidates[symbol_id]
        row = details[symbol_id]
        shown_path = display(candidate.path)[1]
        first, last, chars = row[5], row[9], row[7]
        if not taken.take(row[11], first, last):
            continue
        tokens = block_tokens(block_header(shown_path, first, last), chars)
        if tokens > most and read_lines is not None and reached < budget:
            if candidate.path not in files:
                files[candidate.path] = read_lines(candidate.path)
            lines = files[candidate.path]
            if lines is not None and last <= len(lines):
                last, chars = symbol_head(lines, shown_path, first, last, most)
                tokens = block_tokens(block_header(shown_path, first, last), chars)
        listed.append(entry)
        shown[symbol_id] = display(candidate.path)
        reached += tokens
        given[symbol_id] = last
        items.append({"id": str(symbol_id), "file": str(candidate.file_id), "score": score, "tokens": tokens})
    packed, total_tokens = engine.pack_budget(items, budget, diversity=False)
    channel_ranks = {symbol_id: ranks for symbol_id, _score, ranks in listed}
    # A result's place is its place in the fused order, whatever the budget:
    # the budget only decides which results are given.
    places = {symbol_id: place for place, (symbol_id, _score, _ranks) in enumerate(listed, start=1)}
    results = []
    for item in packed:
        symbol_id = int(item.symbol_id)
        row = details[symbol_id]
        path, shown_path = shown[symbol_id]
        results.append(
            {
                "rank": places[symbol_id],
                "symbol_id": f"{path}:{row[1]}",
                "symbol": row[2],
                "kind": row[3],
                "language": row[10],
                "path": path,
                "file": shown_path,
                "line": row[4],
                "start_line": row[5],
                "end_line": row[6],
                # The lines that the budget counted: the whole symbol, or its head
                # (a class's, or a long symbol's first lines).
                "context_lines": [row[5], given[symbol_id]],
                "signature": row[8],
                "score": item.original_score,
                "adjusted_score": item.adjusted_score,
                "channel_ranks": {name: channel_ranks[symbol_id].get(name) for name in CHANNELS},
                "tokens": item.tokens,
            }
        )
    return results, total_tokens, len(listed)


# A file's score adds up its best symbols' scores, each counting this much
# less than the one before: a file that answers in several places is a
# better file to read than one with a single lucky match.
FILE_SCORE_DECAY = 0.5
FILE_SCORE_SYMBOLS = 3


def rank_files(
    connection: sqlite3.Connection,
    query: str,
    top: int,
    display: Callable[[bytes], tuple[str, str]],
    languages: Iterable[str] | None = None,
    selected: Callable[[str], bool] | None = None,
    symbols_per_file: int = FILE_SCORE_SYMBOLS,
    sides: Sequence[sqlite3.Connection] = (),
    early: EarlyChannels | None = None,
) -> tuple[list[dict[str, object]], int]:
    """(the `top` files that best answer `query`, best first, each with its
    best symbols; the number of candidate symbols). `sides` and `early`: see `fused_candidates`."""
    ranked = fused_candidates(connection, Query.parse(query, languages), files=True, sides=sides, early=early)
    by_file: dict[int, list[tuple[int, int, float]]] = {}  # file id -> (place, symbol id, score), best first
    for place, (symbol_id, score, _ranks) in enumerate(ranked.ordered, start=1):
        candidate = ranked.candidates[symbol_id]
        if selected is not None and not selected(display(candidate.path)[0]):
            continue
        by_file.setdefault(candidate.file_id, []).append((place, symbol_id, score))

    def file_score(entries: list[tuple[int, int, float]]) -> float:
        best = entries[:FILE_SCORE_SYMBOLS]
        return sum(score * FILE_SCORE_DECAY**number for number, (_place, _id, score) in enumerate(best))

    scored = sorted(
        ((file_score(entries), entries) for entries in by_file.values()),
        key=lambda item: (-item[0], ranked.candidates[item[1][0][1]].path),
    )[:top]
    shown_ids = [symbol_id for _score, entries in scored for _place, symbol_id, _s in entries[:symbols_per_file]]
    details = {row[0]: row for row in queries.symbol_details(connection, shown_ids)}
    results: list[dict[str, object]] = []
    for position, (score, entries) in enumerate(scored, start=1):
        first = ranked.candidates[entries[0][1]]
        path, shown_path = display(first.path)
        symbols = []
        for place, symbol_id, symbol_score in entries[:symbols_per_file]:
            row = details[symbol_id]
            symbols.append(
                {
                    "rank": place,
                    "symbol_id": f"{path}:{row[1]}",
                    "symbol": row[2],
                    "kind": row[3],
                    "line": row[4],
                    "start_line": row[5],
                    "end_line": row[6],
                    "signature": row[8],
                    "score": symbol_score,
                }
            )
        results.append(
            {
                "rank": position,
                "path": path,
                "file": shown_path,
                "language": details[entries[0][1]][10],
                "score": score,
                "matches": len(entries),
                "symbols": symbols,
            }
        )
    return results, len(ranked.ordered)
