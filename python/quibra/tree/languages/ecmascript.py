"""What JavaScript and TypeScript share: the node types of their grammars
(TypeScript's extends JavaScript's), how a definition is named, and how
an import specifier leads to a file.

Symbols: function declarations, classes and their methods, functions bound
to a name (`const parse = (v) => ...`, also one of two by a condition:
`const debug = on ? (...a) => log(...a) : () => {}`; `exports.parse = function ...`,
a function made by a call at the top of a module from the function it
passes (`const omit = flatRest(function (object, paths) {...})`),
class fields holding a function; `Foo.prototype.bar = function` is the
method `Foo.bar`). Decisions: `if`, the loops, each `case` (not
`default`), `catch`, `?:`, `&&`, `||` and `??`. Blocks: braces, and a
`switch` body. A doc comment is the `/** */` block directly above a
definition, or above the `export` or `const` that holds it.

Specifiers resolve the way bundlers and `tsc` do for files of the tree:
relative ones against the importing file's folder, trying the file as
written, then with each source extension, then `index` in it as a folder;
`./x.js` may name `x.ts`. Others go through the `compilerOptions.paths`
and `baseUrl` of the nearest `tsconfig.json` or `jsconfig.json` above the
importing file (its `extends`, when it is a file of the tree, included),
then to a package of the tree: the folder of the package.json whose `name`
the specifier starts with (a workspace's packages, a vendored one), at its
`module` or `main` entry or at the path the specifier goes on with. Other
package imports lead outside the tree and are dropped.

References: calls and `new T()` (`a.b.f()` and `new ns.T()` qualified by
what precedes the last dot), the class a class extends; in TypeScript,
every type name used (`ns.T` through ns) but those that classes,
interfaces, type aliases and type parameters declare; and the names each
`import` or `export ... from` brings in, qualified by its module
specifier (TypeScript's `import x = require("./m")` too). `require()` and
`import()` stay calls.
"""

from __future__ import annotations

import posixpath
from collections.abc import Mapping
from dataclasses import dataclass
from pathlib import Path

import json5
import tree_sitter

from quibra.tree.files import open_tree_file
from quibra.tree.languages import syntax
from quibra.tree.languages.model import FileExtract, Reference
from quibra.tree.languages.syntax import Captures, Definition, DocStyle, Node

_FUNCTION_VALUES = "[(arrow_function) (function_expression) (generator_function)]"

COMMON_QUERY = f"""
(function_declaration name: (identifier) @name parameters: (formal_parameters) @params body: (statement_block) @body) @function
(generator_function_declaration name: (identifier) @name parameters: (formal_parameters) @params
  body: (statement_block) @body) @function
(class_declaration name: (_) @name body: (class_body) @body) @class
(method_definition name: (_) @name parameters: (formal_parameters) @params body: (statement_block) @body) @method
(variable_declarator name: (identifier) @name value: {_FUNCTION_VALUES} @value) @function
(variable_declarator name: (identifier) @name value: (ternary_expression consequence: {_FUNCTION_VALUES} @value)) @function
(variable_declarator name: (identifier) @name value: (call_expression) @call) @function
(assignment_expression left: (member_expression property: (property_identifier) @name) right: {_FUNCTION_VALUES} @value) @function
[(if_statement) (for_statement) (for_in_statement) (while_statement) (do_statement) (switch_case) (catch_clause)
 (ternary_expression)] @branch
(binary_expression operator: ["&&" "||" "??"]) @branch
[(statement_block) (switch_body)] @block
(import_statement source: (string) @import)
(export_statement source: (string) @import)
(call_expression function: [(identifier) (import)] arguments: (arguments . (string))) @import
(call_expression function: [
  (identifier) @ref.call
  (member_expression object: (_) @ref.qualifier property: (property_identifier) @ref.call)])
(new_expression constructor: [
  (identifier) @ref.call
  (member_expression object: (_) @ref.qualifier property: (property_identifier) @ref.call)])
"""

