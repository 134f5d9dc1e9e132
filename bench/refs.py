"""Precision and recall of quibra's Python references against jedi's.

python bench/refs.py [--corpus NAME] [--per-corpus N] [--seed S] [--json FILE] [--show-misses K]

Corpora, each copied (its .py files only) into a scratch folder so that both
tools read exactly the same files and write nothing beside the originals:

- email (standard library): modules that reach each other through absolute
  and relative imports, `from email import utils` style module imports and
  a class hierarchy of policies, headers and parsers;
- asyncio (standard library): a package whose `__init__` gathers its
  modules with `from .x import *`, modules used as `events.f()`, and deep
  class hierarchies whose methods call each other through `self`;
- parso (installed with jedi, not the standard library): a third-party
  style package with absolute imports of its own subpackages, aliased
  imports and decorators.

From each copy, --per-corpus definitions (functions, classes, methods) are
drawn with a fixed seed from all those whose name is longer than two
characters (jedi does not look for shorter names outside their own file).
For each, jedi's `Script.get_references` on the definition's name, with
the copy as the project and first on the import path, gives the places that
mean it; its limit on the files it parses per search is lifted, so that it
reads every file of the copy that holds the name. quibra indexes the copy
and answers `Index.refs(name)` for the definition's name.

Counting rule. A reference location is (file, line, name). A location of
quibra counts for a definition when, among the definitions quibra resolved
the references at that location to, that definition has the highest weight
and no other has as high a one (a tie at the top counts against quibra,
unless both weigh 1: two sure references on one line). A location is right
when jedi lists it for the same definition. Precision is right locations
over quibra's locations, recall right locations over jedi's, both summed
over the sampled definitions.

Only the uses quibra's Python reader records are measured, told apart by
the syntax at the location (from the file's `ast`): calls (`f()`, `m.f()`,
`obj.f()`, and decorators, which call what they name), imported names and
type uses (annotations, base classes). Reads that call nothing (`key=f`,
`isinstance(x, C)`, `except E`) are counted as "other" and left out on both
sides. Two groups get their own figures:

- names: the uses of functions and classes, whether plain (`f()`), reached
  through their module (`events.f()`), imported or used as types;
- attributes: the calls of methods (`obj.method()`, `self.method()`,
  `Class.method()`), where quibra knows no receiver's type.
"""

from __future__ import annotations

import argparse
import ast
import importlib.util
import json
import random
import shutil
import sys
import sysconfig
import tempfile
import time
from collections import Counter, defaultdict
from collections.abc import Iterable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import jedi  # type: ignore[import-untyped]
import jedi.inference.references as jedi_references  # type: ignore[import-untyped]
import quibra

STDLIB = Path(sysconfig.get_paths()["stdlib"])
DEFAULT_PER_CORPUS = 100
# jedi does not search other files for names this short.
MIN_NAME_LENGTH = 3

GROUPS = ("names", "attributes")
KINDS = ("call", "import", "type")

Location = tuple[str, int, str]  # path in the corpus, line, name


@dataclass(frozen=True)
class Corpus:
    name: str
    why: str

    def source(self) -> Path:
        if self.name in ("email", "asyncio"):
            return STDLIB / self.name
        spec = importlib.util.find_spec(self.name)
        if spec is None or not spec.submodule_search_locations:
            raise SystemExit(f"refs: {self.name} is not installed (pip install -e '.[bench]')")
        return Path(next(iter(spec.submodule_search_locations)))


CORPORA = (
    Corpus("email", "relative and absolute imports between modules, module imports, a class hierarchy"),
    Corpus("asyncio", "re-exports through __init__, module-qualified calls, deep hierarchies with self calls"),
    Corpus("parso", "a package outside the standard library: absolute imports of subpackages, decorators"),
)


@dataclass(frozen=True)
class Definition:
    path: str  # in the corpus
    line: int  # of the `def` or `class`
    column: int  # of its name, in characters
    name: str
    qualname: str
    is_method: bool

    @property
    def group(self) -> str:
        return "attributes" if self.is_method else "names"


@dataclass
class Tally:
    """Locations of one group (or one kind within it): jedi's, quibra's, both."""

    jedi: int = 0
    quibra: int = 0
    both: int = 0

    def add(self, jedi_found: set[Location], quibra_found: set[Location]) -> None:
        self.jedi += len(jedi_found)
        self.quibra += len(quibra_found)
        self.both += len(jedi_found & quibra_found)

    def figures(self) -> dict[str, Any]:
        return {
            "jedi": self.jedi,
            "quibra": self.quibra,
            "both": self.both,
            "precision": round(self.both / self.quibra, 4) if self.quibra else None,
            "recall": round(self.both / self.jedi, 4) if self.jedi else None,
        }


