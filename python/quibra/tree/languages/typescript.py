"""TypeScript (.ts .mts .cts, and .tsx with the TSX grammar): see `ecmascript`
for what is read and how imports resolve. On top of JavaScript's symbols:
interfaces, enums, abstract classes, method and function signatures
(interfaces, overloads, `.d.ts` declarations); a `namespace` qualifies
what it holds."""

from __future__ import annotations

from collections.abc import Mapping
from pathlib import Path

import tree_sitter_typescript

from quibra.tree.languages import ecmascript, syntax
from quibra.tree.languages.model import FileExtract

GRAMMAR = ecmascript.grammar(
    "typescript", syntax.load_language(tree_sitter_typescript.language_typescript), ecmascript.TYPESCRIPT_QUERY
)
TSX_GRAMMAR = ecmascript.grammar(
    "tsx", syntax.load_language(tree_sitter_typescript.language_tsx), ecmascript.TYPESCRIPT_QUERY
)


def read(path: str, source: bytes) -> FileExtract:
    return ecmascript.renamed(syntax.read_tree(TSX_GRAMMAR if path.lower().endswith(".tsx") else GRAMMAR, source))


def resolve(root: Path, files: Mapping[str, list[object]], paths: frozenset[str]) -> list[tuple[str, str]]:
    return ecmascript.resolve(root, files, paths)