JAVASCRIPT_QUERY = COMMON_QUERY + f"""
(field_definition property: (_) @name value: {_FUNCTION_VALUES} @value) @function
(class_heritage [
  (identifier) @ref.type
  (member_expression object: (_) @ref.qualifier property: (property_identifier) @ref.type)])
"""

TYPESCRIPT_QUERY = COMMON_QUERY + f"""
(import_require_clause source: (string) @import)
(public_field_definition name: (_) @name value: {_FUNCTION_VALUES} @value) @function
(abstract_class_declaration name: (_) @name body: (class_body) @body) @class
(interface_declaration name: (_) @name body: (_) @body) @interface
(enum_declaration name: (_) @name body: (enum_body) @body) @enum
(method_signature name: (_) @name parameters: (formal_parameters) @params) @method
(abstract_method_signature name: (_) @name parameters: (formal_parameters) @params) @method
(function_signature name: (identifier) @name parameters: (formal_parameters) @params) @function
(internal_module name: (_) @name body: (statement_block) @body) @scope
(module name: (_) @name body: (statement_block) @body) @scope
(extends_clause value: [
  (identifier) @ref.type
  (member_expression object: (_) @ref.qualifier property: (property_identifier) @ref.type)])
(type_identifier) @ref.type
(nested_type_identifier module: (_) @ref.qualifier name: (type_identifier) @ref.type)
[(class_declaration name: (_) @ref.skip) (abstract_class_declaration name: (_) @ref.skip)
 (interface_declaration name: (_) @ref.skip) (type_alias_declaration name: (_) @ref.skip)
 (type_parameter name: (_) @ref.skip)]
"""


_FUNCTION_TYPES = frozenset({"arrow_function", "function_expression", "generator_function"})
_DECLARATIONS = frozenset({"lexical_declaration", "variable_declaration"})


def _made_function(declarator: Node, call: Node) -> Node | None:
    """The function that `const name = make(function (...) {...})` passes to
    what makes the module's function `name`: `flatRest(function (object,
    paths) {...})`, `memo((props) => ...)`. None for a declaration inside a
    function or a block, a local variable, or a call that passes no function
    (`express()`): nothing in the code tells that it makes one, and whether
    a doc comment does must not decide what the file defines."""
    declaration = declarator.parent
    if declaration is None or declaration.type not in _DECLARATIONS:
        return None
    exported = declaration.parent is not None and declaration.parent.type == "export_statement"
    statement = declaration.parent if exported and declaration.parent is not None else declaration
    if statement.parent is None or statement.parent.type != "program":
        return None
    arguments = call.child_by_field_name("arguments")
    return next((part for part in arguments.named_children if part.type in _FUNCTION_TYPES), None) if arguments else None


def _define(kind: str, captures: Captures, source: bytes) -> Definition | None:
    definition = syntax.plain_definition(kind, captures, source)
    if definition is not None and "call" in captures:
        made = _made_function(definition.node, captures["call"][0])
        if made is None:
            return None
        definition.params = made.child_by_field_name("parameters") or made.child_by_field_name("parameter")
        definition.body = made.child_by_field_name("body")
        return definition
    if definition is None or "value" not in captures:
        return definition
    function = captures["value"][0]
    definition.params = function.child_by_field_name("parameters") or function.child_by_field_name("parameter")
    definition.body = function.child_by_field_name("body")
    if definition.node.type == "assignment_expression":
        target = definition.node.child_by_field_name("left")
        owner = target.child_by_field_name("object") if target is not None else None
        if owner is not None and owner.type == "member_expression":
            property_name = owner.child_by_field_name("property")
            owner_object = owner.child_by_field_name("object")
            if property_name is not None and owner_object is not None and syntax.text(property_name, source) == "prototype":
                definition.qualifier = (syntax.text(owner_object, source).rpartition(".")[2],)
    return definition


def _count_params(params: Node) -> int:
    if params.type != "formal_parameters":  # the one bare parameter of `x => ...`
        return 1
    return sum(1 for child in params.named_children if child.type != "comment")


def _unquote(literal: Node, source: bytes) -> str:
    return syntax.text(literal, source)[1:-1]


