"""Corpora of the quality benchmark: standard-library code that no one here wrote.

Each corpus is a package folder or a few modules of the running Python's
standard library, copied into a scratch folder, so the rankers index exactly
those files and never write beside the interpreter's own. From the copy come:

- the symbols every ranker ranks: functions, methods and classes, each with
  its qualname, the line of its `def` or `class` and the lines of its source
  (decorators included);
- the docstring queries: the first sentence of a function's docstring, with
  that function as the one right answer;
- a second copy with every docstring blanked, line numbers kept, which the
  docstring queries are run against so that no query meets its own text.

Test folders stay in the trees, as they do in any user's tree, and a ranker
that lets tests crowd out the code they test should show it; but they give no
queries, since a test's docstring describes a scenario, not the code a user
is looking for.
"""

from __future__ import annotations

import ast
import importlib.util
import io
import re
import shutil
import sys
import sysconfig
import tokenize
from collections import Counter
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import ClassVar

STDLIB = Path(sysconfig.get_paths()["stdlib"])

_DEFINITIONS = (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)
_Definition = ast.FunctionDef | ast.AsyncFunctionDef | ast.ClassDef

TEST_FOLDER_NAMES = frozenset({"test", "tests"})

# A docstring sentence gives a query when it has this many words.
MIN_QUERY_WORDS = 4
MAX_QUERY_WORDS = 30


@dataclass(frozen=True)
class Corpus:
    name: str
    members: tuple[str, ...]  # package folders or module files, relative to the standard library
    language: ClassVar[str] = "python"

    def origin(self) -> str:
        return f"the standard library of Python {sys.version.split()[0]} at {STDLIB}"

    def copy_to(self, destination: Path) -> None:
        copy_corpus(self, destination)

    def read_symbols(self, root: Path) -> list[Symbol]:
        return read_symbols(root)

    def write_blanked_copy(self, original: Path, destination: Path) -> None:
        write_blanked_copy(original, destination)

    def docstring_queries(self, root: Path) -> list[DocstringQuery]:
        return docstring_queries(root)

    def symbol_sources(self, root: Path, symbols: list[Symbol]) -> list[str]:
        return symbol_sources(root, symbols)

    def resolve_answer(self, answer: str, symbols: list[Symbol]) -> list[Symbol]:
        return resolve_answer(answer, symbols)


CORPORA = (
    Corpus("asyncio", ("asyncio",)),
    Corpus("email", ("email",)),
    Corpus("http", ("http",)),
    Corpus("logging", ("logging",)),
    Corpus("unittest", ("unittest",)),
    Corpus("files", ("shutil.py", "tempfile.py", "pathlib.py", "glob.py", "fnmatch.py", "filecmp.py")),
)


@dataclass(frozen=True)
class Symbol:
    path: str  # relative to the tree's root, "/" separators
    qualname: str  # enclosing classes and functions, then the name: "Message.get_payload"
    kind: str  # "function" (methods included) or "class"
    line: int  # the `def` or `class` line
    start_line: int  # the first decorator, or `line`
    end_line: int

    @property
    def location(self) -> tuple[str, int]:
        return (self.path, self.line)


@dataclass(frozen=True)
class DocstringQuery:
    text: str
    answer: Symbol


class CorpusError(Exception):
    """A corpus cannot be used as it is (a file that does not parse, a blanking that moved a line)."""


def copy_corpus(corpus: Corpus, destination: Path) -> None:
    """Copy the corpus's members from the standard library into `destination`."""
    destination.mkdir(parents=True)
    for member in corpus.members:
        source = STDLIB / member
        if not source.exists() and member.endswith(".py") and (STDLIB / member[:-3]).is_dir():
            # A module that became a package (pathlib in 3.13).
            member = member[:-3]
            source = STDLIB / member
        if source.is_dir():
            shutil.copytree(source, destination / member, ignore=shutil.ignore_patterns("__pycache__"))
        elif source.is_file():
            shutil.copyfile(source, destination / member)
        else:
            raise CorpusError(f"{member} is not in this Python's standard library ({STDLIB})")


def python_files(root: Path) -> list[str]:
    return sorted(path.relative_to(root).as_posix() for path in root.rglob("*.py") if path.is_file())


def is_test_path(path: str) -> bool:
    *folders, name = path.split("/")
    return any(folder in TEST_FOLDER_NAMES for folder in folders) or name.startswith("test_")


