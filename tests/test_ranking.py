"""What a query in plain words finds: on small trees written here, whose
right answers are known, and on real code that nobody here wrote (the
standard library, networkx)."""

from __future__ import annotations

import pathlib

import pytest
import quibra
from helpers import STDLIB, write_tree
from quibra.ranking.channels import STOP_WORDS
from quibra.ranking.rank import HEAD_SHARE

pytestmark = pytest.mark.host


def _names(report: dict[str, object]) -> list[str]:
    return [str(entry["symbol"]) for entry in report["results"]]  # type: ignore[attr-defined]


@pytest.fixture(scope="module")
def stdlib(tmp_path_factory: pytest.TempPathFactory) -> quibra.Index:
    index = quibra.Index(STDLIB, index_file=tmp_path_factory.mktemp("stdlib") / "index.sqlite", jobs=2)
    index.refresh()
    return index


@pytest.mark.parametrize(
    ("query", "answer", "within"),
    [
        # A name the query spells from two words that do not stand together.
        ("copy a directory tree", "copytree", 10),
        # Found at all with a large budget: tests and near names used to bury it.
        ("parse command line arguments", "ArgumentParser.parse_args", 20),
        ("sleep for some seconds without blocking the event loop", "sleep", 3),
        ("join path components", "join", 10),
        # Names that cut the query's words short, alone or run together.
        ("normalize the case of a path name", "normcase", 3),
        ("expand environment variables in a path", "expandvars", 3),
        # pathlib's Path (PathBase from Python 3.13 on).
        ("symbolic link to a file", "is_symlink", 3),
    ],
)
def test_plain_words_find_the_standard_library_function(stdlib, query, answer, within):
    names = _names(stdlib.rank(query, budget=50_000, refresh=False))
    # A method is named as itself, whatever its class.
    assert any(name == answer or name.endswith("." + answer) for name in names[:within]), names[:within]


def test_common_words_do_not_match_names_by_accident(stdlib):
    report = stdlib.rank("is the value in the list or not, with a default", budget=8000, refresh=False)
    accidental = {"Counter.__or__", "is_", "With", "__or__"}
    assert not accidental & set(_names(report)[:20])
    assert {"is", "or", "with", "the"} <= STOP_WORDS


def test_tests_do_not_bury_the_code_they_test(stdlib):
    report = stdlib.rank("decode a JSON document", budget=4000, refresh=False)
    top = report["results"][:5]
    assert top and not any("/test" in entry["path"] for entry in top), _names(report)[:5]


def test_networkx_pagerank_comes_first(tmp_path):
    networkx = pytest.importorskip("networkx")
    root = pathlib.Path(networkx.__file__).parent
    with quibra.Index(root, index_file=tmp_path / "index.sqlite", jobs=2) as index:
        names = _names(index.rank("compute pagerank of a directed graph", budget=8000))
    assert names[0] == "pagerank", names[:5]


# ---------------------------------------------------------------------------
# Small trees whose answers are known

STORE = '''
class ReportStore:
    """Keeps rendered reports."""

    def __init__(self, folder):
        self.folder = folder

    def save_report(self, name, text):
        """Write a report to its file."""
        with open(self.folder + name, "w") as stream:
            stream.write(text)

    def load_report(self, name):
        """Read a report back from its file."""
        with open(self.folder + name) as stream:
            return stream.read()
'''

TEST_STORE = '''
from store import ReportStore


def test_save_report_writes_the_report_file(tmp_path):
    """Save a report and read the report file back."""
    store = ReportStore(str(tmp_path))
    store.save_report("report", "text")
    assert store.load_report("report") == "text"
'''


@pytest.fixture
def store_tree(tmp_path):
    write_tree(tmp_path, {"store.py": STORE, "tests/test_store.py": TEST_STORE})
    return tmp_path


def _rank(root: pathlib.Path, query: str, budget: int = 4000) -> dict[str, object]:
    with quibra.Index(root, index_file=root / "index.sqlite", jobs=1) as index:
        return index.rank(query, budget=budget)


def _channel_ranks(report: dict[str, object], channel: str) -> dict[str, int | None]:
    """Each result's place in one channel, by its symbol's name."""
    return {entry["symbol"]: entry["channel_ranks"][channel] for entry in report["results"]}  # type: ignore[attr-defined]