def _imports(node: Node, source: bytes) -> list[object]:
    if node.type == "string":
        return [_unquote(node, source), *_renamings(node, source)]
    callee = node.child_by_field_name("function")
    arguments = node.child_by_field_name("arguments")
    if callee is None or arguments is None or arguments.named_child_count != 1:
        return []
    if callee.type == "import" or syntax.text(callee, source) == "require":
        literal = arguments.named_children[0]
        return [_unquote(literal, source)]
    return []


def _renamings(specifier: Node, source: bytes) -> list[object]:
    """["as", local, imported, specifier] for each name an `import { a as b }`
    brings in under a name of its own."""
    statement = specifier.parent
    if statement is None or statement.type != "import_statement":
        return []
    module = _unquote(specifier, source)
    found: list[object] = []
    for part in statement.named_children:
        if part.type != "import_clause":
            continue
        for item in part.named_children:
            if item.type != "named_imports":
                continue
            for imported in item.named_children:
                name, alias = imported.child_by_field_name("name"), imported.child_by_field_name("alias")
                if imported.type == "import_specifier" and name is not None and alias is not None:
                    original = _unquote(name, source) if name.type == "string" else syntax.text(name, source)
                    local = syntax.text(alias, source)
                    if original not in ("default", local):
                        found.append(["as", local, original, module])
    return found


def renamed(extract: FileExtract) -> FileExtract:
    """The uses of a name an import renamed (`import { range as sequence }`),
    recorded as uses of the imported name through its module: `sequence(n)` is
    `range` through "d3-array"."""
    renamings = {
        entry[1]: (entry[2], entry[3])
        for entry in extract.imports
        if isinstance(entry, list) and len(entry) == 4 and entry[0] == "as"
    }
    if not renamings:
        return extract
    references = []
    for reference in extract.references:
        found = renamings.get(reference.name) if not reference.qualifier and reference.kind != "import" else None
        if found is not None:
            name, module = found
            reference = Reference(name, reference.line, reference.kind, module, reference.scope, reference.arity)
        references.append(reference)
    extract.references = references
    return extract


def _import_references(node: Node, source: bytes) -> list[syntax.NamedUse]:
    """The names an `import` or `export ... from` statement brings in from its
    module: `import {a as b} from "./m"` is a through ./m, a default import
    its local name, and `* as ns` (or `export *`) the name `*`."""
    statement = node.parent
    if node.type != "string" or statement is None:
        return []
    module = _unquote(node, source)
    uses: list[syntax.NamedUse] = []
    if statement.type == "import_require_clause":  # TypeScript's `import x = require("./m")`
        return [(syntax.text(part, source), part, module) for part in statement.named_children if part.type == "identifier"]
    for part in statement.named_children:
        if part.type == "import_clause":
            for item in part.named_children:
                if item.type == "identifier":
                    uses.append((syntax.text(item, source), item, module))
                elif item.type == "namespace_import":
                    uses.append(("*", item, module))
                elif item.type == "named_imports":
                    uses.extend(_specified(item, "import_specifier", module, source))
        elif part.type == "export_clause":
            uses.extend(_specified(part, "export_specifier", module, source))
        elif part.type == "namespace_export":
            uses.append(("*", part, module))
    if statement.type == "export_statement" and not uses and statement.child(1) is not None:
        star = statement.child(1)
        if star is not None and star.type == "*":
            uses.append(("*", star, module))
    return uses


def _specified(names: Node, specifier_type: str, module: str, source: bytes) -> list[syntax.NamedUse]:
    uses: list[syntax.NamedUse] = []
    for specifier in names.named_children:
        if specifier.type == specifier_type:
            name = specifier.child_by_field_name("name")
            if name is not None:
                uses.append((_unquote(name, source) if name.type == "string" else syntax.text(name, source), name, module))
    return uses