@dataclass
class CorpusRun:
    corpus: Corpus
    definitions: int = 0
    tallies: dict[str, Tally] = field(default_factory=lambda: defaultdict(Tally))
    other: int = 0  # jedi's locations that are no measured use
    misses: list[tuple[str, Definition, Location]] = field(default_factory=list)
    seconds: dict[str, float] = field(default_factory=lambda: defaultdict(float))


def copy_corpus(source: Path, destination: Path) -> None:
    for path in sorted(source.rglob("*.py")):
        if "__pycache__" in path.parts:
            continue
        target = destination / path.relative_to(source)
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(path, target)


def _character_column(line_text: bytes, byte_column: int) -> int:
    return len(line_text[:byte_column].decode("utf-8", "replace"))


def read_definitions(root: Path) -> list[Definition]:
    """Every function, method and class of the tree, with the place of its name."""
    found = []
    for path in sorted(root.rglob("*.py")):
        source = path.read_bytes()
        lines = source.split(b"\n")
        tree = ast.parse(source)
        pending: list[tuple[ast.AST, tuple[str, ...], bool]] = [(tree, (), False)]
        while pending:
            node, scope, in_class = pending.pop()
            for child in ast.iter_child_nodes(node):
                if isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
                    text = lines[child.lineno - 1]
                    keyword = b"class" if isinstance(child, ast.ClassDef) else b"def"
                    at = text.find(keyword + b" ", child.col_offset)
                    column = text.find(child.name.encode(), at + len(keyword))
                    found.append(
                        Definition(
                            str(path.relative_to(root)),
                            child.lineno,
                            _character_column(text, column),
                            child.name,
                            ".".join((*scope, child.name)),
                            in_class and not isinstance(child, ast.ClassDef),
                        )
                    )
                    pending.append((child, (*scope, child.name), isinstance(child, ast.ClassDef)))
                else:
                    pending.append((child, scope, in_class))
    return found


def sample(definitions: list[Definition], count: int, seed: int) -> list[Definition]:
    eligible = [d for d in definitions if len(d.name) >= MIN_NAME_LENGTH]
    return sorted(random.Random(seed).sample(eligible, min(count, len(eligible))), key=lambda d: (d.path, d.line))


def _mark_type(uses: dict[tuple[int, str], set[str]], node: ast.expr) -> None:
    """The names an annotation or a base uses as types: of `mod.T`, T alone (mod is a module it reads)."""
    parts = list(ast.walk(node))
    owners = {id(part.value) for part in parts if isinstance(part, ast.Attribute)}
    for part in parts:
        if isinstance(part, ast.Name) and id(part) not in owners:
            uses[(part.lineno, part.id)].add("type")
        elif isinstance(part, ast.Attribute):
            uses[(part.end_lineno or part.lineno, part.attr)].add("type")


def syntax_of(source: bytes) -> dict[tuple[int, str], set[str]]:
    """(line, name) -> what the name does there: "call", "import", "type"."""
    uses: dict[tuple[int, str], set[str]] = defaultdict(set)
    for node in ast.walk(ast.parse(source)):
        called: list[ast.expr] = []
        if isinstance(node, ast.Call):
            called.append(node.func)
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            called += node.decorator_list
        for function in called:
            if isinstance(function, ast.Name):
                uses[(function.lineno, function.id)].add("call")
            elif isinstance(function, ast.Attribute):
                uses[(function.end_lineno or function.lineno, function.attr)].add("call")
        if isinstance(node, ast.ClassDef):
            for base in [*node.bases, *(keyword.value for keyword in node.keywords)]:
                _mark_type(uses, base)
        elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            arguments = node.args
            for argument in [*arguments.posonlyargs, *arguments.args, *arguments.kwonlyargs,
                             arguments.vararg, arguments.kwarg]:
                if argument is not None and argument.annotation is not None:
                    _mark_type(uses, argument.annotation)
            if node.returns is not None:
                _mark_type(uses, node.returns)
        elif isinstance(node, ast.AnnAssign):
            _mark_type(uses, node.annotation)
        elif isinstance(node, ast.ImportFrom):
            for alias in node.names:
                uses[(alias.lineno, alias.name)].add("import")
        elif isinstance(node, ast.Import):
            for alias in node.names:
                uses[(alias.lineno, alias.name.rpartition(".")[2])].add("import")
    return uses


