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

Before these, a call through a name whose type its function's signature
writes (a Go receiver, a parameter in Go, Java, C++, Rust or TypeScript) or
through a new object means a method of that type or of its bases; and in
C++ and Java a call without a receiver first means a member of the
enclosing class and its bases (or of the class an out-of-line definition
names), then a method a Java file imports statically. Overloads are told
apart by the number of arguments a call passes, static ones kept for a
call through the class's name; a C or C++ declaration gives way to the
definitions of its qualified name.

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
from typing import NamedTuple, TypeVar

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
# Where a path names a module by its file or folder, whether or not the file imports it
# (`adaptors::map_into` of a module that re-exports what a file below it defines).
_MODULE_FOLDERS = frozenset({"rust"})
# Where the class of a method is known by its name alone, and calls without a
# receiver reach the methods of the class and of its bases (C++ and Java).
_MEMBER_CALLS = frozenset({"java", "c"})
# Where functions overload by their parameters, which calls tell apart by their arguments.
_OVERLOADS = frozenset({"java", "c"})
# Where the type of a receiver, parameter or variable is written in its function's signature.
_TYPED_SIGNATURES = frozenset({"go", "java", "c", "rust", "ecmascript"})
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
# What only an import's module specifier looks like, no expression: "./m", "d3-array", "@scope/name".
_MODULE_SPECIFIER = re.compile(r"(?=.*[-/@])[\w$@./-]+")
# The methods of Python's builtin types: on an object of unknown type, a call
# of one of these names is as likely the builtin's as any class's of the tree.
_PYTHON_BUILTIN_METHODS = frozenset(
    name for kind in (object, str, bytes, bytearray, int, float, list, tuple, dict, set, frozenset) for name in dir(kind)
)
MAX_GENERATIONS = 4


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
    param_count: int = -1
    declaration: bool = False  # a function declared without its body


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
    # Members a Java file imports statically, as "Class.member" or "Class.*".
    static_imports: frozenset[str] = frozenset()

    @functools.cached_property
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
    arity: int = -1  # arguments a call passes; -1 unknown


Targets = tuple[list[tuple[int, float]], int]
Lookup = Callable[[str], list[Definition]]


def family_of(language: str | None) -> str:
    return FAMILIES.get(language or "", language or "")


def imported_files(
    edges: Iterable[int],
    file_paths: Mapping[int, str],
    ids_by_path: Mapping[str, int],
    barrels: Mapping[int, Iterable[int]] | None = None,
) -> frozenset[int]:
    """The files a file imports: its import edges' targets and, for an
    included header, the source file of the same name beside it; with
    `barrels` (the edges of every file), also what an imported index file
    imports, which it exports again (`export { default as range } from "./range.js"`)."""
    found = set(edges)
    for target in list(found):
        path = file_paths.get(target, "")
        stem, suffix = posixpath.splitext(path)
        if suffix in _HEADER_SUFFIXES:
            found.update(ids_by_path[stem + other] for other in _SOURCE_SUFFIXES if stem + other in ids_by_path)
        elif barrels is not None and is_barrel(path):
            found.update(barrels.get(target, ()))
    return frozenset(found)


def is_barrel(path: str) -> bool:
    """Whether a JavaScript or TypeScript file stands for its folder (`index.js`, `index.d.ts`)."""
    return posixpath.basename(path).split(".", 1)[0] == "index"


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
    return name in _module_names(path)


@functools.lru_cache(maxsize=262144)
def _module_names(path: str) -> tuple[str, str]:
    """(the stem, the folder's name) of the file at `path`."""
    folder, base = posixpath.split(path)
    stem = posixpath.splitext(base)[0]
    if base.endswith((".d.ts", ".d.mts", ".d.cts")):  # a declaration file stands for the module x.js
        stem = stem[:-2]
    return stem, posixpath.basename(folder)


@functools.lru_cache(maxsize=65536)
def owner_name(qualname: str) -> str:
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
    # A sealed class's `permits` names its subclasses, not its bases.
    text = re.split(r"\bpermits\b", re.sub(r"<[^<>]*>", "", found.group(1)).split("{", 1)[0])[0]
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



