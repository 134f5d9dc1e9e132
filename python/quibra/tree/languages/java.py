"""Java: classes, interfaces, enums, records and annotation types, their
methods and constructors; a class nested in another is `Outer.Inner`.

Decisions: `if`, the loops, each `case` label (not `default`), `catch`,
`?:`, `&&` and `||`. Blocks: braces, and a `switch` body. A doc comment is
the Javadoc block (`/** */`) directly above a declaration; annotations sit
inside the declaration and are part of it.

Imports: a class is known by its file's declared package and its file
name (`package com.x;` in Foo.java is com.x.Foo), whatever source root
(src/main/java, src/test/java, ...) holds it. A single-type import leads
to its class's file (or to the outer class of a nested one, and the same
for static imports); an on-demand import `com.x.*`, and the file's own
package, lead to each class of that package whose name the file mentions.
"""

from __future__ import annotations

import re
from collections import defaultdict
from collections.abc import Mapping
from pathlib import Path, PurePosixPath

import tree_sitter_java

from quibra.tree.languages import syntax
from quibra.tree.languages.model import FileExtract
from quibra.tree.languages.syntax import DocStyle, Node

_QUERY = """
(class_declaration name: (identifier) @name body: (class_body) @body) @class
(record_declaration name: (identifier) @name body: (class_body) @body) @class
(interface_declaration name: (identifier) @name body: (interface_body) @body) @interface
(annotation_type_declaration name: (identifier) @name body: (_) @body) @interface
(enum_declaration name: (identifier) @name body: (enum_body) @body) @enum
(method_declaration name: (identifier) @name parameters: (formal_parameters) @params body: (block)? @body) @method
(constructor_declaration name: (identifier) @name parameters: (formal_parameters) @params
  body: (constructor_body) @body) @method
(compact_constructor_declaration name: (identifier) @name body: (block) @body) @method
[(if_statement) (for_statement) (enhanced_for_statement) (while_statement) (do_statement) (catch_clause)
 (ternary_expression)] @branch
(switch_label (_)) @branch
(binary_expression operator: ["&&" "||"]) @branch
[(block) (constructor_body) (switch_block)] @block
(package_declaration) @import
(import_declaration) @import
(method_invocation object: (_) @ref.qualifier name: (identifier) @ref.call)
(method_invocation !object name: (identifier) @ref.call)
(object_creation_expression type: [
  (type_identifier) @ref.call
  (scoped_type_identifier (type_identifier) @ref.call.q .)
  (generic_type [(type_identifier) @ref.call (scoped_type_identifier (type_identifier) @ref.call.q .)])])
(type_identifier) @ref.type
(scoped_type_identifier (type_identifier) @ref.type.q .)
(type_parameter (type_identifier) @ref.skip)
"""

# Words that may name a class: how a file mentions the classes of its own package.
_CLASS_NAME = re.compile(rb"\b[A-Z][A-Za-z0-9_$]*")


def _count_params(params: Node) -> int:
    return sum(1 for child in params.named_children if child.type in ("formal_parameter", "spread_parameter"))


def _imports(node: Node, source: bytes) -> list[object]:
    words = syntax.text(node, source).removesuffix(";").split()
    if not words:
        return []
    if words[0] == "package":
        return [["package", "".join(words[1:])]]
    is_static = len(words) > 1 and words[1] == "static"
    name = "".join(words[2:] if is_static else words[1:])
    return [["static" if is_static else "import", name]]


def _import_references(node: Node, source: bytes) -> list[syntax.NamedUse]:
    """`import a.b.C;` brings in C through a.b; `import a.b.*;` the name `*` through a.b."""
    if node.type != "import_declaration":
        return []
    path = next((child for child in node.named_children if child.type in ("scoped_identifier", "identifier")), None)
    if path is None:
        return []
    if any(child.type == "asterisk" for child in node.named_children):
        return [("*", path, "".join(syntax.text(path, source).split()))]
    name = path.child_by_field_name("name") if path.type == "scoped_identifier" else path
    scope = path.child_by_field_name("scope") if path.type == "scoped_identifier" else None
    if name is None:
        return []
    qualifier = "".join(syntax.text(scope, source).split()) if scope is not None else ""
    return [(syntax.text(name, source), name, qualifier)]


GRAMMAR = syntax.Grammar(
    name="java",
    language=syntax.load_language(tree_sitter_java.language),
    query_text=_QUERY,
    doc_style=DocStyle(javadoc_only=True),
    comment_types=frozenset({"block_comment", "line_comment"}),
    count_params=_count_params,
    imports=_imports,
    import_references=_import_references,
    path_types=frozenset({"scoped_type_identifier"}),
)


def read(path: str, source: bytes) -> FileExtract:
    extract = syntax.read_tree(GRAMMAR, source)
    mentioned = sorted({word.decode("ascii") for word in _CLASS_NAME.findall(source)})
    extract.imports.append(["mentions", mentioned])
    return extract


# Resolution


def static_imports(imports: list[object]) -> list[str]:
    """What a file's static imports bring in, each as its class's simple name and
    the member or `*`: `import static java.util.Objects.requireNonNull;` is
    "Objects.requireNonNull"."""
    found = []
    for entry in imports:
        if isinstance(entry, list) and len(entry) == 2 and entry[0] == "static" and isinstance(entry[1], str):
            parts = entry[1].split(".")
            if len(parts) >= 2:
                found.append(f"{parts[-2]}.{parts[-1]}")
    return found


class _File:
    def __init__(self, path: str, imports: list[object]) -> None:
        self.package = ""
        self.imports: list[tuple[str, str]] = []
        self.mentions: set[str] = set()
        for entry in imports:
            if not (isinstance(entry, list) and len(entry) == 2 and isinstance(entry[0], str)):
                continue
            kind, value = entry
            if kind == "package" and isinstance(value, str):
                self.package = value
            elif kind in ("import", "static") and isinstance(value, str):
                self.imports.append((kind, value))
            elif kind == "mentions" and isinstance(value, list):
                self.mentions = {word for word in value if isinstance(word, str)}
        self.class_name = PurePosixPath(path).stem


def resolve(root: Path, files: Mapping[str, list[object]], paths: frozenset[str]) -> list[tuple[str, str]]:
    parsed = {path: _File(path, files[path]) for path in sorted(files)}
    by_name: dict[str, str] = {}
    packages: dict[str, dict[str, str]] = defaultdict(dict)
    for path, file in parsed.items():
        full = f"{file.package}.{file.class_name}" if file.package else file.class_name
        by_name.setdefault(full, path)
        packages[file.package].setdefault(file.class_name, path)
    edges = []
    for path, file in parsed.items():
        used_packages = [file.package]
        for kind, name in file.imports:
            if name.endswith(".*"):
                owner = name[:-2]
                if kind == "static" or owner in by_name:
                    target = _class_file(owner, by_name)
                    if target is not None:
                        edges.append((path, target))
                else:
                    used_packages.append(owner)
                continue
            target = _class_file(name, by_name)
            if target is not None:
                edges.append((path, target))
        for package in used_packages:
            classes = packages.get(package, {})
            edges.extend((path, classes[word]) for word in sorted(file.mentions & classes.keys()))
    return edges


def _class_file(name: str, by_name: dict[str, str]) -> str | None:
    """The file of class `name`, or of the longest prefix of it that is a class
    (`a.B.Inner` and `a.B.member` are in a/B.java)."""
    parts = name.split(".")
    for length in range(len(parts), 0, -1):
        target = by_name.get(".".join(parts[:length]))
        if target is not None:
            return target
    return None