@pytest.mark.parametrize(
    ("query", "first"),
    [
        ("save a report to a file", "ReportStore.save_report"),
        ("saves the report", "ReportStore.save_report"),  # third person meets the base form
        ("read a report back", "ReportStore.load_report"),
        ("test that saving writes the report file", "test_save_report_writes_the_report_file"),
    ],
)
def test_code_comes_before_its_tests_unless_tests_are_asked_for(store_tree, query, first):
    assert _names(_rank(store_tree, query))[0] == first


EXAMPLE_STORE = '''
from store import ReportStore


def save_a_report_to_a_file(path):
    """Save a report to a file: how to use the store."""
    ReportStore(path).save_report("report", "text")
'''


@pytest.mark.parametrize(
    ("path", "query", "first"),
    [
        ("examples/save.py", "save a report to a file", "ReportStore.save_report"),
        ("benches/save.py", "save a report to a file", "ReportStore.save_report"),
        ("build.rs", "save a report to a file", "ReportStore.save_report"),
        ("examples/save.py", "example that saves a report to a file", "save_a_report_to_a_file"),
    ],
)
def test_benchmarks_examples_and_build_scripts_come_after_the_code(tmp_path, path, query, first):
    source = EXAMPLE_STORE if path.endswith(".py") else "fn save_a_report_to_a_file() {}\n"
    write_tree(tmp_path, {"store.py": STORE, path: source})
    assert _names(_rank(tmp_path, query))[0] == first


def test_a_page_of_text_pasted_as_the_query_is_answered(store_tree):
    # Names spelled by runs of words and parts cut short are sought among a
    # bounded number of words: a long text costs about what its words do.
    # (A query is cut to MAX_QUERY_CHARS, so the text stays within that.)
    filler = " ".join(f"note{number}" for number in range(1000))
    assert _names(_rank(store_tree, f"{filler} save a report to a file"))[0] == "ReportStore.save_report"


def test_a_class_costs_its_head_and_its_methods_come_on_their_own(store_tree):
    report = _rank(store_tree, "report store", budget=100_000)
    by_name = {entry["symbol"]: entry for entry in report["results"]}  # type: ignore[attr-defined]
    store = by_name["ReportStore"]
    # The head: up to the first method, so no line is counted twice.
    assert store["context_lines"] == [2, 3] and store["end_line"] == 16
    covered = [
        line
        for entry in by_name.values()
        for line in range(entry["context_lines"][0], entry["context_lines"][1] + 1)
        if entry["path"] == "store.py"
    ]
    assert len(covered) == len(set(covered))


def test_equal_scores_keep_the_order_of_the_tree(tmp_path):
    # Two files with the same function: the same score, listed by path.
    source = "def render_page(title):\n    return title\n"
    write_tree(tmp_path, {"b/page.py": source, "a/page.py": source})
    assert [entry["path"] for entry in _rank(tmp_path, "render page")["results"]] == ["a/page.py", "b/page.py"]


def test_a_function_leads_a_type_that_matches_as_well(tmp_path):
    # One name, spelled as a type and as a function: the one that does the work comes first.
    write_tree(
        tmp_path,
        {"temp.py": "class TemporaryFolder:\n    pass\n\n\ndef temporary_folder(prefix):\n    return prefix\n"},
    )
    assert _names(_rank(tmp_path, "temporary folder"))[:2] == ["temporary_folder", "TemporaryFolder"]


QUESTION_TREE = {
    "orm/where.py": (
        "class WhereNode:\n    \"\"\"A where clause of a query.\"\"\"\n\n"
        "    def add(self, condition):\n        \"\"\"Add a condition to the where clause.\"\"\"\n"
        "        return condition\n"
    ),
    "web/session.py": (
        "def save_session(request):\n    \"\"\"Save the session of the request in its store.\"\"\"\n"
        "    return request\n"
    ),
}


@pytest.mark.parametrize(
    ("query", "first", "absent"),
    [
        ("where is the session saved", "save_session", "WhereNode"),
        ("How do I save a session?", "save_session", "WhereNode"),
        # Said inside the question, "where" is what is asked about.
        ("how do I add a where clause", "WhereNode.add", None),
        ("where", "WhereNode", None),
    ],
)
def test_a_question_s_opening_words_ask_and_do_not_match_names(tmp_path, query, first, absent):
    write_tree(tmp_path, QUESTION_TREE)
    names = _names(_rank(tmp_path, query))
    assert names[0] == first
    assert absent is None or absent not in names