# Types as signatures write them.
_TYPE_NOISE = re.compile(
    r"&|\*|\.\.\.|'\w+|\b(?:const|final|volatile|mut|struct|class|enum|union|unsigned|signed|dyn|impl|typename)\b"
)
_TYPE_PATH = re.compile(r"([A-Za-z_$][\w$]*(?:(?:\.|::)[A-Za-z_$][\w$]*)*)\s*$")
_CONSTRUCTED = re.compile(r"new\s+([A-Za-z_$][\w$]*(?:(?:\.|::)[A-Za-z_$][\w$]*)*)\s*(?:<.*>)?\s*\(.*\)")
_GO_PARAMETER = re.compile(r"\s*([A-Za-z_]\w*)(?:\s+(\S.*))?$", re.DOTALL)
_COLON_PARAMETER = re.compile(
    r"\s*(?:(?:public|private|protected|readonly|override|mut)\s+)*([A-Za-z_$][\w$]*)\??\s*:\s*([^=]+)", re.DOTALL
)
_TYPED_PARAMETER = re.compile(r"(.*?)([A-Za-z_$][\w$]*)\s*(?:\[[^\]]*\]\s*)*(?:=.*)?$", re.DOTALL)
_OPENING = {"(": ")", "[": "]", "{": "}", "<": ">"}
_STATIC = re.compile(r"(?<![\w$])static\s")


def _parenthesized(text: str, start: int) -> str | None:
    """What the parentheses opening at `start` hold, or None if they do not close."""
    depth = 0
    for index in range(start, len(text)):
        character = text[index]
        if character == "(":
            depth += 1
        elif character == ")":
            depth -= 1
            if depth == 0:
                return text[start + 1 : index]
    return None


def _split_top(text: str) -> list[str]:
    """`text` cut at its commas that no bracket encloses (`->` opens none)."""
    parts: list[str] = []
    depth = 0
    current: list[str] = []
    previous = ""
    for character in text:
        if character in _OPENING:
            depth += 1
        elif character in ")]}" or (character == ">" and previous != "-"):
            depth = max(0, depth - 1)
        elif character == "," and depth == 0:
            parts.append("".join(current))
            current = []
            previous = character
            continue
        current.append(character)
        previous = character
    parts.append("".join(current))
    return [part.strip() for part in parts if part.strip()]


def _parameter_lists(signature: str, family: str, name: str) -> list[str]:
    """The parameter lists a function's signature writes: a Go method's receiver
    and parameters, the parameters of any other."""
    lists: list[str] = []
    if family == "go":
        receiver = re.match(r"\s*func\s*\(", signature)
        if receiver is not None:
            held = _parenthesized(signature, receiver.end() - 1)
            if held is not None:
                lists.append(held)
    at = signature.find(name)
    while at >= 0:
        end = at + len(name)
        before, after = signature[at - 1 : at], signature[end : end + 1]
        if not _is_word_character(before) and not _is_word_character(after):
            start = _after_type_parameters(signature, end)
            if start < len(signature) and signature[start] == "(":
                held = _parenthesized(signature, start)
                if held is not None:
                    lists.append(held)
                break
        at = signature.find(name, end)
    return lists


def _is_word_character(character: str) -> bool:
    return bool(character) and (character.isalnum() or character in "_$")


def _after_type_parameters(text: str, index: int) -> int:
    """Where `text` goes on past the blanks and the type parameters (`<T: Fn(u8) -> u8>`, `[K, V]`) at `index`."""
    while index < len(text) and text[index] == " ":
        index += 1
    if index < len(text) and text[index] in "<[":
        depth = 0
        while index < len(text):
            character = text[index]
            if character in "<[":
                depth += 1
            elif character in ">]" and text[index - 1] != "-":
                depth -= 1
                if depth == 0:
                    index += 1
                    break
            index += 1
        while index < len(text) and text[index] == " ":
            index += 1
    return index


def _type_named(written: str) -> tuple[str, str] | None:
    """(qualifier, name) of the type a declaration writes: `*url.URL` -> ("url", "URL"),
    `const FilePath&` -> ("", "FilePath"), `Collection<?>` -> ("", "Collection")."""
    text = written.strip()
    if text.startswith(("[]", "map[", "func", "chan", "(", "[")):
        return None
    while True:
        shorter = re.sub(r"<[^<>]*>|\[[^\[\]]*\]", "", text)
        if shorter == text:
            break
        text = shorter
    text = _TYPE_NOISE.sub(" ", text)
    found = _TYPE_PATH.search(text)
    if found is None:
        return None
    return _split_path(found.group(1))


