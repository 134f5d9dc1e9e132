"""Rust: functions, methods (in `impl` and `trait` blocks, qualified by the
implementing type: `VersionReq::parse` also for `impl Display for
VersionReq`), structs and unions, enums and traits. `mod name { }` qualifies
what it holds.

Decisions: `if` and `if let`, `while` and `while let`, `for`, the arms of a
`match` beyond the first (n arms are n - 1 choices), `&&` and `||`. The `?`
operator is not counted: it is how Rust spells error propagation, and
counting it would rate idiomatic code as branchy. Blocks: braces; a `match`
nests through its arms' braces. A doc comment is the run of outer doc
comments (`///`, `/** */`) directly above an item, attributes between them
included; inner doc comments (`//!`) document a module, which is no symbol,
and are left out.

Imports: `mod name;` declares the file `name.rs` or `name/mod.rs` in the
declaring module's folder, and `use crate::`, `super::` and `self::` paths
lead to the file of the longest module prefix of the path that exists, as
do paths that start with the name of another crate of the tree (the
`[package]` name of a Cargo.toml beside a `src/lib.rs`, `-` read as `_`). A
file that no `mod` declares is the root of a crate (lib.rs, main.rs, each
binary, test or example).

References: calls (`f()`, `a::b::f()` and `x.f()` qualified by their path
or receiver, also with a turbofish), every type name used (`de::Error`
qualified by its path) but the names that items and type parameters
declare, and each name a `use` brings in, qualified by its path (`use
a::b::{c, d}`: c and d through a::b; a glob is the name `*`). Inside a
macro invocation, whose arguments are tokens to the grammar, a name
directly followed by parentheses is taken for a call, qualified by the one
token before a `.` or `::` in front of it (`y.z(1)`: z through y).

Macros: the items written inside a macro call at the level of items (`cfg_if!
{ ... }`, `declare_error_trait! { pub trait Error ... }`) and in the templates
of `macro_rules!` are read as Rust where they are items (see `_macro_body`),
and then count as if they stood there; an item that a template names by a
metavariable (`struct $name`) is no symbol, and its members stand under
`$name`. Items that a macro builds from its arguments are not seen.
"""

from __future__ import annotations

import re
from collections import deque
from collections.abc import Mapping
from pathlib import Path, PurePosixPath

import tree_sitter
import tree_sitter_rust

from quibra.tree.files import open_tree_file
from quibra.tree.languages import syntax
from quibra.tree.languages.model import FileExtract
from quibra.tree.languages.syntax import Captures, Definition, DocStyle, Node

_QUERY = """
(function_item name: (identifier) @name parameters: (parameters) @params body: (block) @body) @function
(function_signature_item name: (identifier) @name parameters: (parameters) @params) @method
(struct_item name: (type_identifier) @name body: (_)? @body) @struct
(union_item name: (type_identifier) @name body: (_)? @body) @struct
(enum_item name: (type_identifier) @name body: (enum_variant_list) @body) @enum
(trait_item name: (type_identifier) @name body: (declaration_list) @body) @trait
(impl_item type: (_) @name body: (declaration_list) @body) @impl
(mod_item name: (identifier) @name body: (declaration_list) @body) @scope
[(if_expression) (while_expression) (for_expression) (match_arm)] @branch
(match_expression) @multiway
(binary_expression operator: ["&&" "||"]) @branch
(block) @block
(mod_item !body) @import
(use_declaration) @import
(call_expression function: [
  (identifier) @ref.call
  (field_expression value: (_) @ref.qualifier field: (field_identifier) @ref.call)
  (scoped_identifier path: (_) @ref.qualifier name: (identifier) @ref.call)
  (generic_function function: [
    (identifier) @ref.call
    (field_expression value: (_) @ref.qualifier field: (field_identifier) @ref.call)
    (scoped_identifier path: (_) @ref.qualifier name: (identifier) @ref.call)])])
(type_identifier) @ref.type
(scoped_type_identifier path: (_) @ref.qualifier name: (type_identifier) @ref.type)
[(source_file (macro_invocation (token_tree) @embedded))
 (source_file (expression_statement (macro_invocation (token_tree) @embedded)))
 (declaration_list (macro_invocation (token_tree) @embedded))
 (source_file (macro_definition (macro_rule right: (token_tree) @embedded)))
 (declaration_list (macro_definition (macro_rule right: (token_tree) @embedded)))]
(token_tree (identifier) @ref.call . (token_tree . "("))
(token_tree (_) @ref.qualifier . ["." "::"] . (identifier) @ref.call . (token_tree . "("))
[(struct_item name: (_) @ref.skip) (union_item name: (_) @ref.skip) (enum_item name: (_) @ref.skip)
 (trait_item name: (_) @ref.skip) (type_item name: (_) @ref.skip) (type_parameter name: (_) @ref.skip)
 (associated_type name: (_) @ref.skip)]
"""