NAMES = '''
def suffix_list(path):
    return path.split(".")[1:]


def with_suffix(path, new):
    return path.rsplit(".", 1)[0] + new
'''


STEMS = '''
def stem(path):
    return path.rsplit(".", 1)[0]


def with_stem(path, new):
    return new + "." + path.rsplit(".", 1)[1]
'''

SENDFILE = '''
def slowpath_sendfile(source, target):
    return source, target


def fastcopy_sendfile(source, target):
    return source, target
'''

BUDGET = """
def ranked_list(items):
    return sorted(items)


def symbol_names(symbols):
    return [symbol.name for symbol in symbols]


def token_count(text):
    return len(text.split())


def score_of(item):
    return item.score


def pack_budget(items, budget):
    return items[:budget]
"""


@pytest.mark.parametrize(
    ("source", "query", "leader"),
    [
        # "with" weighs nothing, but once said it accounts for its part of `with_suffix`.
        (NAMES, "the same path with another suffix", "with_suffix"),
        # "with the stem" spells `with_stem` as "stem" spells `stem`: of two
        # names that score alike, the one holding more of what was said leads.
        (STEMS, "return a new path with the stem changed", "with_stem"),
        # `fastcopy` joins "copy" to another word: half said, where `slowpath` is not said at all.
        (SENDFILE, "copy a file with sendfile", "fastcopy_sendfile"),
        # Every word of `pack_budget` is said: it is called by name, though
        # it holds less than a fair share of what all the words weigh.
        (BUDGET, "pack ranked symbols into a token budget by score", "pack_budget"),
    ],
)
def test_the_name_channel_leads_with_the_name_that_holds_more_of_the_query(tmp_path, source, query, leader):
    write_tree(tmp_path, {"names.py": source})
    report = _rank(tmp_path, query)
    identity = _channel_ranks(report, "identity")
    assert identity[leader] == 1, identity


# Names that say what does a thing, beside names that merely share its first letters.
DOERS = """
class Tokenizer:
    def feed(self, text):
        return text


class Compressor:
    def run(self, data):
        return data


class Validator:
    def check(self, value):
        return value


class Formatter:
    def apply(self, value):
        return value


class Portion:
    def size(self):
        return 0


def split_lines(text):
    return text.splitlines()


def clean_value(value):
    return value


def tokenize_words(text):
    return text.split()
"""


@pytest.mark.parametrize(
    ("query", "leader", "absent"),
    [
        # A `Tokenizer` makes tokens: it holds the query's word though no folding of "tokens" meets it.
        ("split text into tokens", "Tokenizer", None),
        ("compress the data", "Compressor", None),
        ("validate a value", "Validator", None),
        ("format a value", "Formatter", None),
        # A short word is no root: a `Portion` is no port.
        ("port a value", "clean_value", "Portion"),
    ],
)
def test_the_name_channel_meets_a_word_in_the_name_of_what_does_it(tmp_path, query, leader, absent):
    write_tree(tmp_path, {"doers.py": DOERS})
    report = _rank(tmp_path, query)
    identity = _channel_ranks(report, "identity")
    assert identity[leader] == 1, identity
    if absent is not None:
        assert identity.get(absent) is None, identity


LENGTHS = """
class Buffer:
    def len(self):
        return 0


class Frame:
    def len(self):
        return 0


class Table:
    def len(self):
        return 0


def put_varint(buffer, value):
    return buffer


def read_header(data):
    return data
"""


def test_a_name_that_cuts_a_word_short_counts_that_word_once(tmp_path):
    # `len` holds "length" through its abbreviation, and its "len" is that
    # same word cut short: it weighs as one word, below `put_varint`, whose
    # "varint" stands for both "variable" and "integer".
    write_tree(tmp_path, {"lengths.py": LENGTHS})
    identity = _channel_ranks(_rank(tmp_path, "write a variable-length integer"), "identity")
    assert identity["put_varint"] == 1, identity


