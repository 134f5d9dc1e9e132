"""JavaScript (.js .mjs .cjs .jsx): see `ecmascript` for what is read and how imports resolve."""

from __future__ import annotations

from collections.abc import Mapping
from pathlib import Path

import tree_sitter_javascript

from quibra.tree.languages import ecmascript, syntax
from quibra.tree.languages.model import FileExtract

GRAMMAR = ecmascript.grammar(
    "javascript", syntax.load_language(tree_sitter_javascript.language), ecmascript.JAVASCRIPT_QUERY
)


def read(path: str, source: bytes) -> FileExtract:
    return ecmascript.renamed(syntax.read_tree(GRAMMAR, source))


def resolve(root: Path, files: Mapping[str, list[object]], paths: frozenset[str]) -> list[tuple[str, str]]:
    return ecmascript.resolve(root, files, paths)