_WORD = re.compile(r"[A-Za-z_]\w*")
_BYTES_WORD = re.compile(rb"[A-Za-z_]\w*")


def _is_outer_doc(comment: str) -> bool:
    if comment.startswith("///"):
        return not comment.startswith("////")
    return comment.startswith("/**") and not comment.startswith("/***") and comment != "/**/"


def _define(kind: str, captures: Captures, source: bytes) -> Definition | None:
    definition = syntax.plain_definition(kind, captures, source)
    if definition is None:
        return None
    name_start = definition.name_node.start_byte
    if kind == "impl":
        # `impl<T> fmt::Display for &'a VersionReq<T>` implements for VersionReq.
        head = source[name_start : definition.name_node.end_byte].split(b"<", 1)[0]
        words = list(_BYTES_WORD.finditer(head))
        if words:
            definition.name = words[-1].group().decode("utf-8", "replace")
            name_start += words[-1].start()
    if source[name_start - 1 : name_start] == b"$":
        # Named by a metavariable of a macro's template (its `$` is no part of
        # what was read): which name it stands for is known where the macro
        # is used. A function of that name is left out; a type holds its
        # members under `$name`, as an `impl` does, with no symbol of its own.
        if kind in ("function", "method"):
            return None
        definition.kind, definition.name = "impl", "$" + definition.name
    return definition


def _count_params(params: Node) -> int:
    return sum(
        1 for child in params.named_children if child.type in ("parameter", "self_parameter", "variadic_parameter")
    )


def _inline_modules(node: Node, source: bytes) -> list[str]:
    """Names of the `mod name { }` blocks around `node`, outermost first."""
    names: list[str] = []
    parent = node.parent
    while parent is not None:
        if parent.type == "mod_item":
            name = parent.child_by_field_name("name")
            if name is not None:
                names.insert(0, syntax.text(name, source))
        parent = parent.parent
    return names


def _join(prefix: str, path: str) -> str:
    return f"{prefix}::{path}" if prefix and path else prefix or path


def _used_names(tree: Node | None, prefix: str, source: bytes) -> list[syntax.NamedUse]:
    """Every name a `use` tree brings in, with the path before it: `a::{b, c::D as E}` is
    b through a, and D through a::c."""
    if tree is None:
        return []
    kind = tree.type
    if kind == "scoped_use_list":
        path = tree.child_by_field_name("path")
        inner = _join(prefix, _path_text(path, source)) if path is not None else prefix
        return _used_names(tree.child_by_field_name("list"), inner, source)
    if kind == "use_list":
        return [use for item in tree.named_children for use in _used_names(item, prefix, source)]
    if kind == "use_as_clause":
        return _used_names(tree.child_by_field_name("path"), prefix, source)
    if kind == "use_wildcard":
        path = tree.named_children[0] if tree.named_child_count else None
        inner = _join(prefix, _path_text(path, source)) if path is not None else prefix
        return [("*", tree, inner)]
    if kind == "scoped_identifier":
        path, name = tree.child_by_field_name("path"), tree.child_by_field_name("name")
        if name is None:
            return []
        qualifier = _join(prefix, _path_text(path, source)) if path is not None else prefix
        return [(syntax.text(name, source), name, qualifier)]
    if kind in ("identifier", "crate", "self", "super"):
        return [(syntax.text(tree, source), tree, prefix)]
    return []


def _path_text(path: Node, source: bytes) -> str:
    return "".join(syntax.text(path, source).split())


def _import_references(node: Node, source: bytes) -> list[syntax.NamedUse]:
    if node.type != "use_declaration":
        return []
    try:
        return _used_names(node.child_by_field_name("argument"), "", source)
    except RecursionError:
        return []


def _imports(node: Node, source: bytes) -> list[object]:
    inline = _inline_modules(node, source)
    if node.type == "mod_item":
        name = node.child_by_field_name("name")
        return [["mod", syntax.text(name, source), inline]] if name is not None else []
    # The paths a `use` names, from the same walk that gives its names: a
    # glob names its module, anything else the module path and the name.
    uses = _import_references(node, source)
    paths = [qualifier if name == "*" else _join(qualifier, name) for name, _node, qualifier in uses]
    return [["use", path, inline] for path in paths]