class Syntax:
    """What each location's name does there, read once per file."""

    def __init__(self, root: Path):
        self.root = root
        self._files: dict[str, dict[tuple[int, str], set[str]]] = {}

    def kind(self, location: Location) -> str:
        path, line, name = location
        if path not in self._files:
            self._files[path] = syntax_of((self.root / path).read_bytes())
        found = self._files[path].get((line, name), set())
        return next((kind for kind in KINDS if kind in found), "other")


def jedi_locations(project: Any, root: Path, definition: Definition) -> set[Location]:
    script = jedi.Script(path=str(root / definition.path), project=project)
    found = set()
    for name in script.get_references(definition.line, definition.column, include_builtins=False):
        if name.module_path is None or name.line is None:
            continue
        try:
            path = str(Path(name.module_path).relative_to(root))
        except ValueError:
            continue
        if (path, name.line, name.column) == (definition.path, definition.line, definition.column):
            continue
        found.add((path, name.line, name.name))
    return found


def best_targets(references: Iterable[dict[str, Any]]) -> dict[tuple[str, int], set[str]]:
    """For each (path, line), the definitions quibra gives the highest weight there (see the counting rule)."""
    weights: dict[tuple[str, int], dict[str, float]] = defaultdict(dict)
    for entry in references:
        at = weights[(entry["path"], entry["line"])]
        at[entry["target"]] = max(at.get(entry["target"], 0.0), entry["weight"])
    best = {}
    for place, targets in weights.items():
        top = max(targets.values())
        leaders = {target for target, weight in targets.items() if weight == top}
        best[place] = leaders if len(leaders) == 1 or top >= 1.0 else set()
    return best


class QuibraSide:
    """quibra's answers on one corpus: one `refs` report per name."""

    def __init__(self, index: quibra.Index):
        self.index = index
        self._reports: dict[str, dict[str, Any]] = {}

    def locations(self, definition: Definition) -> set[Location]:
        report = self._reports.get(definition.name)
        if report is None:
            report = self.index.refs(definition.name, languages=["python"], refresh=False)
            self._reports[definition.name] = report
        ids = [
            entry["symbol_id"]
            for entry in report["definitions"]
            if (entry["path"], entry["line"]) == (definition.path, definition.line)
        ]
        if not ids:
            return set()
        return {
            (path, line, definition.name)
            for (path, line), leaders in best_targets(report["references"]).items()
            if ids[0] in leaders
        }


def run_corpus(corpus: Corpus, scratch: Path, count: int, seed: int, misses: int) -> CorpusRun:
    run = CorpusRun(corpus)
    holder = scratch / corpus.name
    root = holder / corpus.name
    copy_corpus(corpus.source(), root)
    chosen = sample(read_definitions(root), count, seed)
    run.definitions = len(chosen)
    started = time.perf_counter()
    index = quibra.Index(root, index_file=scratch / f"{corpus.name}.sqlite", jobs=1)
    index.refresh()
    run.seconds["quibra index"] = time.perf_counter() - started
    quibra_side = QuibraSide(index)
    project = jedi.Project(holder, sys_path=[str(holder), *sys.path[1:]], smart_sys_path=False)
    syntax = Syntax(root)
    for definition in chosen:
        started = time.perf_counter()
        from_jedi = jedi_locations(project, root, definition)
        run.seconds["jedi"] += time.perf_counter() - started
        started = time.perf_counter()
        from_quibra = quibra_side.locations(definition)
        run.seconds["quibra refs"] += time.perf_counter() - started
        kinds = {location: syntax.kind(location) for location in from_jedi | from_quibra}
        run.other += sum(1 for location in from_jedi if kinds[location] == "other")
        for kind in KINDS:
            if definition.is_method and kind != "call":
                continue
            jedi_kind = {location for location in from_jedi if kinds[location] == kind}
            quibra_kind = {location for location in from_quibra if kinds[location] == kind}
            run.tallies[definition.group].add(jedi_kind, quibra_kind)
            if not definition.is_method:
                run.tallies[f"names: {kind}"].add(jedi_kind, quibra_kind)
            if misses:
                run.misses += [("missed", definition, location) for location in sorted(jedi_kind - quibra_kind)]
                run.misses += [("wrong", definition, location) for location in sorted(quibra_kind - jedi_kind)]
    index.close()
    return run


