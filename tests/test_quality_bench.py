"""The retrieval-quality benchmark's own logic: blanking docstrings without
moving a line, turning docstrings into queries, finding hand-written answers,
and the peers' text analysis. (The figures themselves are the benchmark's
output, not something a test pins down.)"""

import ast
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import quality
from quality_corpus import (
    CORPORA,
    CorpusError,
    blank_docstrings,
    copy_corpus,
    docstring_queries,
    first_sentence,
    query_from_docstring,
    read_symbols,
    resolve_answer,
    write_blanked_copy,
)

BENCH = Path(__file__).resolve().parent.parent / "bench"

BLANKING_CASES = {
    "module, class, method and nested function": '''\
        """Module docstring
        over two lines."""
        import functools

        @functools.total_ordering
        class Spam:
            """Class docstring."""

            def eggs(self):
                """Method docstring.

                With a second paragraph.
                """
                def inner():
                    """Nested docstring."""
                    return "kept literal"
                return inner()
        ''',
    "docstring on the def line with a statement after it": """\
        def f(): "One-line docstring"; return "kept literal"
        """,
    "implicit concatenation in parentheses": """\
        def f():
            (
                "first part "
                "second part"
            )
            return "kept literal"
        """,
    "backslash continuation and a prefix": '''\
        async def f():
            u"""first part """ \\
            """second part"""
            return "kept literal"
        ''',
    "non-ASCII text before and inside the docstring": """\
        class Ünïcode: "Dölçe docstring"; x = "kept literal é"
        """,
    "string after the first statement is not a docstring": """\
        def f():
            x = 1
            "kept literal"
            return x
        """,
}


def _definitions(source):
    return [
        (node.name, node.lineno, node.end_lineno)
        for node in ast.walk(ast.parse(source))
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef))
    ]


def _docstrings(source):
    module = ast.parse(source)
    owners = [
        module,
        *(n for n in ast.walk(module) if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef))),
    ]
    return [ast.get_docstring(owner) for owner in owners]


@pytest.mark.parametrize("source", BLANKING_CASES.values(), ids=BLANKING_CASES.keys())
def test_blanking_keeps_lines_and_code_and_empties_every_docstring(source):
    source = textwrap.dedent(source)
    blanked = blank_docstrings(source)
    assert _definitions(blanked) == _definitions(source)
    assert blanked.count("\n") == source.count("\n")
    assert not any(_docstrings(blanked))
    assert "docstring" not in blanked.lower() and "part" not in blanked
    assert blanked.count("kept literal") == source.count("kept literal") == 1


def test_blanked_code_still_runs_the_same():
    source = textwrap.dedent(BLANKING_CASES["docstring on the def line with a statement after it"])
    namespace = {}
    exec(compile(blank_docstrings(source), "<blanked>", "exec"), namespace)
    assert namespace["f"]() == "kept literal" and namespace["f"].__doc__ == ""


def test_blanked_copy_keeps_each_files_encoding_and_line_numbers(tmp_path):
    original = tmp_path / "original"
    original.mkdir()
    latin = '# -*- coding: latin-1 -*-\r\ndef f():\r\n    """Déjà vu\r\n    text."""\r\n    return "café"\r\n'
    (original / "latin.py").write_bytes(latin.encode("latin-1", errors="replace"))
    (original / "notes.txt").write_text("not Python")
    write_blanked_copy(original, tmp_path / "blanked")
    blanked = (tmp_path / "blanked" / "latin.py").read_bytes()
    assert "café".encode("latin-1") in blanked
    assert [symbol.line for symbol in read_symbols(tmp_path / "blanked")] == [2]
    assert (tmp_path / "blanked" / "notes.txt").read_text() == "not Python"


def test_blanked_copy_refuses_a_file_that_does_not_parse(tmp_path):
    (tmp_path / "original").mkdir()
    (tmp_path / "original" / "broken.py").write_text("def f(:\n")
    with pytest.raises(CorpusError, match="broken.py"):
        write_blanked_copy(tmp_path / "original", tmp_path / "blanked")


@pytest.mark.parametrize("corpus", CORPORA, ids=lambda corpus: corpus.name)
def test_every_corpus_of_this_python_blanks_cleanly(corpus, tmp_path):
    copy_corpus(corpus, tmp_path / "original")
    write_blanked_copy(tmp_path / "original", tmp_path / "blanked")
    assert read_symbols(tmp_path / "blanked") == read_symbols(tmp_path / "original")


@pytest.mark.parametrize(
    ("docstring", "sentence"),
    [
        ("Return the sum of a and b.\n\nMore text.", "Return the sum of a and b."),
        ("Return the first\n    line, joined up. Second sentence.", "Return the first line, joined up."),
        ("Split at e.g. commas or i.e. separators. Then more.", "Split at e.g. commas or i.e. separators."),
        ("Is this logger enabled for that level? Yes.", "Is this logger enabled for that level?"),
        ("Call os.stat() on the path and return it\n\nDetails.", "Call os.stat() on the path and return it"),
    ],
)
def test_first_sentence(docstring, sentence):
    assert first_sentence(docstring) == sentence