# Macros. A macro's body is tokens to the grammar; where it holds items (a
# `macro_rules!` template, or a call of a macro that takes items and gives
# them back, with or without more: `cfg_if!`, `declare_error_trait! { pub
# trait Error ... }`), it is read again as Rust, bytes and lines kept, and
# kept when every part of it is an item. A body that is not so has its
# `{ }` groups tried one by one (the branches of `cfg_if!`). In a template,
# the `$` of a metavariable and the `$(`, `)sep*` around a repetition are
# left out of the reading: `impl<$($T: Clone),*> Foo for ($($T,)*)` is read as
# `impl<T: Clone> Foo for (T,)`.

_ITEMS = frozenset(
    {
        "function_item", "function_signature_item", "struct_item", "union_item", "enum_item", "trait_item",
        "impl_item", "mod_item", "type_item", "const_item", "static_item", "use_declaration",
        "extern_crate_declaration", "foreign_mod_item", "macro_invocation", "macro_definition",
        "associated_type", "attribute_item", "inner_attribute_item", "line_comment", "block_comment",
        "empty_statement",
    }
)
# A body that spells none of these defines no symbol: it is not read again.
_DEFINING_WORD = re.compile(rb"\b(?:fn|struct|union|enum|trait|impl|mod)\b")
_LANGUAGE = syntax.load_language(tree_sitter_rust.language)
_TEMPLATE_MARKS = tree_sitter.Query(_LANGUAGE, "(metavariable) @variable (token_repetition) @repetition")


def _macro_body(node: Node, source: bytes) -> list[tree_sitter.Range]:
    """The inside of a macro's token tree, without the marks of a template; none
    where it cannot define a symbol."""
    children = node.children
    if len(children) < 2:
        return []
    opening, closing = children[0], children[-1]
    if not _DEFINING_WORD.search(source, opening.end_byte, closing.start_byte):
        return []
    # (start byte, start point, end byte, end point) of each span left out.
    left_out: list[tuple[int, tree_sitter.Point, int, tree_sitter.Point]] = []
    for capture, marks in tree_sitter.QueryCursor(_TEMPLATE_MARKS).captures(node).items():
        for mark in marks:
            if capture == "variable":
                dollar_end = tree_sitter.Point(mark.start_point.row, mark.start_point.column + 1)
                left_out.append((mark.start_byte, mark.start_point, mark.start_byte + 1, dollar_end))
                continue
            parts = mark.children
            ends = [part for part in parts if part.type == ")"]
            if len(parts) < 2 or not ends:
                continue
            left_out.append((mark.start_byte, mark.start_point, parts[1].end_byte, parts[1].end_point))
            left_out.append((ends[-1].start_byte, ends[-1].start_point, mark.end_byte, mark.end_point))
    ranges = []
    start_byte, start_point = opening.end_byte, opening.end_point
    for span_start, span_start_point, span_end, span_end_point in sorted(left_out, key=lambda span: span[0]):
        if span_start > start_byte:
            ranges.append(tree_sitter.Range(start_point, span_start_point, start_byte, span_start))
        if span_end > start_byte:
            start_byte, start_point = span_end, span_end_point
    if closing.start_byte > start_byte:
        ranges.append(tree_sitter.Range(start_point, closing.start_point, start_byte, closing.start_byte))
    return ranges


def _only_items(root: Node) -> bool:
    return not root.has_error and all(_is_item(child) for child in root.named_children)


def _is_item(node: Node) -> bool:
    # A macro called at the top level with parentheses, `m!(...);`, is an expression statement.
    if node.type == "expression_statement":
        return node.named_child_count == 1 and node.named_children[0].type == "macro_invocation"
    return node.type in _ITEMS


def _brace_groups(node: Node) -> list[Node]:
    return [child for child in node.named_children if child.type == "token_tree" and child.children[0].type == "{"]


GRAMMAR = syntax.Grammar(
    name="rust",
    language=_LANGUAGE,
    query_text=_QUERY,
    separator="::",
    doc_style=DocStyle(is_doc=_is_outer_doc),
    attributes=frozenset({"attribute_item"}),
    comment_types=frozenset({"line_comment", "block_comment"}),
    define=_define,
    count_params=_count_params,
    imports=_imports,
    import_references=_import_references,
    embedded_ranges=_macro_body,
    embedded_accepts=_only_items,
    embedded_parts=_brace_groups,
    placeholder_mark=b"$",
)


def read(path: str, source: bytes) -> FileExtract:
    return syntax.read_tree(GRAMMAR, source)


# Resolution


def _entries(imports: list[object]) -> list[tuple[str, str, list[str]]]:
    """[kind, path, inline modules] entries as `read` records them, malformed ones left out."""
    entries = []
    for entry in imports:
        if isinstance(entry, list) and len(entry) == 3:
            kind, path, inline = entry
            if isinstance(kind, str) and isinstance(path, str) and isinstance(inline, list):
                entries.append((kind, path, [name for name in inline if isinstance(name, str)]))
    return entries