@functools.lru_cache(maxsize=65536)
def parameter_type(signature: str, variable: str, family: str, name: str) -> tuple[str, str] | None:
    """The type that the signature of the function `name` gives its receiver or
    parameter `variable`, as (qualifier, type name); None if it names none."""
    for held in _parameter_lists(signature, family, name):
        pending: list[str] = []  # Go: `a, b T` gives both names the type T
        for part in _split_top(held):
            written: str | None = None
            if family == "go":
                go = _GO_PARAMETER.match(part)
                if go is None:
                    continue
                pending.append(go.group(1))
                if go.group(2) is None:
                    continue
                names, pending, written = pending, [], go.group(2)
            elif family in ("rust", "ecmascript"):
                colon = _COLON_PARAMETER.match(part)
                if colon is None:
                    continue
                names, written = [colon.group(1)], colon.group(2)
            else:
                typed = _TYPED_PARAMETER.match(part)
                if typed is None or not typed.group(1).strip():
                    continue
                names, written = [typed.group(2)], typed.group(1)
            if variable in names:
                return _type_named(written)
    return None


def constructed_type(qualifier: str) -> tuple[str, str] | None:
    """The type of a receiver that is a new object: `new SemVer(a, b)` -> ("", "SemVer")."""
    found = _CONSTRUCTED.fullmatch(qualifier)
    if found is None:
        return None
    return _split_path(found.group(1))


def _split_path(path: str) -> tuple[str, str]:
    """A type's path as (what qualifies it, its name): `url.URL` -> ("url", "URL"), `Server` -> ("", "Server")."""
    qualifier, _, name = path.rpartition("::" if "::" in path else ".")
    return qualifier, name


def _defined(weighed: list[tuple[float, Definition]], candidates: list[Definition]) -> list[tuple[float, Definition]]:
    """C and C++: a function declared without its body stands for the definitions
    of its qualified name where the tree has them (a header's prototype for the
    source file's function); a static function is no header's. The weight of
    each declaration goes to its definitions."""
    bodies: dict[str, list[Definition]] = {}
    for definition in candidates:
        if not definition.declaration and not definition.signature.startswith("static "):
            bodies.setdefault(definition.qualname, []).append(definition)
    merged: dict[int, tuple[float, Definition]] = {}
    for weight, definition in weighed:
        found = bodies.get(definition.qualname) if definition.declaration else None
        for target in found or [definition]:
            share = weight / len(found) if found else weight
            held = merged.get(target.id)
            merged[target.id] = ((held[0] if held else 0.0) + share, target)
    return list(merged.values())


def fitting_overloads(candidates: list[Definition], arity: int, through: str) -> list[Definition]:
    """Of the functions that share a qualified name (overloads), those whose
    parameters take `arity` arguments (when known), and of those the static ones
    when the call goes through their class's name (`through`), where any of
    them does; all others stay."""
    groups: dict[str, list[Definition]] = {}
    for definition in candidates:
        groups.setdefault(definition.qualname, []).append(definition)
    kept: list[Definition] = []
    for qualname, group in groups.items():
        fitting = [definition for definition in group if arity < 0 or definition.param_count == arity] or group
        if through and owner_name(qualname) == through:
            fitting = [definition for definition in fitting if _STATIC.search(definition.signature)] or fitting
        kept.extend(fitting)
    return kept if len(kept) < len(candidates) else candidates


def _tail(qualname: str) -> str:
    """What follows the last "." or "::" of `qualname`: a member of a class
    named `C` or `x.C` has a parent whose tail is C's."""
    return qualname[max(qualname.rfind(".") + 1, qualname.rfind("::") + 2 if "::" in qualname else 0) :]


# The fewest definitions of one name that are grouped (see `_Grouped`);
# fewer are looked through whole, which costs no more.
GROUPED_FROM = 16


_Key = TypeVar("_Key")


def _by(definitions: list[Definition], key: Callable[[Definition], _Key]) -> dict[_Key, list[Definition]]:
    """`definitions` grouped by `key`, each group in their order."""
    groups: dict[_Key, list[Definition]] = {}
    for definition in definitions:
        groups.setdefault(key(definition), []).append(definition)
    return groups