@pytest.mark.parametrize(
    ("word", "derived", "not_derived"),
    [
        ("tokens", {"tokenizer": {"tokenizer", "tokeniz"}}, {"tokens"}),
        ("validate", {"validator": {"validator"}, "validation": {"validation"}}, {"validate"}),
        ("format", {"formatter": {"formatter", "formatt"}, "formation": {"formation"}}, set()),
        # What the folding already joins to the word is left to it.
        ("parse", {}, {"parser"}),
        ("port", {}, {"portion", "porter"}),
        # And back: what the doer or the deed asked for does.
        ("connection", {"connect": {"connect"}}, {"connection"}),
        ("formatter", {"format": {"format"}}, {"formatt"}),
        ("validator", {"validate": {"validate", "validat"}}, {"valid"}),
        ("compressor", {"compress": {"compress"}}, {"compres"}),
        # A superlative asks for the extreme that names say as `max` or `min`.
        ("largest", {"max": {"max", "maximum"}}, {"min"}),
        ("lowest", {"min": {"min", "minimum"}}, {"max"}),
    ],
)
def test_derived_terms(word, derived, not_derived):
    from quibra.ranking.channels import derived_terms
    from quibra.tree.terms import text_terms

    found = derived_terms(word, text_terms(word))
    assert {term: found.get(term) for term in derived} == derived
    assert not (not_derived & found.keys())


SPACES = """
def strip_ends(text):
    \"\"\"Remove the white space at both ends of the text.\"\"\"
    return text.strip()


def pad_text(text, width):
    \"\"\"Pad the text to the width.\"\"\"
    return text.ljust(width)


def write_timestamp(stream):
    \"\"\"Write the current timestamp to the stream.\"\"\"
    stream.write("now")


def stamp_time(stream):
    \"\"\"Stamp the time on the stream.\"\"\"
    stream.write("then")
"""


@pytest.mark.parametrize(
    ("query", "first", "absent"),
    [
        # A word that no text of the tree holds is read as the two words it runs together.
        ("trim whitespace", "strip_ends", None),
        # One that the tree holds is taken as it is, not as "time" and "stamp".
        ("timestamp", "write_timestamp", "stamp_time"),
    ],
)
def test_the_text_channels_take_apart_a_word_the_tree_writes_as_two(tmp_path, query, first, absent):
    write_tree(tmp_path, {"spaces.py": SPACES})
    lexical = _channel_ranks(_rank(tmp_path, query), "lexical")
    assert lexical.get(first) == 1, lexical
    if absent is not None:
        assert lexical.get(absent) is None, lexical


# A tree whose answer is one long function, placed so that its head runs
# from two-digit line numbers into three-digit ones (the header widens).
SHORT_HELPERS = "".join(f"def helper_{number}(value):\n    return value + {number}\n\n\n" for number in range(23))
LONG_MERGE = (
    "def merge_sorted_runs(runs):\n"
    '    """Merge sorted runs into one sorted list, run by run."""\n'
    "    merged = []\n"
    + "".join(
        f"    merged.extend(sorted(runs[{number}], key=lambda item: (item, {number})))\n" for number in range(400)
    )
    + "    return merged\n"
)
LONG_TREE = {
    "runs.py": SHORT_HELPERS + LONG_MERGE,
    "other.py": "def merge_two_lists(first, second):\n    return first + second\n",
}


def _long_merge(report: dict[str, object]) -> dict[str, object]:
    return next(entry for entry in report["results"] if entry["symbol"] == "merge_sorted_runs")  # type: ignore[attr-defined]