@pytest.mark.parametrize(
    ("docstring", "accepted"),
    [
        ("Return the parsed value.", True),  # four words
        ("Return parsed value.", False),  # three
        (" ".join(["word"] * 30) + ".", True),
        (" ".join(["word"] * 31) + ".", False),
        ("Return the value -- of ``x`` -- now.", True),  # dashes are not words
        ("add_argument(dest, ..., name=value, ...) and more words", False),
        ("attrtext = 1*(any non-ATTRIBUTE_ENDS character)", False),
        ('message-id = "Message-ID:" msg-id CRLF', False),
    ],
)
def test_query_from_docstring_keeps_prose_of_four_to_thirty_words(docstring, accepted):
    assert (query_from_docstring(docstring) is not None) == accepted


def _write_tree(root, files):
    for path, text in files.items():
        (root / path).parent.mkdir(parents=True, exist_ok=True)
        (root / path).write_text(textwrap.dedent(text))


def test_docstring_queries_come_from_functions_outside_tests_with_one_answer(tmp_path):
    _write_tree(
        tmp_path,
        {
            "pkg/core.py": '''\
                class Box:
                    """A class gives no query of its own."""

                    @staticmethod
                    def open_lid(force):
                        """Open the lid of the box."""

                def shared_one():
                    """Return the shared sentence here."""

                def shared_two():
                    """return the SHARED sentence here."""
                ''',
            "pkg/tests/helpers.py": 'def helper():\n    """Build a box for the tests."""\n',
            "pkg/test_core.py": 'def test_open():\n    """Check that the lid opens."""\n',
        },
    )
    queries = docstring_queries(tmp_path)
    assert [(q.text, q.answer.path, q.answer.qualname, q.answer.line) for q in queries] == [
        ("Open the lid of the box.", "pkg/core.py", "Box.open_lid", 5)
    ]
    assert queries[0].answer.start_line == 4


def test_resolve_answer_finds_module_files_and_every_definition_of_a_qualname(tmp_path):
    _write_tree(
        tmp_path,
        {
            "pkg/__init__.py": "def load():\n    pass\n",
            "pkg/sub/mod.py": textwrap.dedent("""\
                class Thing:
                    @property
                    def size(self):
                        return 1

                    @size.setter
                    def size(self, value):
                        pass
                """),
        },
    )
    symbols = read_symbols(tmp_path)
    assert [(s.path, s.line) for s in resolve_answer("pkg.load", symbols)] == [("pkg/__init__.py", 1)]
    assert [s.line for s in resolve_answer("pkg.sub.mod.Thing.size", symbols)] == [3, 7]
    assert resolve_answer("pkg.sub.mod.Thing.missing", symbols) == []
    assert resolve_answer("other.load", symbols) == []


def test_every_navigational_query_has_an_answer_in_this_python(tmp_path):
    for corpus in CORPORA:
        copy_corpus(corpus, tmp_path / corpus.name)
        symbols = read_symbols(tmp_path / corpus.name)
        for text, answers in quality.NAVIGATIONAL_QUERIES[corpus.name]:
            assert any(resolve_answer(answer, symbols) for answer in answers), (corpus.name, text)


@pytest.mark.parametrize(
    ("text", "split"),
    [
        ("getUserName", "get User Name"),
        ("parse_args", "parse args"),
        ("__init__", "  init  "),
        ("HTTPServer", "HTTPServer"),
        ("plain words", "plain words"),
    ],
)
def test_split_identifiers(text, split):
    assert quality.split_identifiers(text) == split


def test_only_the_splitting_peer_matches_words_inside_compound_names(tmp_path):
    _write_tree(
        tmp_path,
        {"m.py": "def getUserName(record):\n    return record\n\ndef other(value):\n    return value\n"},
    )
    symbols = read_symbols(tmp_path)
    sources = ["def getUserName(record):\n    return record", "def other(value):\n    return value"]
    plain = quality.Bm25Ranker("bm25s", symbols, sources, split=False)
    splitting = quality.Bm25Ranker("bm25s+split", symbols, sources, split=True)
    assert plain.search("user name") == []
    assert splitting.search("user name") == [("m.py", 1)]
    assert splitting.search("the of and") == []


def test_sample_is_deterministic_and_keeps_order():
    queries = [quality.Query(str(i), frozenset(), "") for i in range(50)]
    first = quality.sample(queries, 10, "0/email/docstring")
    assert first == quality.sample(queries, 10, "0/email/docstring")
    assert [int(q.text) for q in first] == sorted(int(q.text) for q in first)
    assert quality.sample(queries, 60, "0/email/docstring") == queries


def test_missing_quibra_api_ends_the_run_with_one_line(tmp_path):
    (tmp_path / "quibra").mkdir()
    (tmp_path / "quibra" / "__init__.py").write_text("")
    result = subprocess.run(
        [sys.executable, str(BENCH / "quality.py"), "--corpus", "http", "--limit", "1"],
        capture_output=True,
        text=True,
        check=False,
        env={"PYTHONPATH": str(tmp_path), "PATH": "/usr/bin:/bin"},
    )
    assert result.returncode == 2
    assert result.stderr.strip().count("\n") == 0 and "quibra.Index" in result.stderr
