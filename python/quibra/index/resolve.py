"""Which definitions each reference means: the rules, with the whole tree in view.

A reference names something (`open`, `self.close`, `http.Get`,
`de::Error`); what it means depends on what its language makes visible
where it stands. In order, the first rule that finds something decides:

- through `self`, `this`, `cls` or `super()`: a method of the enclosing
  class, else of its bases (by name, through up to four generations);
- a bare name: a definition of its own file (a method only where the
  language calls methods of the enclosing class without a receiver; in
  Python, one of its top level or of a function around the reference, the
  innermost first), then one of the files it imports (the import edges; for
  C and C++ also the source file beside each included header), then, in
  Python, one of the files those import (a package's `__init__.py` that
  re-exports its modules' names), then, in Go and Java where a folder is a
  package, one of its own folder;
- a name reached through a module, package or namespace (`os.path.join`,
  `http.Get`, `crate::io::read`, `import { f } from "./m"`): a top-level
  definition of an imported file whose name (or folder's name, the root
  folder's for a Python tree that is a package) is the qualifier's last
  part, or in Python of a file that one imports; else a
  member of a type of that name (`Config.load`, `Vec::new`); else, in
  JavaScript where an import can be renamed (`import * as ns`), a top-level
  definition of any imported file. (Python's reader records a renamed
  import's uses under the names it imports: `np.f()` is f through numpy.)

In Python, another module's definitions are those of its top level, and
only a method is reached through an object: `text.encode()` never means a
module's function `encode`, nor, as the name is one of str's methods, any
method of the tree unless the receiver is known (`self`, a class).

What no rule decides is a guess: a bare name may mean a definition of its
own folder or, when the name is rare, one anywhere in the tree; an
attribute reached through an unknown receiver (`conn.open()`) may mean a
method of that name only when the name is rare. A rare name has at most
RARE_DEFINITIONS definitions in the language (in Python, for an attribute,
at most that many methods: nothing else is reached so), so that all of them
fit in the MAX_TARGETS kept: `x.open()` is never linked to every `open` of
a tree.

A reference keeps at most MAX_TARGETS definitions, weighed by where they
are (same file > imported file > same folder > elsewhere) and summing to 1,
and counts the others it may mean; ties go by path, line and key, so that
a refresh resolves exactly as a fresh build does. Nothing here touches the
index: the writer reads what the rules need and stores what they give.
"""

from __future__ import annotations

import functools
import posixpath
import re
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass, field
from typing import NamedTuple

from quibra.tree.languages.model import CALLABLE_KINDS, CONTAINER_KINDS

MAX_TARGETS = 3
RARE_DEFINITIONS = 3

# Weights of the places a definition may be, relative to the reference.
SAME_FILE = 8.0
IMPORTED = 4.0
SAME_FOLDER = 2.0
ELSEWHERE = 1.0

# Languages whose names can meet: a C file calls what a C++ file defines
# with extern "C", TypeScript imports JavaScript.
FAMILIES = {
    "python": "python",
    "javascript": "ecmascript",
    "typescript": "ecmascript",
    "go": "go",
    "rust": "rust",
    "java": "java",
    "c": "c",
    "cpp": "c",
}
# Where a folder is a package, whose definitions its files see without an import.
_FOLDER_PACKAGES = frozenset({"go", "java"})
# Where a method calls the methods of its class without a receiver.
_IMPLICIT_RECEIVER = frozenset({"java", "c", "rust"})
# Where an import can bind a module under a name of the file's choosing that
# the reader cannot see through (Python's reader records `np.f` as numpy.f).
_RENAMED_IMPORTS = frozenset({"ecmascript"})
_SELF = frozenset({"self", "this", "cls", "Self", "super", "super()"})
_PATH_WORDS = frozenset({"crate", "self", "super", "Self"})
# Files that stand for their folder: a package's `__init__.py`, `index.js`, `mod.rs`.
_FOLDER_STEMS = frozenset({"__init__", "index", "mod", "lib", "main"})
_HEADER_SUFFIXES = frozenset({".h", ".hh", ".hpp", ".hxx"})
_SOURCE_SUFFIXES = (".c", ".cc", ".cpp", ".cxx")
_BASE_WORDS = frozenset(
    {"public", "private", "protected", "virtual", "extends", "implements", "class", "struct", "interface", "final",
     "abstract", "static", "object", "metaclass"}
)
_IDENTIFIER = re.compile(r"[A-Za-z_$][\w$]*")
# The methods of Python's builtin types: on an object of unknown type, a call
# of one of these names is as likely the builtin's as any class's of the tree.
_PYTHON_BUILTIN_METHODS = frozenset(
    name for kind in (object, str, bytes, bytearray, int, float, list, tuple, dict, set, frozenset) for name in dir(kind)
)
_MAX_GENERATIONS = 4


