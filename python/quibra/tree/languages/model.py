"""The one symbol model that every language's reader fills in.

A reader turns the bytes of one source file into a `FileExtract`: the
symbols it defines (functions, methods, classes, structs, interfaces,
traits, enums) and its imports, in a form of the language's own that its
resolver later turns into edges between files of the tree. Everything here
is plain data, so it crosses process boundaries (worker processes, a Dask
cluster) by pickling.
"""

from __future__ import annotations

from dataclasses import dataclass, field

# Rough cost of text in a model's context window: about four characters a token.
CHARACTERS_PER_TOKEN = 4

# Kinds that the hotspot scorer treats as code that runs; the others are
# types, which hold members that are symbols of their own.
CALLABLE_KINDS = frozenset({"function", "method"})
CONTAINER_KINDS = frozenset({"class", "struct", "interface", "trait", "enum"})


@dataclass(frozen=True, slots=True)
class Symbol:
    """One definition in a file.

    Lines are 1-based and inclusive. `start_line` is where a reader of the
    code would start: the first decorator, attribute or doc comment that
    belongs to the definition; `line` is the line of the definition itself.
    `depth` counts the symbols that enclose this one (0 at the top level),
    which is how an outline indents it.
    """

    name: str  # as written: "ListenAndServe"
    qualname: str  # with its enclosing scopes: "Server.ListenAndServe", "VersionReq::parse"
    kind: str  # "function", "method", "class", "struct", "interface", "trait" or "enum"
    line: int
    start_line: int
    end_line: int
    depth: int
    param_count: int
    cyclomatic: int  # 1 plus the decision points of its own body
    max_nesting: int  # deepest block level of its own body: 0 for straight-line code
    signature: str  # the declaration's head, on one line
    docstring: str  # its documentation: a docstring or the doc comment above it
    # A function declared without its body: a C prototype, an interface's or
    # a trait's method, a TypeScript signature.
    declaration: bool = False


# What a reference does with the name it uses.
REFERENCE_KINDS = ("call", "type", "import", "attribute", "other")


@dataclass(frozen=True, slots=True)
class Reference:
    """One use of a name in a file, as the reader saw it; which definitions
    it refers to is decided later, with the whole tree in view.

    `qualifier` is what the name was reached through, as written: "" for a
    bare name (`open(...)`), the receiver or module path otherwise (`self`
    in `self.close()`, `os.path` in `os.path.join(...)`, `de` in
    `de::Error`, `http` in `http.Get`); a name or module that an import
    renamed may be written out as what it imports (Python's `np.sum` is sum
    through numpy). `scope` is the index in the file's
    `symbols` of the innermost symbol the use lies in, -1 at file level.
    `arity` is how many arguments a call passes, -1 where it is no call or
    the reader cannot tell.
    """

    name: str
    line: int
    kind: str  # one of REFERENCE_KINDS
    qualifier: str
    scope: int
    arity: int = -1


@dataclass(slots=True)
class FileExtract:
    """What one file defines, imports and uses.

    `imports` is JSON-compatible data whose shape belongs to the file's
    language: only that language's resolver reads it.
    """

    symbols: list[Symbol] = field(default_factory=list)
    imports: list[object] = field(default_factory=list)
    references: list[Reference] = field(default_factory=list)


class SkipFile(Exception):
    """The file is not worth indexing (generated, minified, binary, not
    parseable); the message says why, in a few words."""


def tokens_of_characters(count: int) -> int:
    """What `count` characters of text cost in a model's context: one token
    per CHARACTERS_PER_TOKEN of them, begun or whole, and never less than one."""
    return max(1, -(-count // CHARACTERS_PER_TOKEN))
