"""Go: functions, methods (qualified by their receiver's type), struct and
interface types, and interface methods.

Decisions: `if`, `for`, each `case` of an expression, type or select switch
(not `default`), `&&` and `||`. Blocks: braces, and each switch or select
statement, whose cases hold statements without braces. A doc comment is the
run of comments directly above a declaration, without directives
(`//go:noinline`, `//line ...`).

Imports resolve through the `go.mod` files of the tree: an import path that
a module's path prefixes names a folder of that module (its `vendor` folder
first), and the edge goes to each non-test `.go` file of that folder. The
standard library's own `go.mod` says `module std`, and its packages are
imported by bare paths (`internal/poll`), so `std` prefixes every path.

References: calls (`f()`, `pkg.F()`, `s.m()` qualified by what precedes
the dot), every type name used (`pkg.T` qualified by its package), and
each imported package: the last element of its path, qualified by the path.
"""

from __future__ import annotations

import re
from collections import defaultdict
from collections.abc import Mapping
from pathlib import Path, PurePosixPath

import tree_sitter_go

from quibra.tree.files import open_tree_file
from quibra.tree.languages import syntax
from quibra.tree.languages.model import FileExtract
from quibra.tree.languages.syntax import Captures, Definition, DocStyle, Node

_QUERY = """
(function_declaration name: (identifier) @name parameters: (parameter_list) @params body: (block)? @body) @function
(method_declaration receiver: (parameter_list) @receiver name: (field_identifier) @name
  parameters: (parameter_list) @params body: (block)? @body) @method
(type_spec name: (type_identifier) @name type: (struct_type (field_declaration_list) @body)) @struct
(type_spec name: (type_identifier) @name type: (interface_type)) @interface
(method_elem name: (field_identifier) @name parameters: (parameter_list) @params) @method
[(if_statement) (for_statement) (expression_case) (type_case) (communication_case)] @branch
(binary_expression operator: ["&&" "||"]) @branch
[(block) (expression_switch_statement) (type_switch_statement) (select_statement)] @block
(import_spec path: (_) @import)
(call_expression function: (identifier) @ref.call)
(call_expression function: (selector_expression operand: (_) @ref.qualifier field: (field_identifier) @ref.call))
(type_identifier) @ref.type
(qualified_type package: (package_identifier) @ref.qualifier name: (type_identifier) @ref.type)
(type_spec name: (type_identifier) @ref.skip)
(type_alias name: (type_identifier) @ref.skip)
"""

# `//go:generate ...`, `//line file:1`, `//export name`: instructions to the toolchain, not prose.
_DIRECTIVE = re.compile(r"^//(line |extern |export |[a-z0-9]+:[a-z0-9])")
_RECEIVER_TYPE = re.compile(r"[\s*(]*([^\s*()\[]+)")


def _define(kind: str, captures: Captures, source: bytes) -> Definition | None:
    definition = syntax.plain_definition(kind, captures, source)
    if definition is None or "receiver" not in captures:
        return definition
    receiver = _receiver_type(captures["receiver"][0], source)
    if receiver:
        definition.qualifier = (receiver,)
    return definition


def _receiver_type(receiver: Node, source: bytes) -> str:
    """`Server` for a receiver `(s *Server)`, `(Server)` or `(s *Server[K, V])`."""
    for parameter in receiver.named_children:
        declared = parameter.child_by_field_name("type")
        if declared is not None:
            found = _RECEIVER_TYPE.match(syntax.text(declared, source))
            return found.group(1) if found else ""
    return ""


def _count_params(params: Node) -> int:
    """`(a, b int, c ...string)` declares three."""
    count = 0
    for declaration in params.named_children:
        if declaration.type in ("parameter_declaration", "variadic_parameter_declaration"):
            count += max(1, len(declaration.children_by_field_name("name")))
    return count


def _imports(path_literal: Node, source: bytes) -> list[object]:
    return [syntax.text(path_literal, source).strip('"`')]


def _import_references(path_literal: Node, source: bytes) -> list[syntax.NamedUse]:
    """`"net/http"` imports the package `http` of the path net/http."""
    path = syntax.text(path_literal, source).strip('"`')
    return [(path.rpartition("/")[2], path_literal, path)] if path else []


GRAMMAR = syntax.Grammar(
    name="go",
    language=syntax.load_language(tree_sitter_go.language),
    query_text=_QUERY,
    doc_style=DocStyle(is_doc=lambda comment: not _DIRECTIVE.match(comment)),
    wrappers=frozenset({"type_declaration"}),
    define=_define,
    count_params=_count_params,
    imports=_imports,
    import_references=_import_references,
)


def read(path: str, source: bytes) -> FileExtract:
    return syntax.read_tree(GRAMMAR, source)


_MODULE_LINE = re.compile(rb"^\s*module\s+\"?([^\s\"/]+(?:/[^\s\"]+)*)\"?", re.MULTILINE)


def _modules(root: Path, paths: frozenset[str]) -> dict[str, str]:
    """Module path -> its folder in the tree ("" for the root), from every go.mod."""
    modules: dict[str, str] = {}
    for path in sorted(paths):
        if PurePosixPath(path).name != "go.mod":
            continue
        found = open_tree_file(root, path)
        declared = _MODULE_LINE.search(found[0]) if found is not None else None
        if declared:
            folder = str(PurePosixPath(path).parent)
            modules.setdefault(declared.group(1).decode("utf-8", "replace"), "" if folder == "." else folder)
    return modules


def _join(folder: str, rest: str) -> str:
    return "/".join(part for part in (folder, rest) if part)


class _Packages:
    """The non-test .go files of each folder, and which folder an import path names."""

    def __init__(self, modules: dict[str, str], paths: frozenset[str]) -> None:
        self.files: dict[str, list[str]] = defaultdict(list)
        for path in paths:
            if path.endswith(".go") and not path.endswith("_test.go"):
                self.files[path.rpartition("/")[0]].append(path)
        # Longest module path first, so a nested module wins over its parent.
        self.modules = sorted(modules.items(), key=lambda item: -len(item[0]))
        self.module_folders = sorted(modules.values(), key=len, reverse=True)

    def module_folder_of(self, path: str) -> str | None:
        for folder in self.module_folders:
            if not folder or path.startswith(folder + "/"):
                return folder
        return None

    def folder_of(self, importer: str, import_path: str) -> str | None:
        home = self.module_folder_of(importer)
        if home is not None:
            vendored = _join(home, "vendor/" + import_path)
            if vendored in self.files:
                return vendored
        for module, folder in self.modules:
            if module == "std":
                rest = import_path
            elif import_path == module or import_path.startswith(module + "/"):
                rest = import_path[len(module) + 1 :]
            else:
                continue
            target = _join(folder, rest)
            if target in self.files:
                return target
        return None


def resolve(root: Path, files: Mapping[str, list[object]], paths: frozenset[str]) -> list[tuple[str, str]]:
    packages = _Packages(_modules(root, paths), paths)
    edges: list[tuple[str, str]] = []
    for importer in sorted(files):
        for import_path in files[importer]:
            if not isinstance(import_path, str):
                continue
            folder = packages.folder_of(importer, import_path)
            if folder is not None:
                edges.extend((importer, target) for target in sorted(packages.files[folder]))
    return edges
