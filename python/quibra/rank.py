"""`quibra rank`: the symbols of a tree that best answer a query, within a token budget.

The pipeline a retrieval host runs: three ranked channels, fused by the
engine, then packed greedily into the budget with the engine's per-file
diversity penalty, so one large file cannot fill the whole context window.
"""

from __future__ import annotations

from pathlib import Path

import _quibra_core as engine

from quibra.channels import identity_channel, lexical_channel, structural_channel
from quibra.imports import import_edges
from quibra.scan import Scan, scan_python_files
from quibra.symbols import Symbol

CHANNELS = ("lexical", "identity", "structural")


def _file_scores(scan: Scan) -> dict[str, float]:
    edges = import_edges(scan.tree.root, scan.sources)
    scores, _iterations = engine.compute_pagerank(edges, list(scan.tree.files))
    return scores


def _fused(scan: Scan, symbols: dict[str, Symbol], query: str) -> list:
    """The engine's fusion of the three channels, best first."""
    ordered = list(symbols.values())
    query_terms = engine.tokenize_query(query)
    lexical = lexical_channel(ordered, query_terms)
    identity = identity_channel(ordered, query, query_terms)
    # Lexical order first, then identity-only hits: the order in which the
    # structural channel breaks ties between equally central files.
    candidates = [symbols[symbol_id] for symbol_id in dict.fromkeys([*lexical, *identity])]
    structural = structural_channel(candidates, _file_scores(scan)) if candidates else []
    ranked = {"lexical": lexical, "identity": identity, "structural": structural}
    return engine.fuse([engine.ChannelResult(name, ranked[name]) for name in CHANNELS])


def _row(position: int, item, symbol: Symbol, channel_ranks: dict[str, int]) -> dict:
    return {
        "rank": position,
        "symbol_id": symbol.id,
        "symbol": symbol.qualname,
        "kind": symbol.kind,
        "file": symbol.file,
        "line": symbol.line,
        "score": item.original_score,
        "adjusted_score": item.adjusted_score,
        "channel_ranks": {name: channel_ranks.get(name) for name in CHANNELS},
        "tokens": item.tokens,
    }


def rank(root: Path, query: str, budget: int) -> dict:
    """The report of one ranking: every packed symbol in pick order, plus totals."""
    scan = scan_python_files(root)
    symbols = {symbol.id: symbol for symbol in scan.symbols}
    fused = _fused(scan, symbols, query)
    candidates = [
        {
            "id": result.symbol_id,
            "file": symbols[result.symbol_id].file,
            "score": result.score,
            "tokens": symbols[result.symbol_id].tokens,
        }
        for result in fused
    ]
    packed, total_tokens = engine.pack_budget(candidates, budget)
    channel_ranks = {result.symbol_id: result.channel_ranks for result in fused}
    results = [
        _row(position, item, symbols[item.symbol_id], channel_ranks[item.symbol_id])
        for position, item in enumerate(packed, start=1)
    ]
    return {
        "command": "rank",
        "root": str(scan.tree.root),
        "query": query,
        "budget": budget,
        "total_tokens": total_tokens,
        "files": len(scan.tree.files),
        "symbols": len(symbols),
        "candidates": len(fused),
        "skipped_files": scan.skipped,
        "results": results,
    }