class Definition(NamedTuple):
    id: int
    file_id: int
    name: str
    qualname: str
    kind: str
    line: int
    key: str
    signature: str
    path: str
    family: str


class ScopeSymbol(NamedTuple):
    id: int
    qualname: str
    kind: str
    signature: str


@dataclass
class FileView:
    """What the rules need of the file a reference stands in."""

    id: int
    path: str
    family: str
    imported: frozenset[int]  # files it imports, by id
    # Python: the files each imported file imports, by the imported file's path
    # (`from pkg import f` finds the f that pkg/__init__.py imports).
    onward: dict[str, frozenset[int]] = field(default_factory=dict)
    # Python: the package the tree's root is, which an `__init__.py` at the root stands for.
    root_package: str = ""
    symbols: dict[int, ScopeSymbol] = field(default_factory=dict)  # by symbol id
    by_qualname: dict[str, ScopeSymbol] = field(default_factory=dict)

    @property
    def folder(self) -> str:
        return posixpath.dirname(self.path)

    @functools.cached_property
    def onward_files(self) -> frozenset[int]:
        """Python: every file that the files it imports import."""
        return frozenset().union(*self.onward.values())


class Unresolved(NamedTuple):
    name: str
    qualifier: str
    kind: str
    scope: int | None


Targets = tuple[list[tuple[int, float]], int]
Lookup = Callable[[str], list[Definition]]


def family_of(language: str | None) -> str:
    return FAMILIES.get(language or "", language or "")


def imported_files(
    edges: Iterable[int], file_paths: Mapping[int, str], ids_by_path: Mapping[str, int]
) -> frozenset[int]:
    """The files a file imports: its import edges' targets and, for an
    included header, the source file of the same name beside it."""
    found = set(edges)
    for target in list(found):
        path = file_paths.get(target, "")
        stem, suffix = posixpath.splitext(path)
        if suffix in _HEADER_SUFFIXES:
            found.update(ids_by_path[stem + other] for other in _SOURCE_SUFFIXES if stem + other in ids_by_path)
    return frozenset(found)


_folder = functools.lru_cache(maxsize=65536)(posixpath.dirname)


def _separator(qualname: str) -> str:
    return "::" if "::" in qualname else "."


@functools.lru_cache(maxsize=262144)
def _parent(qualname: str) -> str:
    separator = _separator(qualname)
    return qualname.rsplit(separator, 1)[0] if separator in qualname else ""


def _last_part(qualifier: str) -> str:
    """The last name of a qualifier: `os.path` -> `path`, `crate::io` -> `io`,
    `./util/m.js` -> `m`; "" when it is only `crate`, `self` or `super`."""
    parts = [part for part in re.split(r"::|\.|/|->", qualifier) if part]
    parts = [part for part in parts if part not in _PATH_WORDS]
    if not parts:
        return ""
    last = parts[-1]
    # An import source may carry its suffix: "./m.js".
    return last if "/" not in qualifier else posixpath.splitext(posixpath.basename(qualifier))[0] or last


def names_module(path: str, name: str) -> bool:
    """Whether the file at `path` is what `name` calls a module or package:
    its stem, or its folder's name (a Go package, a Python package's `__init__.py`)."""
    folder, base = posixpath.split(path)
    stem = posixpath.splitext(base)[0]
    return name == stem or name == posixpath.basename(folder)


@functools.lru_cache(maxsize=65536)
def _owner_name(qualname: str) -> str:
    """The last name of what encloses `qualname`: "Store" for "pkg.Store.save"."""
    parent = _parent(qualname)
    return parent.rsplit(_separator(parent), 1)[-1] if parent else ""