class _Grouped:
    """The definitions of one name in one family, grouped by what the rules
    pick them by: their class, their file, their module's names. A name
    defined in many places (a tree that holds a library many times over)
    would otherwise be looked through whole for each of its references.
    Each group is made when first asked for, and keeps the definitions' order."""

    def __init__(self, candidates: list[Definition], python: bool):
        self.candidates = candidates
        self.python = python

    @functools.cached_property
    def top(self) -> list[Definition]:
        """The definitions at the top of their files (another Python module's names are those of its top level)."""
        return [d for d in self.candidates if d.kind != "method" and not (self.python and _parent(d.qualname))]

    @functools.cached_property
    def methods(self) -> list[Definition]:
        return [d for d in self.candidates if d.kind == "method"]

    @functools.cached_property
    def _by_tail(self) -> dict[str, list[Definition]]:
        return _by(self.candidates, lambda d: _tail(_parent(d.qualname)))

    @functools.cached_property
    def _by_owner(self) -> dict[str, list[Definition]]:
        return _by(self.candidates, lambda d: owner_name(d.qualname))

    @functools.cached_property
    def _by_file(self) -> dict[int, list[Definition]]:
        return _by(self.candidates, lambda d: d.file_id)

    @functools.cached_property
    def _top_by_file(self) -> dict[int, list[Definition]]:
        return _by(self.top, lambda d: d.file_id)

    @functools.cached_property
    def _top_by_folder(self) -> dict[str, list[Definition]]:
        return _by(self.top, lambda d: _folder(d.path))

    @functools.cached_property
    def _top_by_module(self) -> dict[str, list[Definition]]:
        groups: dict[str, list[Definition]] = {}
        for definition in self.top:
            for module in dict.fromkeys(_module_names(definition.path)):
                groups.setdefault(module, []).append(definition)
        return groups

    def members(self, class_name: str) -> list[Definition]:
        """The members of a class named `class_name` (or qualified so)."""
        return [d for d in self._by_tail.get(_tail(class_name), ()) if _member_of(d.qualname, class_name)]

    def owned_by(self, owner: str) -> list[Definition]:
        """The definitions whose `owner_name` is `owner`."""
        return self._by_owner.get(owner, [])

    def in_file(self, file_id: int) -> list[Definition]:
        return self._by_file.get(file_id, [])

    def top_in(self, files: frozenset[int]) -> list[Definition]:
        """The top-level definitions that stand in `files`, in no set order (the
        rules weigh them by place and name, `_weighed`)."""
        if len(files) * 4 >= len(self.top):
            return [d for d in self.top if d.file_id in files]
        return [d for file_id in files for d in self._top_by_file.get(file_id, ())]

    def top_named(self, name: str) -> list[Definition]:
        """The top-level definitions of files that `name` calls a module (`names_module`)."""
        return self._top_by_module.get(name, [])

    def top_in_folder(self, folder: str) -> list[Definition]:
        return self._top_by_folder.get(folder, [])


class _Scanned(_Grouped):
    """A few definitions, looked through whole: grouping them would cost more."""

    def members(self, class_name: str) -> list[Definition]:
        return [d for d in self.candidates if _member_of(d.qualname, class_name)]

    def owned_by(self, owner: str) -> list[Definition]:
        return [d for d in self.candidates if owner_name(d.qualname) == owner]

    def in_file(self, file_id: int) -> list[Definition]:
        return [d for d in self.candidates if d.file_id == file_id]

    def top_in(self, files: frozenset[int]) -> list[Definition]:
        return [d for d in self.top if d.file_id in files]

    def top_named(self, name: str) -> list[Definition]:
        return [d for d in self.top if names_module(d.path, name)]

    def top_in_folder(self, folder: str) -> list[Definition]:
        return [d for d in self.top if _folder(d.path) == folder]


