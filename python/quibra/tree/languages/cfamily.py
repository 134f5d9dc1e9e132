"""What C and C++ share: functions found through their declarators, the
comment block above a declaration as its documentation, and `#include`
resolution.

A function is a definition, or a prototype at file, namespace or class
level (a header's documented API is its prototypes); a local prototype
inside a function body is not. Decisions: `if`, the loops, each `case`
with a value (not `default`), `?:`, `&&` and `||` (C++ adds `catch` and
range `for`). Blocks: braces, which also hold a `switch` body. A doc
comment is the run of comments of any style directly above a declaration.

`#include "x.h"` resolves against the including file's folder, then the
tree's folders named `include` (nearest to the including file first), then
each folder above the including file (a project that builds with
`-I<its root>`); `#include <x.h>` against the `include` folders only, so
that a system header does not pick a same-named file of the tree by chance.

References: calls (`f()`, `s.f()` and `p->f()` qualified by the object as
written; macros called like functions are calls too), every type name used
but those that a struct, union or enum with a body or a typedef declares,
and each included header, by its path as written.
"""

from __future__ import annotations

import posixpath
import re
from collections.abc import Mapping
from pathlib import Path

import tree_sitter

from quibra.tree.languages import syntax
from quibra.tree.languages.syntax import Captures, Definition, DocStyle, Node

DECISIONS_AND_BLOCKS = """
[(if_statement) (for_statement) (while_statement) (do_statement) (conditional_expression)] @branch
(case_statement value: (_)) @branch
(binary_expression operator: ["&&" "||"]) @branch
(compound_statement) @block
(preproc_include path: (_) @import)
(call_expression function: [
  (identifier) @ref.call
  (field_expression argument: (_) @ref.qualifier field: (field_identifier) @ref.call)])
(type_identifier) @ref.type
[(struct_specifier name: (_) @ref.skip body: (_)) (union_specifier name: (_) @ref.skip body: (_))
 (enum_specifier name: (_) @ref.skip body: (_)) (type_definition declarator: (type_identifier) @ref.skip)]
"""

# Declarators that wrap a function's: `char *f(void)`, `int &g()`.
_DECLARATOR_WRAPPERS = frozenset({"pointer_declarator", "reference_declarator", "attributed_declarator"})
_FUNCTION_HOLDERS = frozenset({"function_definition", "declaration", "field_declaration"})
_TEMPLATE_ARGUMENTS = re.compile(r"<[^<>]*>")


def split_qualified(name: str) -> tuple[tuple[str, ...], str]:
    """`ns::Vec<T>::push` -> (("ns", "Vec"), "push"); `A::operator<` -> (("A",), "operator<")."""
    head, operator, tail = name.partition("operator")
    while _TEMPLATE_ARGUMENTS.search(head):
        head = _TEMPLATE_ARGUMENTS.sub("", head)
    parts = [part.strip() for part in head.split("::")]
    if operator:
        parts[-1] = parts[-1] + operator + tail
    return tuple(part for part in parts[:-1] if part), "".join(parts[-1].split())


def define(kind: str, captures: Captures, source: bytes) -> Definition | None:
    definition = syntax.plain_definition(kind, captures, source)
    if definition is None:
        return None
    if kind == "function":
        named = _name_after_macro(definition.node)
        if named is not None:
            definition.name_node, definition.name = named, syntax.text(named, source)
        holder = _function_holder(definition.node)
        if holder is None:
            return None
        definition.body = holder.child_by_field_name("body")
        definition.node = holder
    if "::" in definition.name or "<" in definition.name:
        definition.qualifier, definition.name = split_qualified(definition.name)
    return definition


def _name_after_macro(declarator: Node) -> Node | None:
    """The name of `static size_t ATTRIBUTE_MACRO name (...)`, which the grammar
    reads as a function named ATTRIBUTE_MACRO followed by an error that holds
    the real name."""
    parameters = declarator.child_by_field_name("parameters")
    before = parameters.prev_sibling if parameters is not None else None
    if before is None or before.type != "ERROR" or before.named_child_count != 1:
        return None
    named = before.named_children[0]
    return named if named.type == "identifier" else None


def _function_holder(declarator: Node) -> Node | None:
    """The definition or prototype that `declarator` declares a function for, if any."""
    node = declarator.parent
    while node is not None and node.type in _DECLARATOR_WRAPPERS:
        node = node.parent
    if node is None or node.type not in _FUNCTION_HOLDERS:
        return None  # a parameter, a typedef, a variable initialised by a call
    parent = node.parent
    if node.type != "function_definition" and parent is not None and parent.type == "compound_statement":
        return None
    return node


def count_params(params: Node) -> int:
    parameters = [child for child in params.named_children if child.type != "comment"]
    if len(parameters) == 1 and _is_void(parameters[0]):
        return 0
    return len(parameters)


def _is_void(parameter: Node) -> bool:
    """`f(void)` declares no parameter."""
    if parameter.type != "parameter_declaration" or parameter.child_by_field_name("declarator") is not None:
        return False
    declared_type = parameter.child_by_field_name("type")
    return declared_type is not None and declared_type.type == "primitive_type" and declared_type.text == b"void"


