"""Benchmarks of tokenize and stem_word on the interpreter's own standard library.

The text is real source code that nobody here wrote: the .py files of the
running interpreter's standard library (found through sysconfig). Peers:

- the pure-Python fallback (bench/fallbacks.py), which gives the same terms;
- re.findall(r"[A-Za-z0-9]+", text.lower()), a plain ASCII word split that
  does less work (no identifier boundaries, no stems, no expansions);
- for stem_word, str.lower on the same words: the cost of the smallest
  possible call that takes a str and returns a new one.

Goals: tokenize at least 30x the fallback on whole files and faster than the
regex split although it does more; a stem_word call within 2x the time of a
str.lower call (ratio str.lower/stem_word at least 0.5).
"""

from __future__ import annotations

import collections
import pathlib
import re
import sysconfig

import fallbacks
from harness import Case

import _quibra_core as core

ASCII_WORDS = re.compile(r"[A-Za-z0-9]+")
SYMBOL_NAMES = re.compile(r"^\s*(?:async\s+def|def|class)\s+([A-Za-z_][A-Za-z0-9_]*)", re.MULTILINE)


def stdlib_sources(limit_bytes: int) -> list[str]:
    """Texts of stdlib .py files in a stable order, up to about limit_bytes."""
    root = pathlib.Path(sysconfig.get_paths()["stdlib"])
    texts: list[str] = []
    total = 0
    for path in sorted(root.rglob("*.py")):
        if "site-packages" in path.parts or "test" in path.parts:
            continue
        try:
            text = path.read_text(encoding="utf-8")
        except (OSError, UnicodeDecodeError):
            continue
        texts.append(text)
        total += len(text.encode("utf-8"))
        if total >= limit_bytes:
            break
    return texts


def consume(function, items) -> None:
    collections.deque(map(function, items), maxlen=0)


def cases(quick: bool) -> list[Case]:
    files = stdlib_sources(300_000 if quick else 1_500_000)
    megabytes = sum(len(t.encode("utf-8")) for t in files) / 1e6
    names = [name for text in files for name in SYMBOL_NAMES.findall(text)]
    words = [w for text in files for w in ASCII_WORDS.findall(text.lower()) if len(w) >= 2]
    words = words[: 20_000 if quick else 100_000]

    for text in files[:50]:
        assert core.tokenize(text) == fallbacks.tokenize(text)

    def regex_split(text: str) -> list[str]:
        return ASCII_WORDS.findall(text.lower())

    def mb_per_s(seconds: float) -> str:
        return f"{megabytes / seconds:,.1f} MB/s"

    return [
        Case(
            name="tokenize: whole stdlib files",
            subject=lambda: consume(core.tokenize, files),
            peers={
                "fallback tokenize": lambda: consume(fallbacks.tokenize, files),
                "re.findall on lower()": lambda: consume(regex_split, files),
            },
            note=f"{len(files)} files, {megabytes:.2f} MB; goals: fallback x30, regex x1",
            extras={"throughput": mb_per_s},
        ),
        Case(
            name="tokenize: short calls on symbol names",
            subject=lambda: consume(core.tokenize, names),
            peers={
                "fallback tokenize": lambda: consume(fallbacks.tokenize, names),
                "re.findall on lower()": lambda: consume(regex_split, names),
            },
            note=f"{len(names)} def/class names, one call each",
            extras={"per call": lambda s: f"{s / len(names) * 1e9:,.0f} ns"},
        ),
        Case(
            name="stem_word: words of the same files",
            subject=lambda: consume(core.stem_word, words),
            peers={
                "str.lower": lambda: consume(str.lower, words),
                "fallback stem_word": lambda: consume(fallbacks.stem_word, words),
            },
            note=f"{len(words)} words; goal: str.lower ratio at least 0.5",
            extras={"per call": lambda s: f"{s / len(words) * 1e9:,.0f} ns"},
        ),
    ]