@pytest.mark.parametrize("budget", [1_000, 4_000, 16_000])
def test_a_long_function_is_given_as_its_head(tmp_path, budget):
    write_tree(tmp_path, LONG_TREE)
    with quibra.Index(tmp_path, index_file=tmp_path / "index.sqlite", jobs=1) as index:
        report = index.rank("merge sorted runs", budget=budget, context=True)
        source = index.search_code("merge sorted runs", budget=budget, refresh=False)
    entry = _long_merge(report)
    first, last = entry["context_lines"]
    lines = (tmp_path / "runs.py").read_text().split("\n")
    # Whole, the function takes about 4,000 tokens: it would not fit the smaller budgets at all.
    assert (first, entry["end_line"]) == (93, 496) and first < last < entry["end_line"]
    assert entry["tokens"] <= budget * HEAD_SHARE
    assert entry["context"] == f"runs.py:{first}-{last}\n" + "\n".join(lines[first - 1 : last]) + "\n\n"
    assert -(-len(entry["context"]) // 4) == entry["tokens"]
    # One line more would have passed the share: the head is as long as the share allows.
    longer = f"runs.py:{first}-{last + 1}\n" + "\n".join(lines[first - 1 : last + 1]) + "\n\n"
    assert -(-len(longer) // 4) > budget * HEAD_SHARE
    # The short function beside it comes whole, and so does its source.
    short = next(entry for entry in report["results"] if entry["symbol"] == "merge_two_lists")
    assert short["context_lines"] == [short["start_line"], short["end_line"]]
    assert _long_merge(source)["source"] == "\n".join(lines[first - 1 : last])
    assert report["total_tokens"] <= budget


def test_a_long_function_of_a_file_changed_since_the_refresh_is_counted_whole(tmp_path):
    write_tree(tmp_path, LONG_TREE)
    with quibra.Index(tmp_path, index_file=tmp_path / "index.sqlite", jobs=1) as index:
        fresh = _long_merge(index.rank("merge sorted runs", budget=8_000))
        # The head is read from the file; once it changed, its lines are not the ones the index holds.
        (tmp_path / "runs.py").write_text("\n\n" + (tmp_path / "runs.py").read_text())
        report = index.rank("merge sorted runs", budget=8_000, refresh=False, context=True)
    stale = _long_merge(report)
    assert fresh["context_lines"][1] < fresh["end_line"]
    assert stale["context_lines"] == [stale["start_line"], stale["end_line"]] and stale["context"] is None
    assert stale["tokens"] > 8_000 * HEAD_SHARE
    assert report["stale_files"] == [{"path": "runs.py", "file": "runs.py"}]


@pytest.mark.parametrize("budget", [100, 300, 600])
def test_a_small_budget_leaves_a_short_function_whole(tmp_path, budget):
    # A sixteenth of these budgets is a line or two: too little to stand for a function.
    source = (
        "def frobnicate_widgets(widgets):\n"
        "    kept = [widget for widget in widgets if widget is not None]\n"
        "    return sorted(kept, key=lambda widget: widget.name)\n"
    )
    write_tree(tmp_path, {"widgets.py": source})
    entry = _rank(tmp_path, "frobnicate widgets", budget=budget)["results"][0]  # type: ignore[index]
    assert entry["context_lines"] == [1, 3] and entry["tokens"] > budget * HEAD_SHARE


# The same function in four parts of a project: only the scope a query opens with tells them apart.
COUNT_MATCHES = "def count_matches(lines, pattern):\n    return sum(pattern in line for line in lines)\n"
SCOPED_TREE = {
    **{f"{part}/summary.py": COUNT_MATCHES for part in ("alpha", "fix", "printer", "searcher")},
    "lines/matching.py": COUNT_MATCHES,
}


@pytest.mark.parametrize(
    ("query", "first"),
    [
        ("count the matches", "alpha/summary.py"),  # no scope: the order of the tree
        ("searcher: count the matches", "searcher/summary.py"),
        ("fix(searcher): count the matches", "searcher/summary.py"),
        ("[searcher] count the matches", "searcher/summary.py"),
        ("Searcher: count the matches", "searcher/summary.py"),
        # `fix:` says what kind of change it is, not where.
        ("fix: count the matches", "alpha/summary.py"),
        ("fix(printer): count the matches", "printer/summary.py"),
        # A file named as the scope is in it as well as a folder.
        ("matching: count the matches", "lines/matching.py"),
    ],
)
def test_the_scope_a_query_opens_with_is_a_place_in_the_tree(tmp_path, query, first):
    write_tree(tmp_path, SCOPED_TREE)
    with quibra.Index(tmp_path, index_file=tmp_path / "index.sqlite", jobs=1) as index:
        assert index.rank(query)["results"][0]["path"] == first
        assert index.rank_files(query, refresh=False)["results"][0]["path"] == first


NESTED_TREE = {
    "report.py": (
        "def export_report(rows):\n"
        '    """Export the rows of a report."""\n'
        + "".join(f"    rows = [row for row in rows if row != {number}]\n" for number in range(300))
        + "\n    def format_report_row(row):\n        return str(row)\n\n"
        + "    return [format_report_row(row) for row in rows]\n"
    )
}


def test_heads_leave_every_place_as_it_is_whatever_the_budget(tmp_path):
    files = dict(NESTED_TREE)
    files["summary.py"] = (
        "def summarize_report(rows):\n"
        + "".join(f"    total_{number} = sum(row * {number} for row in rows)\n" for number in range(200))
        + "    return rows\n\n\ndef report_rows(report):\n    return report.rows\n"
    )
    write_tree(tmp_path, files)
    places: dict[str, int] = {}
    for budget in (200, 1_000, 4_000, 100_000):
        for entry in _rank(tmp_path, "export the rows of a report", budget=budget)["results"]:  # type: ignore[attr-defined]
            assert places.setdefault(entry["symbol_id"], entry["rank"]) == entry["rank"], (budget, entry)
    assert len(places) >= 3


@pytest.mark.parametrize("budget", [4_000, 100_000])
def test_a_nested_function_stands_for_the_one_around_it_whatever_the_budget(tmp_path, budget):
    # At 4,000 tokens the outer function would come as its head, which stops
    # before the nested one; it is left out all the same, so that no later
    # result's place depends on the budget.
    write_tree(tmp_path, NESTED_TREE)
    report = _rank(tmp_path, "format a report row to export", budget=budget)
    assert set(_names(report)) == {"export_report.format_report_row"}
    spans = [entry["context_lines"] for entry in report["results"]]  # type: ignore[attr-defined]
    lines = [line for first, last in spans for line in range(first, last + 1)]
    assert len(lines) == len(set(lines))


def _bm25_reference(connection, table, expression, weights, factors, languages, limit):
    """The text channels' order, stated as one query that looks up every matching row's file."""
    from quibra.index.queries import language_clause

    scope, parameters = language_clause(languages)
    weight_list = ", ".join(map(str, weights))
    rows = connection.execute(
        f"SELECT {table}.rowid FROM {table} JOIN symbols ON symbols.id = {table}.rowid"
        f" JOIN files ON files.id = symbols.file_id WHERE {table} MATCH ?{scope}"
        f" ORDER BY bm25({table}, {weight_list}) * (CASE files.role WHEN 1 THEN ? WHEN 2 THEN ? ELSE 1.0 END),"
        " files.path, symbols.line, symbols.key LIMIT ?",
        (expression, *parameters, *factors, limit),
    )
    return [row[0] for row in rows]


@pytest.mark.parametrize("words", ["test assert equal", "read a file line by line", "self", "socket timeout error"])
@pytest.mark.parametrize("factors", [(0.3, 0.3), (0.7, 0.3), (0.0, 1.0), (1.0, 1.0)])
def test_text_channels_score_few_files_yet_keep_the_whole_order(stdlib, words, factors):
    """The rows are scored before their files are looked up; whatever the
    factors (tests sunk to nothing, or not at all), the scope and the depth,
    the order is the one that weighs every matching row's file."""
    import sqlite3

    from quibra.index.queries import bm25_matches
    from quibra.ranking.channels import match_expression
    from quibra.tree.terms import query_terms

    connection = sqlite3.connect(stdlib.index_path)
    try:
        expression = match_expression(query_terms(words))
        assert expression is not None
        for table, weights in (("lexical", (3.0, 1.0, 2.0, 1.0)), ("code", (1.0,))):
            for languages in (None, ["python"], ["go"]):
                for limit in (1, 7, 1000):
                    arguments = (connection, table, expression, weights, factors, languages, limit)
                    assert bm25_matches(*arguments) == _bm25_reference(*arguments), (table, languages, limit)
    finally:
        connection.close()


@pytest.mark.parametrize("words", ["read a file line by line", "socket timeout error", "parse the value of a header"])
@pytest.mark.parametrize("files", [False, True])
def test_channels_on_side_connections_give_the_same_ranking(stdlib, words, files):
    import sqlite3

    from quibra.ranking.channels import Query
    from quibra.ranking.rank import fused_candidates

    connections = [sqlite3.connect(stdlib.index_path, check_same_thread=False) for _ in range(3)]
    try:
        query = Query.parse(words)
        alone = fused_candidates(connections[0], query, files=files)
        beside = fused_candidates(connections[0], query, files=files, sides=connections[1:])
    finally:
        for connection in connections:
            connection.close()
    assert alone.ordered and beside.ordered == alone.ordered


def test_a_failing_side_connection_fails_the_ranking_once_both_threads_end(stdlib):
    import sqlite3
    import threading

    from quibra.ranking.channels import Query
    from quibra.ranking.rank import fused_candidates

    connection, closed, side = (sqlite3.connect(stdlib.index_path, check_same_thread=False) for _ in range(3))
    closed.close()
    before = threading.active_count()
    try:
        with pytest.raises(sqlite3.ProgrammingError):
            fused_candidates(connection, Query.parse("read a file line by line"), sides=[closed, side])
        assert threading.active_count() == before
        # The connection that did not fail is free for the next query.
        assert side.execute("SELECT count(*) FROM symbols").fetchone()[0] > 0
    finally:
        connection.close()
        side.close()


def _stdlib_questions(connection, count):
    """Questions made from the standard library's own names (each spells one,
    `get_event_loop` as "get event loop") and from them with a word more."""
    rows = connection.execute(
        "SELECT DISTINCT name FROM symbols WHERE name LIKE '%\\_%\\_%' ESCAPE '\\' AND name NOT LIKE '\\_%' ESCAPE '\\'"
        " ORDER BY name LIMIT ?",
        (count,),
    ).fetchall()
    spelled = [name.replace("_", " ") for (name,) in rows]
    return spelled + [f"{words} of a file" for words in spelled[::3]]


@pytest.mark.parametrize("languages", [None, ["python"]])
def test_the_name_channel_reads_only_names_that_could_be_given(stdlib, languages, monkeypatch):
    """A name the query does not spell is read only if what its words weigh
    could reach the cut that the best spelled name sets: the channel gives
    what it gives when every name is read, and reads fewer."""
    import sqlite3

    from quibra.index import queries
    from quibra.ranking.channels import Query, identity_channel

    read: list[int] = []
    named_symbols = queries.named_symbols

    def counted(connection, ids, marked, scope):
        ids = set(ids)
        read.append(len(ids))
        return named_symbols(connection, ids, marked, scope)

    monkeypatch.setattr(queries, "named_symbols", counted)
    connection = sqlite3.connect(stdlib.index_path)
    try:
        questions = _stdlib_questions(connection, 120)
        every, fewer = 0, 0
        for question in questions:
            query = Query.parse(question, languages)
            read.clear()
            everything = identity_channel(connection, query, prune=False)
            every += sum(read)
            read.clear()
            assert identity_channel(connection, query) == everything, question
            fewer += sum(read)
    finally:
        connection.close()
    assert len(questions) > 100
    # Spelled names are few on a tree this size; on a kernel they spare most of the reading.
    assert fewer < 0.9 * every


PROTOCOLS = {
    "version.rs": """
pub struct Version { major: u64 }

impl Ord for Version {
    fn cmp(&self, other: &Self) -> Ordering { self.major.cmp(&other.major) }
}

impl Version {
    pub fn bump(&mut self) { self.major += 1 }
}
""",
    "duration.go": """
package duration

type Duration int64

func (d Duration) String() string { return format(int64(d)) }

func (d Duration) Hours() float64 { return float64(d) / 3600 }
""",
    "queue.py": '''
class Queue:
    def __len__(self):
        return len(self.items)

    def __contains__(self, item):
        """Look the item up among the waiting ones."""
        return item in self.items

    def push(self, item):
        self.items.append(item)
''',
}


@pytest.mark.parametrize(
    ("query", "answer"),
    [
        ("compare two versions", "Version::cmp"),
        ("print a duration", "Duration.String"),
        ("how many items the queue holds", "Queue.__len__"),
    ],
)
def test_an_undocumented_protocol_method_is_found_by_what_its_protocol_does(tmp_path, query, answer):
    write_tree(tmp_path, PROTOCOLS)
    lexical = _channel_ranks(_rank(tmp_path, query), "lexical")
    assert lexical.get(answer) == 1, lexical


def test_a_protocol_method_documented_in_place_keeps_its_own_words(tmp_path):
    # `__contains__` says what it does itself; the protocol's words
    # ("membership test") are not added to them.
    write_tree(tmp_path, PROTOCOLS)
    lexical = _channel_ranks(_rank(tmp_path, "a membership test"), "lexical")
    assert lexical.get("Queue.__contains__") is None, lexical


EXTREME_NAMES = """
def element_count(values):
    return len(values)


def max(values):
    return values[-1]


def first_element(values):
    return values[0]
"""


def test_a_superlative_finds_the_extreme_a_name_says(tmp_path):
    write_tree(tmp_path, {"stats.py": EXTREME_NAMES})
    identity = _channel_ranks(_rank(tmp_path, "the largest element"), "identity")
    assert identity["max"] == 1, identity
