"""compute_pagerank end to end from a Python edge list, against networkx,
python-igraph and the pure-Python fallback.

Every timed call starts from the same list of (importer, imported) tuples and
the list of files and ends with a dict of scores by path: the peers' times
include building their graph (keeping only edges between known files, no
self-loops, as compute_pagerank counts them). All run to the same L1
tolerance 1e-6 (networkx compares its L1 change with N * tol, so it is given
tol / N); igraph's PRPACK solver is exact.

Sizes: 10^4, 10^5 and 10^6 edges over 10 edges per file, and this
interpreter's standard-library import graph; then the largest graph again
with edges whose texts are separate str objects from the files' (the module
then finds every edge end by its text, not by the object). Peak memory of one call (above
the input already in memory) is measured in a fresh process per peer.
"""

from __future__ import annotations

import json
import subprocess
import sys

import _quibra_core as q
import fallbacks
import import_graphs
from harness import Case

DAMPING = 0.8347
TOL = 1e-6


def run_module(edges, files):
    return q.compute_pagerank(edges, files, DAMPING, 100, TOL)[0]


def run_networkx(edges, files):
    import networkx as nx

    known = set(files)
    graph = nx.DiGraph()
    graph.add_nodes_from(files)
    graph.add_edges_from((s, t) for s, t in edges if s != t and s in known and t in known)
    return nx.pagerank(graph, alpha=DAMPING, max_iter=100, tol=TOL / graph.number_of_nodes())


def run_igraph(edges, files):
    import igraph

    index = {path: i for i, path in enumerate(dict.fromkeys(files))}
    pairs = {(index[s], index[t]) for s, t in edges if s != t and s in index and t in index}
    graph = igraph.Graph(n=len(index), edges=list(pairs), directed=True)
    return dict(zip(index, graph.pagerank(damping=DAMPING)))


def run_fallback(edges, files):
    return fallbacks.compute_pagerank(edges, files, DAMPING, 100, TOL)[0]


RUNNERS = {
    "_quibra_core": run_module,
    "networkx": run_networkx,
    "python-igraph": run_igraph,
    "pure-Python fallback": run_fallback,
}


def graph_for(kind: str):
    if kind == "stdlib":
        return import_graphs.stdlib_graph()
    n_files, n_edges = map(int, kind.split("x"))
    return import_graphs.synthetic_graph(n_files, n_edges)


def peak_memory_mb(runner: str, kind: str) -> float:
    """Peak resident memory of one call above the prepared input, in MB, in a fresh process."""
    output = subprocess.run(
        [sys.executable, __file__, "--peak", runner, kind],
        check=True, capture_output=True, text=True,
    ).stdout
    return json.loads(output)["peak_mb"]


def _measure_peak(runner: str, kind: str) -> None:
    edges, files = graph_for(kind)
    RUNNERS[runner](edges[:100], files[:100])  # imports and first-call set-up are not counted
    with open("/proc/self/clear_refs", "w") as f:  # resets the peak (VmHWM) to the current RSS
        f.write("5")
    before = _status_kb("VmRSS")
    result = RUNNERS[runner](edges, files)
    peak = _status_kb("VmHWM")
    assert len(result) == len(set(files))
    print(json.dumps({"peak_mb": (peak - before) / 1024}))


def _status_kb(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def _check_peers_agree(edges, files):
    ours = run_module(edges, files)
    for name, runner in RUNNERS.items():
        theirs = runner(edges, files)
        worst = max(abs(ours[p] - theirs[p]) for p in ours)
        assert worst < 1e-6, (name, worst)


def cases(quick: bool) -> list[Case]:
    kinds = ["1000x10000", "10000x100000", "stdlib"] if quick else [
        "1000x10000", "10000x100000", "100000x1000000", "stdlib"]
    out = []
    for kind in kinds:
        edges, files = graph_for(kind)
        if kind == kinds[0]:
            _check_peers_agree(edges, files)
        big = kind == "100000x1000000"
        name = ("standard-library import graph" if kind == "stdlib"
                else f"{len(files):,} files, {len(edges):,} edges")
        note = f"{len(set(files)):,} files, {len(edges):,} edges"
        if big:
            note += "; goals: networkx/module >= 10, igraph/module > 1"
        extras = {}
        if kind != "stdlib" or not quick:
            for runner in ("_quibra_core", "networkx", "python-igraph"):
                extras[f"peak memory, {runner}"] = (
                    lambda _s, runner=runner, kind=kind: f"{peak_memory_mb(runner, kind):.1f} MB")
        out.append(Case(
            name=f"compute_pagerank, {name} (end to end)",
            subject=lambda e=edges, f=files: run_module(e, f),
            peers={peer: (lambda e=edges, f=files, r=RUNNERS[peer]: r(e, f))
                   for peer in ("networkx", "python-igraph", "pure-Python fallback")},
            note=note,
            extras=extras,
        ))
    # Edges read from elsewhere (a database, JSON) hold their own str objects:
    # every end is then found by its text alone.
    kind = "10000x100000" if quick else "100000x1000000"
    edges, files = graph_for(kind)
    copied = [(s.encode().decode(), t.encode().decode()) for s, t in edges]
    out.append(Case(
        name=f"compute_pagerank, {len(files):,} files, {len(edges):,} edges, edge texts not shared with files",
        subject=lambda e=copied, f=files: run_module(e, f),
        peers={"python-igraph": lambda e=copied, f=files: run_igraph(e, f)},
        note="every edge end is a separate str object equal to a file's",
    ))
    return out


if __name__ == "__main__" and len(sys.argv) == 4 and sys.argv[1] == "--peak":
    _measure_peak(sys.argv[2], sys.argv[3])
