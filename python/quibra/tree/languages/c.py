"""C (.c, and .h unless the header is C++): functions and prototypes,
structs and unions (a `typedef struct { } name;` by its typedef name) and
enums. See `cfamily` for complexity, doc comments and includes.

A .h file is read as C++ when its text shows C++: a class with a base or a
body, a namespace, a template, an access label (`public:`), `using
namespace`, or an include of an extension-less standard header
(`#include <vector>`). `extern "C"` blocks, which C headers carry for C++
callers, do not count.
"""

from __future__ import annotations

import re
from collections.abc import Mapping
from pathlib import Path

import tree_sitter_c

from quibra.tree.languages import cfamily, syntax
from quibra.tree.languages.model import FileExtract

_QUERY = """
(function_declarator declarator: (identifier) @name parameters: (parameter_list) @params) @function
(struct_specifier name: (type_identifier) @name body: (field_declaration_list) @body) @struct
(union_specifier name: (type_identifier) @name body: (field_declaration_list) @body) @struct
(enum_specifier name: (type_identifier) @name body: (enumerator_list) @body) @enum
(type_definition type: (struct_specifier !name body: (field_declaration_list) @body) declarator: (type_identifier) @name) @struct
(type_definition type: (union_specifier !name body: (field_declaration_list) @body) declarator: (type_identifier) @name) @struct
(type_definition type: (enum_specifier !name body: (enumerator_list) @body) declarator: (type_identifier) @name) @enum
""" + cfamily.DECISIONS_AND_BLOCKS

_CPP_HEADER = re.compile(
    rb"^[ \t]*(?:"
    rb"(?:class|struct)[ \t]+\w+[ \t]*(?:final[ \t]*)?:[^:]"  # a base clause
    rb"|class[ \t]+\w+[ \t]*\{"
    rb"|namespace(?:[ \t]+[\w:]+)?[ \t]*\{"
    rb"|template[ \t]*<"
    rb"|(?:public|private|protected)[ \t]*:"
    rb"|using[ \t]+namespace[ \t]"
    rb"|#[ \t]*include[ \t]*<[a-z_]+>"
    rb")",
    re.MULTILINE,
)

GRAMMAR = cfamily.grammar("c", syntax.load_language(tree_sitter_c.language), _QUERY)


def is_cpp_header(source: bytes) -> bool:
    return _CPP_HEADER.search(source) is not None


def read(path: str, source: bytes) -> FileExtract:
    if path.lower().endswith(".h") and is_cpp_header(source):
        try:
            from quibra.tree.languages import cpp
        except Exception:  # noqa: BLE001 - without the C++ grammar, the C one still reads most of a header
            pass
        else:
            return cpp.read(path, source)
    return syntax.read_tree(GRAMMAR, source)


def resolve(root: Path, files: Mapping[str, list[object]], paths: frozenset[str]) -> list[tuple[str, str]]:
    return cfamily.resolve(root, files, paths)
