"""C++ (.cc .cpp .cxx .hpp .hh .hxx, and the .h files that `c` finds to be
C++): functions and methods, defined or declared, classes, structs, unions
and enums; namespaces qualify what they hold, and an out-of-line
definition `Class::method` is the method `ns::Class::method` when it
stands in `namespace ns`. A qualified function is a method unless its
qualifier is a namespace opened in the same file. `class EXPORT_MACRO
Name { ... }`, which the grammar takes for a function `Name` returning
`class EXPORT_MACRO`, is the class it is. See `cfamily` for
complexity, doc comments and includes.

References, on top of C's: calls through a path (`a::b::f()`, qualified
by a::b, template arguments included as written) or with template
arguments, `new T()` as a call of T, and type names ending a path
(`std::string`: string through std); the names that class, alias and
template parameter declarations introduce are not uses.
"""

from __future__ import annotations

from collections.abc import Mapping
from pathlib import Path

import tree_sitter_cpp

from quibra.tree.languages import cfamily, syntax
from quibra.tree.languages.model import FileExtract

_QUERY = """
(function_declarator
  declarator: [(identifier) (field_identifier) (qualified_identifier) (destructor_name) (operator_name)] @name
  parameters: (parameter_list) @params) @function
(class_specifier name: (_) @name body: (field_declaration_list) @body) @class
(struct_specifier name: (_) @name body: (field_declaration_list) @body) @struct
(union_specifier name: (_) @name body: (field_declaration_list) @body) @struct
(enum_specifier name: (_) @name body: (enumerator_list) @body) @enum
(type_definition type: (struct_specifier !name body: (field_declaration_list) @body) declarator: (type_identifier) @name) @struct
(namespace_definition name: (_) @name body: (declaration_list) @body) @scope
(function_definition type: (class_specifier name: (_) !body) declarator: (identifier) @name
  body: (compound_statement) @body) @class
(function_definition type: (struct_specifier name: (_) !body) declarator: (identifier) @name
  body: (compound_statement) @body) @struct
[(for_range_loop) (catch_clause)] @branch
(call_expression function: [
  (template_function name: (identifier) @ref.call)
  (qualified_identifier name: [
    (identifier) @ref.call.q
    (template_function name: (identifier) @ref.call.q)
    (qualified_identifier name: [
      (identifier) @ref.call.q
      (template_function name: (identifier) @ref.call.q)
      (qualified_identifier name: [(identifier) (template_function name: (identifier))] @ref.call.q)])])])
(new_expression type: [
  (type_identifier) @ref.call
  (template_type name: (type_identifier) @ref.call)
  (qualified_identifier name: [(type_identifier) (template_type name: (type_identifier))] @ref.call.q)])
(qualified_identifier name: [(type_identifier) @ref.type.q (template_type name: (type_identifier) @ref.type.q)])
[(class_specifier name: (_) @ref.skip body: (_)) (alias_declaration name: (_) @ref.skip)
 (type_parameter_declaration (type_identifier) @ref.skip) (optional_type_parameter_declaration name: (_) @ref.skip)
 (variadic_type_parameter_declaration (type_identifier) @ref.skip)]
""" + cfamily.DECISIONS_AND_BLOCKS

GRAMMAR = cfamily.grammar(
    "cpp",
    syntax.load_language(tree_sitter_cpp.language),
    _QUERY,
    wrappers=frozenset({"template_declaration"}),
    path_types=frozenset({"qualified_identifier", "template_type", "template_function"}),
)


def read(path: str, source: bytes) -> FileExtract:
    return syntax.read_tree(GRAMMAR, source)


def resolve(root: Path, files: Mapping[str, list[object]], paths: frozenset[str]) -> list[tuple[str, str]]:
    return cfamily.resolve(root, files, paths)