ROWS = ("names", *(f"names: {kind}" for kind in KINDS), "attributes")


def summarize(runs: list[CorpusRun]) -> dict[str, Any]:
    total: dict[str, Tally] = defaultdict(Tally)
    corpora = {}
    for run in runs:
        for row, tally in run.tallies.items():
            summed = total[row]
            summed.jedi += tally.jedi
            summed.quibra += tally.quibra
            summed.both += tally.both
        corpora[run.corpus.name] = {
            "why": run.corpus.why,
            "definitions": run.definitions,
            "other_jedi_locations": run.other,
            "seconds": {name: round(value, 1) for name, value in run.seconds.items()},
            "figures": {row: run.tallies[row].figures() for row in ROWS},
        }
    return {
        "corpora": corpora,
        "total": {
            "definitions": sum(run.definitions for run in runs),
            "other_jedi_locations": sum(run.other for run in runs),
            "figures": {row: total[row].figures() for row in ROWS},
        },
    }


def _figure(value: float | None) -> str:
    return "-" if value is None else f"{value:.3f}"


def print_table(summary: dict[str, Any]) -> None:
    print(f"{'corpus':<10}{'group':<16}{'jedi':>6}{'quibra':>8}{'both':>6}{'precision':>11}{'recall':>8}")
    entries = [*summary["corpora"].items(), ("total", summary["total"])]
    for name, entry in entries:
        for row in ROWS:
            figures = entry["figures"][row]
            label = row.replace("names: ", "  ")
            print(
                f"{name if row == 'names' else '':<10}{label:<16}{figures['jedi']:>6}{figures['quibra']:>8}"
                f"{figures['both']:>6}{_figure(figures['precision']):>11}{_figure(figures['recall']):>8}"
            )
    total = summary["total"]
    print(
        f"{total['definitions']} definitions; {total['other_jedi_locations']} of jedi's locations are"
        " reads that call nothing, not measured"
    )


def print_misses(run: CorpusRun, count: int) -> None:
    tally = Counter(kind for kind, _, _ in run.misses)
    print(f"-- {run.corpus.name}: {tally['missed']} locations missed, {tally['wrong']} wrong --")
    for kind, definition, (path, line, _name) in run.misses[:count]:
        print(f"{kind:<7}{definition.path}:{definition.qualname} at {path}:{line}")


def main(argv: list[str] | None = None) -> int:
    names = [corpus.name for corpus in CORPORA]
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--corpus", action="append", choices=names, help="corpus to run (repeatable; default: all)")
    parser.add_argument("--per-corpus", type=int, default=DEFAULT_PER_CORPUS, help="definitions sampled per corpus")
    parser.add_argument("--seed", type=int, default=0, help="seed of the sample")
    parser.add_argument("--json", type=Path, help="also write the figures to this file as JSON")
    parser.add_argument("--show-misses", type=int, default=0, metavar="K", help="print K misses per corpus")
    args = parser.parse_args(argv)
    if args.per_corpus < 1:
        parser.error("--per-corpus must be at least 1")

    # Every file of the copy that holds the name is searched, not the first thirty.
    jedi_references._PARSED_FILE_LIMIT = 1_000_000
    runs = []
    with tempfile.TemporaryDirectory(prefix="quibra-refs-") as scratch:
        jedi.settings.cache_directory = str(Path(scratch) / "jedi-cache")
        for corpus in CORPORA:
            if args.corpus is None or corpus.name in args.corpus:
                runs.append(run_corpus(corpus, Path(scratch), args.per_corpus, args.seed, args.show_misses))
    print(f"Python {sys.version.split()[0]}, jedi {jedi.__version__}, seed {args.seed}")
    for run in runs:
        timing = ", ".join(f"{name} {value:.1f} s" for name, value in run.seconds.items())
        print(f"{run.corpus.name}: {run.corpus.why} ({timing})")
    print()
    summary = summarize(runs)
    print_table(summary)
    if args.show_misses > 0:
        for run in runs:
            print()
            print_misses(run, args.show_misses)
    if args.json is not None:
        report = {"python": sys.version.split()[0], "jedi": jedi.__version__, "seed": args.seed,
                  "per_corpus": args.per_corpus, **summary}
        try:
            args.json.write_text(json.dumps(report, indent=2) + "\n", encoding="utf-8")
        except OSError as error:
            print(f"refs: cannot write the figures to {args.json}: {error.strerror}", file=sys.stderr)
            return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