class Resolver:
    """Resolves the references of files, given a way to find definitions by name."""

    def __init__(self, lookup: Lookup):
        self._lookup = lookup
        self._families: dict[tuple[str, str], list[Definition]] = {}
        self._lineages: dict[tuple[int, str, bool], list[str]] = {}
        self._grouped: dict[tuple[str, str], _Grouped] = {}

    def _groups(self, candidates: list[Definition], family: str) -> _Grouped:
        """`candidates` grouped: once for all of a name's definitions in a
        family, when there are many; a subset of them (the overloads a call
        fits) is looked through whole."""
        python = family == "python"
        if len(candidates) < GROUPED_FROM:
            return _Scanned(candidates, python)
        key = (candidates[0].name, family)
        if self._families.get(key) is not candidates:
            return _Scanned(candidates, python)
        found = self._grouped.get(key)
        if found is None:
            found = self._grouped[key] = _Grouped(candidates, python)
        return found

    def _definitions(self, name: str, family: str) -> list[Definition]:
        found = self._families.get((name, family))
        if found is None:
            found = [definition for definition in self._lookup(name) if definition.family == family]
            self._families[(name, family)] = found
        return found

    def _refined(self, file: FileView, candidates: list[Definition], found: Targets) -> Targets:
        """What the rules found, with C's declarations traded for their definitions."""
        targets, others = found
        if file.family != "c" or not targets:
            return found
        by_id = {definition.id: definition for definition in candidates}
        chosen = [(weight, by_id[target]) for target, weight in targets]
        if not any(definition.declaration for _weight, definition in chosen):
            return found
        return _weighed(_defined(chosen, candidates))[0], others

    def _owner_lineages(self, file: FileView, scope: int | None) -> list[list[str]]:
        """The classes whose members a call without a receiver reaches from `scope`,
        innermost first, each with its bases: the classes around it, and the class
        an out-of-line definition (`FilePath::Concat`) is qualified by."""
        lineages: list[list[str]] = []
        symbol = file.symbols.get(scope) if scope is not None else None
        while symbol is not None:
            parent = _parent(symbol.qualname)
            if symbol.kind in CONTAINER_KINDS:
                lineages.append(self._class_lineage(file, symbol, True))
            elif parent and parent not in file.by_qualname:
                owner = parent.rsplit(_separator(parent), 1)[-1]
                declared = [
                    definition
                    for definition in self._definitions(owner, file.family)
                    if definition.kind in CONTAINER_KINDS and definition.qualname == parent
                ]
                if declared:
                    first = declared[0]
                    lineages.append(
                        self._class_lineage(file, ScopeSymbol(first.id, first.qualname, first.kind, first.signature), True)
                    )
                else:
                    lineages.append([parent])
            symbol = file.by_qualname.get(parent)
        return lineages

    def _class_members(self, file: FileView, reference: Unresolved, candidates: list[Definition]) -> Targets | None:
        """A call without a receiver in C++ or Java: a member of the enclosing class
        or of its bases, then of a class around it; a method a Java file imports statically."""
        if file.family not in _MEMBER_CALLS or reference.kind != "call":
            return None
        groups = self._groups(candidates, file.family)
        for lineage in self._owner_lineages(file, reference.scope):
            for class_name in lineage:
                members = [
                    definition
                    for definition in groups.members(class_name)
                    if definition.name != owner_name(definition.qualname)
                ]
                if members:
                    return self._tiered(file, members)
        if file.static_imports:
            imported = [
                definition
                for definition in candidates
                if f"{owner_name(definition.qualname)}.{definition.name}" in file.static_imports
                or f"{owner_name(definition.qualname)}.*" in file.static_imports
            ]
            if imported:
                return _weighed([(IMPORTED, definition) for definition in imported])
        return None

    def _declared_type(self, file: FileView, scope: int | None, variable: str) -> tuple[str, str] | None:
        """The type the signature of a function around `scope` gives `variable`."""
        symbol = file.symbols.get(scope) if scope is not None else None
        while symbol is not None:
            if symbol.kind in CALLABLE_KINDS and variable in symbol.signature:
                name = symbol.qualname.rsplit(_separator(symbol.qualname), 1)[-1]
                found = parameter_type(symbol.signature, variable, file.family, name)
                if found is not None:
                    return found
            symbol = file.by_qualname.get(_parent(symbol.qualname))
        return None

    def _through_typed_name(self, file: FileView, reference: Unresolved, candidates: list[Definition]) -> Targets | None:
        """A call through a receiver, parameter or new object whose type is written:
        `srv.Serve()` in `func (srv *Server) ...`, `u.String()` for `u *url.URL`,
        `new SemVer(a).compare(b)`: a method of that type, or of its bases."""
        if file.family not in _TYPED_SIGNATURES or reference.kind != "call" or not reference.qualifier:
            return None
        typed = constructed_type(reference.qualifier)
        if typed is None:
            if reference.qualifier in _SELF or not _IDENTIFIER.fullmatch(reference.qualifier):
                return None
            typed = self._declared_type(file, reference.scope, reference.qualifier)
        if typed is None:
            return None
        package, type_name = typed
        groups = self._groups(candidates, file.family)
        for class_name in self._type_lineage(type_name, file.family):
            members = groups.members(class_name)
            if package:
                last = _last_part(package)
                within = [definition for definition in members if names_module(definition.path, last)]
                members = within or members
            if members:
                return self._tiered(file, members)
        return None

    def _type_lineage(self, type_name: str, family: str) -> list[str]:
        """`type_name` and the names its declarations derive from, nearest first."""
        lineage = [type_name]
        for _round in range(MAX_GENERATIONS):
            following = [
                base
                for name in lineage
                for definition in self._definitions(name, family)
                if definition.kind in CONTAINER_KINDS
                for base in base_names(definition.signature, family)
                if base not in lineage
            ]
            if not following:
                break
            lineage.extend(dict.fromkeys(following))
        return lineage

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
        for _round in range(MAX_GENERATIONS):
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
        groups = self._groups(candidates, file.family)
        for class_name in self._class_lineage(file, owner, with_own):
            own = with_own and class_name == owner.qualname
            members = [
                definition for definition in groups.members(class_name) if definition.file_id == file.id or not own
            ]
            if members:
                return self._tiered(file, members)
        return None

    def _bare(self, file: FileView, reference: Unresolved, candidates: list[Definition]) -> Targets:
        members = self._class_members(file, reference, candidates)
        if members is not None:
            return members
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

        groups = self._groups(candidates, file.family)
        local = [d for d in groups.in_file(file.id) if visible(d)]
        if local and python:  # the innermost scope that defines the name hides the others
            innermost = max(len(_parent(d.qualname)) for d in local)
            local = [d for d in local if len(_parent(d.qualname)) == innermost]
        if local:
            return _weighed([(SAME_FILE, d) for d in local])
        top = groups.top
        imported = groups.top_in(file.imported)
        if imported:
            return _weighed([(IMPORTED, d) for d in imported])
        if python:
            reexported = groups.top_in(file.onward_files)
            if reexported:
                return _weighed([(IMPORTED, d) for d in reexported])
        folder = groups.top_in_folder(file.folder)
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

        groups = self._groups(candidates, file.family)
        modules = [d for d in groups.top_named(last) if d.file_id in file.imported]
        if python and last == file.root_package:  # the root's `__init__.py` stands for the tree's package
            modules += [d for d in groups.top_in(file.imported) if d.path == "__init__.py" and d not in modules]
        if modules:
            return _weighed([(IMPORTED, d) for d in modules])
        if file.family in _MODULE_FOLDERS:
            within = groups.top_named(last)
            if within:
                return self._tiered(file, within)
        if python:  # a name the module imports from another
            onward = frozenset().union(*(ids for path, ids in file.onward.items() if named(path)))
            reexported = groups.top_in(onward)
            if reexported:
                return _weighed([(IMPORTED, d) for d in reexported])
        members = groups.owned_by(last)
        if members:
            return self._tiered(file, members)
        if file.family == "ecmascript" and _MODULE_SPECIFIER.fullmatch(reference.qualifier):
            # A name a renamed import brought in, through its module's specifier.
            exported = [d for d in groups.top_in(file.imported) if not _parent(d.qualname)]
            if exported:
                return _weighed([(IMPORTED, d) for d in exported])
        if file.family in _RENAMED_IMPORTS and re.fullmatch(r"[A-Za-z_$][\w$]*", reference.qualifier):
            renamed = groups.top_in(file.imported)
            if renamed:
                return _weighed([(IMPORTED, d) for d in renamed])
        if reference.kind == "import":
            # What an import brings in is defined at the top of a file it leads to.
            brought = groups.top_in(file.imported)
            return _weighed([(IMPORTED, d) for d in brought]) if brought else ([], len(candidates))
        return self._receiver(file, candidates)

    def _receiver(self, file: FileView, candidates: list[Definition]) -> Targets:
        """An attribute of an unknown receiver: only a rare name gets candidates."""
        if file.family == "python":
            # What a module defines at its top level is reached through the module alone.
            candidates = self._groups(candidates, file.family).methods
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
        fitting = candidates
        if file.family in _OVERLOADS and reference.kind == "call":
            through = _last_part(reference.qualifier) if reference.qualifier not in _SELF else ""
            fitting = fitting_overloads(candidates, reference.arity, through)
        return self._refined(file, candidates, self._by_rules(file, reference, fitting))

    def _by_rules(self, file: FileView, reference: Unresolved, candidates: list[Definition]) -> Targets:
        typed = self._through_typed_name(file, reference, candidates)
        if typed is not None:
            return typed
        if reference.qualifier in _SELF:
            found = self._through_self(file, reference, candidates)
            if found is not None:
                return found
            methods = [d for d in candidates if d.kind == "method"]
            return self._receiver(file, methods) if methods else ([], 0)
        if not reference.qualifier:
            return self._bare(file, reference, candidates)
        return self._qualified(file, reference, candidates)