def read_source(file: Path) -> tuple[str, str]:
    """The text of a Python file as the parser reads it, and the encoding to write it back in.

    decode_source honours the coding cookie and turns every line ending into
    "\\n", so splitting at "\\n" (never `splitlines`, which also splits at form
    feeds and other separators) gives the lines that ast numbers.
    """
    raw = file.read_bytes()
    encoding, _ = tokenize.detect_encoding(io.BytesIO(raw).readline)
    return importlib.util.decode_source(raw), encoding


def parse(root: Path, path: str, source: str) -> ast.Module:
    try:
        return ast.parse(source, filename=path)
    except (SyntaxError, ValueError) as error:
        raise CorpusError(f"{root / path} is not valid Python for this interpreter: {error}") from error


def _definitions(node: ast.AST, scope: tuple[str, ...]) -> Iterator[tuple[_Definition, str]]:
    for child in ast.iter_child_nodes(node):
        if isinstance(child, _DEFINITIONS):
            inner = (*scope, child.name)
            yield child, ".".join(inner)
            yield from _definitions(child, inner)
        else:
            # Definitions under `if`, `try` or `with` belong to the enclosing scope.
            yield from _definitions(child, scope)


def _symbol(path: str, node: _Definition, qualname: str) -> Symbol:
    end_line = node.end_lineno if node.end_lineno is not None else node.lineno
    return Symbol(
        path=path,
        qualname=qualname,
        kind="class" if isinstance(node, ast.ClassDef) else "function",
        line=node.lineno,
        start_line=min([node.lineno, *(decorator.lineno for decorator in node.decorator_list)]),
        end_line=end_line,
    )


def module_symbols(path: str, module: ast.Module) -> list[Symbol]:
    return [_symbol(path, node, qualname) for node, qualname in _definitions(module, ())]


def read_symbols(root: Path) -> list[Symbol]:
    """Every function, method and class of the tree, file by file in source order."""
    symbols: list[Symbol] = []
    for path in python_files(root):
        source, _ = read_source(root / path)
        symbols.extend(module_symbols(path, parse(root, path, source)))
    return symbols


def symbol_sources(root: Path, symbols: list[Symbol]) -> list[str]:
    """The source lines of each symbol, decorators included, as one text per symbol."""
    lines_by_path: dict[str, list[str]] = {}
    texts = []
    for symbol in symbols:
        if symbol.path not in lines_by_path:
            lines_by_path[symbol.path] = read_source(root / symbol.path)[0].split("\n")
        texts.append("\n".join(lines_by_path[symbol.path][symbol.start_line - 1 : symbol.end_line]))
    return texts


# --- Blanking docstrings -------------------------------------------------------------------------


def _docstring_nodes(module: ast.Module) -> list[ast.Constant]:
    owners: list[ast.Module | _Definition] = [module]
    owners.extend(node for node in ast.walk(module) if isinstance(node, _DEFINITIONS))
    found = []
    for owner in owners:
        if ast.get_docstring(owner, clean=False) is not None:
            statement = owner.body[0]
            assert isinstance(statement, ast.Expr) and isinstance(statement.value, ast.Constant)
            found.append(statement.value)
    return found


def blank_docstrings(source: str) -> str:
    """`source` with each docstring replaced by an empty string literal spanning the same lines.

    A triple-quoted literal holding only the docstring's line breaks keeps
    every later line where it was and the file valid, whatever stood before
    or after the docstring on its first and last line.
    """
    lines = source.split("\n")
    nodes = _docstring_nodes(ast.parse(source))
    # Last first, so the positions of the ones still to come stay valid.
    for node in sorted(nodes, key=lambda node: (node.lineno, node.col_offset), reverse=True):
        assert node.end_lineno is not None and node.end_col_offset is not None
        # ast counts columns in UTF-8 bytes.
        before = lines[node.lineno - 1].encode()[: node.col_offset].decode()
        after = lines[node.end_lineno - 1].encode()[node.end_col_offset :].decode()
        blank = '"""' + "\n" * (node.end_lineno - node.lineno) + '"""'
        lines[node.lineno - 1 : node.end_lineno] = (before + blank + after).split("\n")
    return "\n".join(lines)


def _definition_lines(module: ast.Module) -> list[tuple[str, int, int | None]]:
    return [(qualname, node.lineno, node.end_lineno) for node, qualname in _definitions(module, ())]