@functools.lru_cache(maxsize=65536)
def base_names(signature: str, family: str) -> tuple[str, ...]:
    """The names of the classes a class's declaration line derives from."""
    if family == "python":
        found = re.search(r"\((.*)\)", signature)
        if found is None:
            return ()
        bases = []
        for part in found.group(1).split(","):
            if "=" in part:
                continue
            words = _IDENTIFIER.findall(part)
            if words:
                bases.append(words[-1])
        return tuple(bases)
    found = re.search(r"(?:\bextends\b|\bimplements\b|(?<!:):(?!:))(.*)", signature)
    if found is None:
        return ()
    text = re.sub(r"<[^<>]*>", "", found.group(1)).split("{", 1)[0]
    words = []
    for part in re.split(r",|\bimplements\b|\bextends\b", text):
        names = [word for word in _IDENTIFIER.findall(part) if word not in _BASE_WORDS]
        if names:
            words.append(names[-1])
    return tuple(words)


def _member_of(qualname: str, class_name: str) -> bool:
    """Whether `qualname` is a member of a class named `class_name` (or qualified so)."""
    parent = _parent(qualname)
    return parent == class_name or parent.endswith((f".{class_name}", f"::{class_name}"))


def _weighed(candidates: list[tuple[float, Definition]]) -> Targets:
    """The best MAX_TARGETS candidates with weights summing to 1, and how many are left out."""
    ordered = sorted(candidates, key=lambda item: (-item[0], item[1].path, item[1].line, item[1].key))
    kept = ordered[:MAX_TARGETS]
    total = sum(weight for weight, _ in kept)
    return [(definition.id, round(weight / total, 4)) for weight, definition in kept], len(ordered) - len(kept)