def imports(path_node: Node, source: bytes) -> list[object]:
    literal = syntax.text(path_node, source)
    if path_node.type == "system_lib_string":
        return [["system", literal[1:-1]]]
    if path_node.type == "string_literal":
        return [["quote", literal[1:-1]]]
    return []  # a macro: #include HEADER


def import_references(path_node: Node, source: bytes) -> list[syntax.NamedUse]:
    """`#include "x.h"` and `#include <x.h>` bring in the header x.h, named by its path as written."""
    if path_node.type not in ("system_lib_string", "string_literal"):
        return []
    header = syntax.text(path_node, source)[1:-1]
    return [(header, path_node, "")] if header else []


def grammar(
    name: str,
    language: tree_sitter.Language,
    query: str,
    wrappers: frozenset[str] = frozenset(),
    path_types: frozenset[str] = frozenset(),
) -> syntax.Grammar:
    return syntax.Grammar(
        name=name,
        language=language,
        query_text=query,
        separator="::" if name == "cpp" else ".",
        doc_style=DocStyle(),
        wrappers=wrappers,
        define=define,
        count_params=count_params,
        imports=imports,
        import_references=import_references,
        path_types=path_types,
    )


# Resolution


def _include_folders(paths: frozenset[str]) -> list[str]:
    folders = set()
    for path in paths:
        parts = path.split("/")[:-1]
        for depth, part in enumerate(parts):
            if part == "include":
                folders.add("/".join(parts[: depth + 1]))
    return sorted(folders)


def _shared_prefix(left: str, right: str) -> int:
    count = 0
    for a, b in zip(left.split("/"), right.split("/")):
        if a != b:
            break
        count += 1
    return count


class _Includes:
    """Finds the file an include names, as a compiler given every include
    folder of the tree would: for a quoted include, the including file's
    own folder first; then every include folder, those that share more of
    that folder's path first (then by name); then, for a quoted include,
    each folder above it, nearest first. The first that holds the file wins."""

    def __init__(self, paths: frozenset[str]):
        self.paths = paths
        self.include_folders = {folder: place for place, folder in enumerate(_include_folders(paths))}
        self.by_name: dict[str, list[str]] = {}
        for path in paths:
            self.by_name.setdefault(posixpath.basename(path), []).append(path)
        # The files of a folder include much the same headers: each search is made once.
        self._found: dict[tuple[str, str, str], str | None] = {}

    def _place(self, base: str, folder: str, kind: str) -> tuple[int, ...] | None:
        """Where `base` comes in the search of an include from `folder`; None where it is not searched."""
        if kind != "system" and base == folder:
            return (0,)
        if base in self.include_folders:
            return (1, -_shared_prefix(base, folder), self.include_folders[base])
        if kind != "system" and (not base or folder.startswith(f"{base}/")):
            return (2, -base.count("/") - 1 if base else 0)
        return None

    def find(self, folder: str, kind: str, header: str) -> str | None:
        """The file that an include of `kind` naming `header` in a file of `folder` finds; None when none does."""
        key = (folder, kind, header)
        if key not in self._found:
            self._found[key] = self._search(folder, kind, header)
        return self._found[key]

    def _search(self, folder: str, kind: str, header: str) -> str | None:
        tail = posixpath.normpath(header)
        if header.startswith("/") or tail.startswith(".."):
            return self._walk(folder, kind, header)
        # Only the folders that hold a file of that name can find it.
        best: tuple[tuple[int, ...], str] | None = None
        for path in self.by_name.get(posixpath.basename(tail), ()):
            if path == tail:
                base = ""
            elif path.endswith(tail) and path[-len(tail) - 1] == "/":
                base = path[: -len(tail) - 1]
            else:
                continue
            place = self._place(base, folder, kind)
            if place is not None and (best is None or place < best[0]):
                best = place, path
        return best[1] if best is not None else None

    def _walk(self, folder: str, kind: str, header: str) -> str | None:
        """An include that climbs out of its base: each base in turn."""
        bases = sorted(
            (place, base)
            for base in {folder, *self.include_folders, *_above(folder)}
            for place in [self._place(base, folder, kind)]
            if place is not None
        )
        for _place, base in bases:
            candidate = posixpath.normpath(posixpath.join(base, header))
            if candidate in self.paths:
                return candidate
        return None


def _above(folder: str) -> list[str]:
    above = []
    while folder:
        folder = posixpath.dirname(folder)
        above.append(folder)
    return above


def resolve(root: Path, files: Mapping[str, list[object]], paths: frozenset[str]) -> list[tuple[str, str]]:
    includes = _Includes(paths)
    edges = []
    for importer in sorted(files):
        folder = posixpath.dirname(importer)
        for entry in files[importer]:
            if not (isinstance(entry, list) and len(entry) == 2):
                continue
            kind, header = entry
            if not (isinstance(kind, str) and isinstance(header, str)) or not header:
                continue
            target = includes.find(folder, kind, header)
            if target is not None:
                edges.append((importer, target))
    return edges