def grammar(name: str, language: tree_sitter.Language, query: str) -> syntax.Grammar:
    return syntax.Grammar(
        name=name,
        language=language,
        query_text=query,
        doc_style=DocStyle(javadoc_only=True),
        wrappers=frozenset({"export_statement", "lexical_declaration", "variable_declaration", "ambient_declaration",
                            "expression_statement"}),
        attributes=frozenset({"decorator"}),
        define=_define,
        count_params=_count_params,
        imports=_imports,
        import_references=_import_references,
    )


# Resolution

CONFIG_FILES = ("tsconfig.json", "jsconfig.json")
_SOURCE_EXTENSIONS = (".ts", ".tsx", ".d.ts", ".mts", ".cts", ".js", ".jsx", ".mjs", ".cjs")
# `import "./x.js"` in TypeScript names the x.ts that compiles to it.
_COMPILED_FROM = {".js": (".ts", ".tsx"), ".jsx": (".tsx",), ".mjs": (".mts",), ".cjs": (".cts",)}


def _file_candidates(base: str) -> list[str]:
    candidates = [base]
    stem, extension = posixpath.splitext(base)
    candidates += [stem + compiled for compiled in _COMPILED_FROM.get(extension, ())]
    candidates += [base + extension for extension in _SOURCE_EXTENSIONS]
    candidates += [f"{base}/index{extension}" for extension in _SOURCE_EXTENSIONS]
    return candidates


def _first_file(base: str, paths: frozenset[str]) -> str | None:
    base = posixpath.normpath(base)
    if base.startswith("../") or base == "..":
        return None
    base = "" if base == "." else base
    for candidate in _file_candidates(base):
        if candidate in paths:
            return candidate.lstrip("/")
    return None


def read_jsonc(root: Path, config: str) -> object:
    """A tsconfig-style file of the tree (JSON with comments and trailing
    commas); None when it cannot be read or does not parse: a broken config
    maps no import, and indexing goes on."""
    found = open_tree_file(root, config)
    if found is None:
        return None
    try:
        # JSON5 is a superset of what tsconfig files hold.
        return json5.loads(found[0].decode("utf-8-sig", errors="replace"))
    except (ValueError, RecursionError):  # RecursionError: nested deeper than the parser recurses
        return None


@dataclass(frozen=True)
class _PathMapping:
    base_url: str | None  # tree-relative folder
    paths_base: str  # the folder `paths` entries are relative to
    paths: tuple[tuple[str, tuple[str, ...]], ...]  # pattern -> substitutions, in file order


def _compiler_options(root: Path, config: str, paths: frozenset[str], seen: frozenset[str]) -> dict[str, object]:
    """`compilerOptions` of a config file, over those of the file it extends, each
    with `baseUrl` made tree-relative."""
    data = read_jsonc(root, config)
    if not isinstance(data, dict):
        return {}
    folder = posixpath.dirname(config)
    options: dict[str, object] = {}
    extends = data.get("extends")
    if isinstance(extends, str) and extends.startswith("."):
        parent = posixpath.normpath(posixpath.join(folder, extends))
        parent = parent if parent.endswith(".json") else parent + ".json"
        if parent in paths and parent not in seen:
            options.update(_compiler_options(root, parent, paths, seen | {config}))
    own = data.get("compilerOptions")
    if isinstance(own, dict):
        if isinstance(own.get("baseUrl"), str):
            options["baseUrl"] = posixpath.normpath(posixpath.join(folder, own["baseUrl"]))
        if isinstance(own.get("paths"), dict):
            options["paths"] = own["paths"]
            options["pathsBase"] = folder
    return options


def _mapping(root: Path, config: str, paths: frozenset[str]) -> _PathMapping:
    options = _compiler_options(root, config, paths, frozenset())
    base_url = options.get("baseUrl")
    base_url = base_url if isinstance(base_url, str) else None
    # Without baseUrl, `paths` entries are relative to the config that sets them.
    paths_base = base_url if base_url is not None else str(options.get("pathsBase", posixpath.dirname(config)))
    raw = options.get("paths")
    entries: list[tuple[str, tuple[str, ...]]] = []
    if isinstance(raw, dict):
        for pattern, targets in raw.items():
            if isinstance(targets, list):
                entries.append((pattern, tuple(target for target in targets if isinstance(target, str))))
    return _PathMapping(base_url, paths_base, tuple(entries))


