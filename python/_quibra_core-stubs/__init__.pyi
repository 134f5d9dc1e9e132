"""Type stubs for _quibra_core, the compiled ranking engine of the Quibra retrieval suite."""

from collections.abc import Sequence
from typing import Any, Final, SupportsFloat, SupportsIndex, final

__version__: Final[str]
__all__: list[str]

_Float = SupportsFloat | SupportsIndex
_Int = SupportsIndex
_Bytes = bytes | bytearray | Sequence[SupportsIndex]

@final
class ChannelResult:
    """A single channel's ranked result."""

    def __new__(cls, name: str, ranked_ids: Sequence[str], weight: _Float = 1.0) -> ChannelResult: ...
    @property
    def name(self) -> str: ...
    @property
    def ranked_ids(self) -> list[str]: ...
    @property
    def weight(self) -> float: ...

@final
class FusedResult:
    """One symbol's fused score with per-channel breakdown."""

    @property
    def symbol_id(self) -> str: ...
    @property
    def score(self) -> float: ...
    @property
    def channel_contributions(self) -> dict[str, float]: ...
    @property
    def channel_ranks(self) -> dict[str, int]: ...

@final
class PackedItem:
    """Result of packing a single symbol into the budget."""

    @property
    def symbol_id(self) -> str: ...
    @property
    def file(self) -> str: ...
    @property
    def adjusted_score(self) -> float: ...
    @property
    def original_score(self) -> float: ...
    @property
    def tokens(self) -> int: ...

def fuse(
    channels: Sequence[ChannelResult],
    smoothing: _Float | None = None,
    weights: dict[str, float] | None = None,
) -> list[FusedResult]: ...
def compute_pagerank(
    edges: Sequence[tuple[str, str]],
    files: Sequence[str],
    damping: _Float | None = None,
    max_iter: _Int = 100,
    tol: _Float = 1e-6,
) -> tuple[dict[str, float], int]: ...
def pack_budget(
    items: Sequence[dict[str, Any]],
    token_budget: _Int,
    diversity: bool = True,
) -> tuple[list[PackedItem], int]: ...
def compute_hotspots(
    symbols: Sequence[dict[str, Any]],
    file_churn: dict[str, int],
    min_complexity: _Int = 2,
    top_n: _Int = 20,
) -> list[dict[str, Any]]: ...
def content_hash(content: bytes) -> str: ...
def batch_content_hash(contents: Sequence[tuple[str, _Bytes]]) -> dict[str, str]: ...
def tokenize(text: str) -> list[str]: ...
def tokenize_query(query: str) -> list[str]: ...
def stem_word(word: str) -> str: ...
def verify_canary() -> bool: ...