def _module_folder(path: str) -> PurePosixPath:
    """Where the files of the modules that `path` declares live."""
    pure = PurePosixPath(path)
    if pure.name in ("lib.rs", "main.rs", "mod.rs"):
        return pure.parent
    return pure.parent / pure.stem


def _declared_file(declarer: str, inline: list[str], name: str, paths: frozenset[str]) -> str | None:
    # A crate root other than lib.rs or main.rs (tests/it.rs, examples/demo.rs)
    # declares its modules beside itself: looked up there when the module
    # folder has none.
    for base in (_module_folder(declarer), PurePosixPath(declarer).parent):
        folder = base.joinpath(*inline)
        for candidate in (folder / f"{name}.rs", folder / name / "mod.rs"):
            if str(candidate) in paths:
                return str(candidate)
    return None


_PACKAGE_NAME = re.compile(rb"^\[package\][^\[]*?^\s*name\s*=\s*[\"']([A-Za-z0-9_-]+)[\"']", re.MULTILINE | re.DOTALL)


def _library_crates(root: Path, paths: frozenset[str]) -> dict[str, str]:
    """Crate name (as paths write it) -> the root file of its library, from the tree's Cargo.toml files."""
    crates: dict[str, str] = {}
    for path in sorted(path for path in paths if path.rpartition("/")[2] == "Cargo.toml"):
        manifest = PurePosixPath(path)
        library = str(manifest.parent / "src" / "lib.rs") if manifest.parent != PurePosixPath(".") else "src/lib.rs"
        if manifest.name != "Cargo.toml" or library not in paths:
            continue
        found = open_tree_file(root, path)
        named = _PACKAGE_NAME.search(found[0]) if found is not None else None
        if named:
            crates.setdefault(named.group(1).decode("ascii").replace("-", "_"), library)
    return crates


def resolve(root: Path, files: Mapping[str, list[object]], paths: frozenset[str]) -> list[tuple[str, str]]:
    crates = _library_crates(root, paths)
    entries = {path: _entries(files[path]) for path in files}
    edges: list[tuple[str, str]] = []
    children: dict[str, list[tuple[list[str], str]]] = {}  # declarer -> [(module path below it, child file)]
    declared: set[str] = set()
    for path in sorted(entries):
        for kind, name, inline in entries[path]:
            if kind != "mod":
                continue
            child = _declared_file(path, inline, name, paths)
            if child is not None and child != path:
                edges.append((path, child))
                children.setdefault(path, []).append(([*inline, name], child))
                declared.add(child)
    module_of = _module_paths(sorted(set(entries) - declared), children)
    file_of = {(crate, tuple(module)): path for path, (crate, module) in module_of.items()}
    for path in sorted(entries):
        if path not in module_of:
            continue
        crate, module = module_of[path]
        for kind, use_path, inline in entries[path]:
            if kind == "use":
                target = _use_target(use_path, [*module, *inline], crate, file_of, crates)
                if target is not None:
                    edges.append((path, target))
    return edges


def _module_paths(
    crate_roots: list[str], children: dict[str, list[tuple[list[str], str]]]
) -> dict[str, tuple[str, list[str]]]:
    """Each file reached from a crate root by `mod` declarations: (its crate root, its module path)."""
    module_of: dict[str, tuple[str, list[str]]] = {}
    pending: deque[tuple[str, str, list[str]]] = deque((crate_root, crate_root, []) for crate_root in crate_roots)
    while pending:
        path, crate, module = pending.popleft()
        if path in module_of:
            continue
        module_of[path] = (crate, module)
        for below, child in children.get(path, []):
            pending.append((child, crate, [*module, *below]))
    return module_of


def _use_target(
    use_path: str,
    current: list[str],
    crate: str,
    file_of: dict[tuple[str, tuple[str, ...]], str],
    crates: Mapping[str, str],
) -> str | None:
    parts = [part for part in use_path.split("::") if part]
    if not parts:
        return None
    absolute: list[str]
    if parts[0] == "crate":
        absolute, rest = [], parts[1:]
    elif parts[0] in crates and crates[parts[0]] != crate:
        crate, absolute, rest = crates[parts[0]], [], parts[1:]
    elif parts[0] in ("self", "super"):
        absolute = list(current)
        rest = parts
        while rest and rest[0] in ("self", "super"):
            if rest[0] == "super":
                if not absolute:
                    return None
                absolute.pop()
            rest = rest[1:]
    else:
        return None
    full = absolute + rest
    for length in range(len(full), -1, -1):
        target = file_of.get((crate, tuple(full[:length])))
        if target is not None:
            return target
    return None