def _check_blanked(root: Path, path: str, original: str, blanked: str) -> None:
    blanked_module = parse(root, path, blanked)
    if _definition_lines(blanked_module) != _definition_lines(ast.parse(original)):
        raise CorpusError(f"{root / path}: blanking its docstrings moved a definition")
    left = [node for node in _docstring_nodes(blanked_module) if str(node.value).strip()]
    if left:
        raise CorpusError(f"{root / path}: a docstring at line {left[0].lineno} survived blanking")


def write_blanked_copy(original: Path, destination: Path) -> None:
    """Copy the tree at `original` to `destination` with every docstring blanked.

    Each blanked file is parsed again and checked: every definition keeps its
    lines and no docstring keeps any text.
    """
    shutil.copytree(original, destination)
    for path in python_files(destination):
        source, encoding = read_source(destination / path)
        parse(original, path, source)
        blanked = blank_docstrings(source)
        _check_blanked(destination, path, source, blanked)
        (destination / path).write_bytes(blanked.encode(encoding))


# --- Docstring queries ---------------------------------------------------------------------------

# Abbreviations whose period never ends a sentence.
_ABBREVIATION = re.compile(r"\b(?:e\.g|i\.e|cf|vs)\.$", re.IGNORECASE)
_SENTENCE_END = re.compile(r"[.!?](?=\s|$)")
# A signature or a grammar rule rather than a sentence: "add_argument(dest, ...)",
# "attrtext = 1*(any non-ATTRIBUTE_ENDS character)".
NOT_PROSE = re.compile(r"[\w.\-]+\s*[(=]")


def first_sentence(docstring: str) -> str:
    """The first sentence of the first paragraph, on one line; the paragraph when it never ends one."""
    paragraph = " ".join(re.split(r"\n\s*\n", docstring.strip(), maxsplit=1)[0].split())
    for end in _SENTENCE_END.finditer(paragraph):
        if not _ABBREVIATION.search(paragraph[: end.end()]):
            return paragraph[: end.end()]
    return paragraph


def query_from_docstring(docstring: str) -> str | None:
    """The query a docstring gives, or None when its first sentence is too short, too long or not prose."""
    sentence = first_sentence(docstring)
    words = [word for word in sentence.split() if re.search(r"\w", word)]
    if not MIN_QUERY_WORDS <= len(words) <= MAX_QUERY_WORDS or NOT_PROSE.match(sentence):
        return None
    return sentence


def docstring_queries(root: Path) -> list[DocstringQuery]:
    """One query per function or method outside the tests whose docstring opens with a usable sentence.

    A sentence that two functions share (an interface and its implementation,
    say) has no single right answer, so it gives no query at all.
    """
    queries = []
    for path in python_files(root):
        if is_test_path(path):
            continue
        source, _ = read_source(root / path)
        for node, qualname in _definitions(parse(root, path, source), ()):
            docstring = None if isinstance(node, ast.ClassDef) else ast.get_docstring(node)
            query = query_from_docstring(docstring) if docstring else None
            if query is not None:
                queries.append(DocstringQuery(query, _symbol(path, node, qualname)))
    counts = Counter(query.text.lower() for query in queries)
    unique = [query for query in queries if counts[query.text.lower()] == 1]
    return sorted(unique, key=lambda query: query.answer.location)


# --- Navigational answers ------------------------------------------------------------------------


def resolve_answer(dotted: str, symbols: list[Symbol]) -> list[Symbol]:
    """The symbols a dotted answer ("logging.handlers.RotatingFileHandler.emit") names.

    The longest leading part that is a module of the tree picks the file, the
    rest is the qualname in it; a qualname defined twice (a property and its
    setter, a definition under `if`) names each of them. A package's name
    also covers what its modules define and it re-exports (`pathlib.Path`
    lives in `pathlib/_local.py` since Python 3.13).
    """
    by_path: dict[str, list[Symbol]] = {}
    for symbol in symbols:
        by_path.setdefault(symbol.path, []).append(symbol)
    parts = dotted.split(".")
    for split in range(len(parts) - 1, 0, -1):
        module = "/".join(parts[:split])
        qualname = ".".join(parts[split:])
        if f"{module}.py" in by_path:
            return [symbol for symbol in by_path[f"{module}.py"] if symbol.qualname == qualname]
        package = sorted(path for path in by_path if path.startswith(f"{module}/"))
        if package:
            named = [symbol for symbol in by_path.get(f"{module}/__init__.py", []) if symbol.qualname == qualname]
            return named or [symbol for path in package for symbol in by_path[path] if symbol.qualname == qualname]
    return []
