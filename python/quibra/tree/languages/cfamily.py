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


def _bases(importer: str, kind: str, include_folders: list[str]) -> list[str]:
    folder = posixpath.dirname(importer)
    nearest_first = sorted(include_folders, key=lambda include: -_shared_prefix(include, folder))
    if kind == "system":
        return nearest_first
    above = []
    while folder:
        folder = posixpath.dirname(folder)
        above.append(folder)
    return [posixpath.dirname(importer), *nearest_first, *above]


def resolve(root: Path, files: Mapping[str, list[object]], paths: frozenset[str]) -> list[tuple[str, str]]:
    include_folders = _include_folders(paths)
    edges = []
    for importer in sorted(files):
        for entry in files[importer]:
            if not (isinstance(entry, list) and len(entry) == 2):
                continue
            kind, header = entry
            if not (isinstance(kind, str) and isinstance(header, str)) or not header:
                continue
            for base in _bases(importer, kind, include_folders):
                candidate = posixpath.normpath(posixpath.join(base, header))
                if candidate in paths:
                    edges.append((importer, candidate))
                    break
    return edges