class Resolver:
    """Resolves the references of files, given a way to find definitions by name."""

    def __init__(self, lookup: Lookup):
        self._lookup = lookup
        self._families: dict[tuple[str, str], list[Definition]] = {}
        self._lineages: dict[tuple[int, str, bool], list[str]] = {}

    def _definitions(self, name: str, family: str) -> list[Definition]:
        found = self._families.get((name, family))
        if found is None:
            found = [definition for definition in self._lookup(name) if definition.family == family]
            self._families[(name, family)] = found
        return found

    def _place(self, file: FileView, definition: Definition) -> float:
        if definition.file_id == file.id:
            return SAME_FILE
        if definition.file_id in file.imported:
            return IMPORTED
        if _folder(definition.path) == file.folder:
            return SAME_FOLDER
        return ELSEWHERE

    def _tiered(self, file: FileView, candidates: list[Definition]) -> Targets:
        return _weighed([(self._place(file, definition), definition) for definition in candidates])

    def _enclosing_class(self, file: FileView, scope: int | None) -> ScopeSymbol | None:
        symbol = file.symbols.get(scope) if scope is not None else None
        while symbol is not None:
            if symbol.kind in CONTAINER_KINDS:
                return symbol
            symbol = file.by_qualname.get(_parent(symbol.qualname))
        return None

    def _class_lineage(self, file: FileView, start: ScopeSymbol, with_own: bool) -> list[str]:
        """Names of `start` (with `with_own`) and its bases, nearest first."""
        remembered = self._lineages.get((file.id, start.qualname, with_own))
        if remembered is not None:
            return remembered
        lineage = [start.qualname] if with_own else []
        seen = {start.qualname}
        generation = list(base_names(start.signature, file.family))
        for _round in range(_MAX_GENERATIONS):
            following: list[str] = []
            for name in generation:
                if name in seen:
                    continue
                seen.add(name)
                lineage.append(name)
                for definition in self._definitions(name, file.family):
                    if definition.kind in CONTAINER_KINDS:
                        following.extend(base_names(definition.signature, file.family))
            generation = following
        self._lineages[(file.id, start.qualname, with_own)] = lineage
        return lineage

    def _through_self(self, file: FileView, reference: Unresolved, candidates: list[Definition]) -> Targets | None:
        owner = self._enclosing_class(file, reference.scope)
        if owner is None:
            return None
        with_own = reference.qualifier not in ("super", "super()")
        for class_name in self._class_lineage(file, owner, with_own):
            own = with_own and class_name == owner.qualname
            members = [
                definition
                for definition in candidates
                if _member_of(definition.qualname, class_name) and (definition.file_id == file.id or not own)
            ]
            if members:
                return self._tiered(file, members)
        return None

    def _bare(self, file: FileView, reference: Unresolved, candidates: list[Definition]) -> Targets:
        owner = self._enclosing_class(file, reference.scope) if file.family in _IMPLICIT_RECEIVER else None
        own_class = owner.qualname if owner is not None else None
        python = file.family == "python"
        scope = file.symbols.get(reference.scope) if python and reference.scope is not None else None

        def visible(definition: Definition) -> bool:
            if python:
                # A function's own definitions are seen from inside it only.
                parent = _parent(definition.qualname)
                inside = not parent or (scope is not None and f"{scope.qualname}.".startswith(f"{parent}."))
                return definition.kind != "method" and inside
            return definition.kind not in CALLABLE_KINDS or definition.kind == "function" or (
                own_class is not None and _parent(definition.qualname) == own_class
            )

        local = [d for d in candidates if d.file_id == file.id and visible(d)]
        if local and python:  # the innermost scope that defines the name hides the others
            innermost = max(len(_parent(d.qualname)) for d in local)
            local = [d for d in local if len(_parent(d.qualname)) == innermost]
        if local:
            return _weighed([(SAME_FILE, d) for d in local])
        # Another Python module's names are those of its top level.
        top = [d for d in candidates if d.kind != "method" and not (python and _parent(d.qualname))]
        imported = [d for d in top if d.file_id in file.imported]
        if imported:
            return _weighed([(IMPORTED, d) for d in imported])
        if python:
            reexported = [d for d in top if d.file_id in file.onward_files]
            if reexported:
                return _weighed([(IMPORTED, d) for d in reexported])
        folder = [d for d in top if _folder(d.path) == file.folder]
        if folder and file.family in _FOLDER_PACKAGES:
            return _weighed([(SAME_FOLDER, d) for d in folder])
        if len(top) <= RARE_DEFINITIONS:
            return self._tiered(file, top)
        return self._tiered(file, folder) if folder else ([], len(top))

    def _qualified(self, file: FileView, reference: Unresolved, candidates: list[Definition]) -> Targets:
        last = _last_part(reference.qualifier)
        if not last:  # `crate::f`, `self::f`, `super::f`: a path to a module of this crate
            return self._bare(file, reference._replace(qualifier=""), candidates)
        python = file.family == "python"

        def named(path: str) -> bool:
            return names_module(path, last) or (python and path == "__init__.py" and last == file.root_package)

        top = [d for d in candidates if d.kind != "method" and not (python and _parent(d.qualname))]
        modules = [d for d in top if d.file_id in file.imported and named(d.path)]
        if modules:
            return _weighed([(IMPORTED, d) for d in modules])
        if python:  # a name the module imports from another
            onward = frozenset().union(*(ids for path, ids in file.onward.items() if named(path)))
            reexported = [d for d in top if d.file_id in onward]
            if reexported:
                return _weighed([(IMPORTED, d) for d in reexported])
        members = [d for d in candidates if _owner_name(d.qualname) == last]
        if members:
            return self._tiered(file, members)
        if file.family in _RENAMED_IMPORTS and re.fullmatch(r"[A-Za-z_$][\w$]*", reference.qualifier):
            renamed = [d for d in top if d.file_id in file.imported]
            if renamed:
                return _weighed([(IMPORTED, d) for d in renamed])
        if reference.kind == "import":
            return [], len(candidates)
        return self._receiver(file, candidates)

    def _receiver(self, file: FileView, candidates: list[Definition]) -> Targets:
        """An attribute of an unknown receiver: only a rare name gets candidates."""
        if file.family == "python":
            # What a module defines at its top level is reached through the module alone.
            candidates = [d for d in candidates if d.kind == "method"]
            if candidates and candidates[0].name in _PYTHON_BUILTIN_METHODS:
                return [], len(candidates)  # `text.encode()`: most likely a str's
        if len(candidates) <= RARE_DEFINITIONS:
            return self._tiered(file, candidates)
        return [], len(candidates)

    def resolve(self, file: FileView, reference: Unresolved) -> Targets:
        """The definitions `reference` of `file` means, weighed, and how many others it may mean."""
        candidates = self._definitions(reference.name, file.family)
        if not candidates:
            return [], 0
        if file.family == "python" and reference.qualifier.startswith("super(") and reference.qualifier.endswith(")"):
            reference = reference._replace(qualifier="super()")  # `super(Class, self)`, as Python 2 wrote it
        if reference.qualifier in _SELF:
            found = self._through_self(file, reference, candidates)
            if found is not None:
                return found
            methods = [d for d in candidates if d.kind == "method"]
            return self._receiver(file, methods) if methods else ([], 0)
        if not reference.qualifier:
            return self._bare(file, reference, candidates)
        return self._qualified(file, reference, candidates)