def _mapped(specifier: str, mapping: _PathMapping) -> list[str]:
    """Tree-relative bases a non-relative specifier may name."""
    bases = []
    for pattern, targets in mapping.paths:
        prefix, star, suffix = pattern.partition("*")
        if star:
            if not (specifier.startswith(prefix) and specifier.endswith(suffix)):
                continue
            matched = specifier[len(prefix) : len(specifier) - len(suffix)]
        elif specifier != pattern:
            continue
        else:
            matched = ""
        bases += [posixpath.join(mapping.paths_base, target.replace("*", matched, 1)) for target in targets]
    if mapping.base_url is not None:
        bases.append(posixpath.join(mapping.base_url, specifier))
    return bases


class _Configs:
    """The nearest tsconfig.json or jsconfig.json above each folder, read once each."""

    def __init__(self, root: Path, paths: frozenset[str]) -> None:
        self.root, self.paths = root, paths
        self.by_folder: dict[str, str] = {}
        for path in paths:
            folder, _, name = path.rpartition("/")
            if name in CONFIG_FILES:
                # tsconfig.json wins over a jsconfig.json beside it.
                if folder not in self.by_folder or name == "tsconfig.json":
                    self.by_folder[folder] = path
        self.read: dict[str, _PathMapping] = {}

    def mapping_for(self, importer: str) -> _PathMapping | None:
        folder = posixpath.dirname(importer)
        while True:
            config = self.by_folder.get(folder)
            if config is not None:
                if config not in self.read:
                    self.read[config] = _mapping(self.root, config, self.paths)
                return self.read[config]
            if not folder:
                return None
            folder = posixpath.dirname(folder)


class _Packages:
    """The packages of the tree, by the name their package.json gives them, read on first use."""

    def __init__(self, root: Path, paths: frozenset[str]) -> None:
        self.root, self.paths = root, paths
        self.manifests = sorted(path for path in paths if path.rpartition("/")[2] == "package.json")
        self.folders: dict[str, tuple[str, str]] | None = None  # name -> (folder, entry)

    def _read(self) -> dict[str, tuple[str, str]]:
        folders: dict[str, tuple[str, str]] = {}
        for manifest in self.manifests:
            data = read_jsonc(self.root, manifest)
            if not isinstance(data, dict) or not isinstance(data.get("name"), str):
                continue
            entry = next((data[key] for key in ("module", "main") if isinstance(data.get(key), str)), "")
            folders.setdefault(data["name"], (posixpath.dirname(manifest), entry))
        return folders

    def bases(self, specifier: str) -> list[str]:
        """Tree-relative bases that a package specifier (`d3-array`, `@scope/name/sub`) names."""
        if not self.manifests:
            return []
        if self.folders is None:
            self.folders = self._read()
        parts = specifier.split("/")
        size = 2 if specifier.startswith("@") else 1
        found = self.folders.get("/".join(parts[:size]))
        if found is None:
            return []
        folder, entry = found
        rest = "/".join(parts[size:])
        if rest:
            return [posixpath.join(folder, rest)]
        return [posixpath.join(folder, entry), folder] if entry else [folder]


def resolve(root: Path, files: Mapping[str, list[object]], paths: frozenset[str]) -> list[tuple[str, str]]:
    configs = _Configs(root, paths)
    packages = _Packages(root, paths)
    edges = []
    for importer in sorted(files):
        for specifier in files[importer]:
            if not isinstance(specifier, str) or not specifier:
                continue
            if specifier.startswith("."):
                bases = [posixpath.join(posixpath.dirname(importer), specifier)]
            else:
                mapping = configs.mapping_for(importer)
                bases = _mapped(specifier, mapping) if mapping is not None else []
                bases += packages.bases(specifier)
            for base in bases:
                target = _first_file(base, paths)
                if target is not None:
                    edges.append((importer, target))
                    break
    return edges
