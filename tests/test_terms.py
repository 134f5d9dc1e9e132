"""Index and query terms: inflections of one word meet on one term."""

import collections
import sysconfig
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import strategies as st
from quibra.tree.terms import counted_terms, fold, query_terms, text_terms

# The host's tests: the sanitizer build of the engine skips them (tools/sanitize).
pytestmark = pytest.mark.host


@pytest.mark.parametrize(
    ("documented", "named"),
    [
        ("Parses the header", "parse_header"),
        ("Replaces every match", "replace_all"),
        ("Sets the month value", "setMonth"),
        ("Uses the cache", "use_cache"),
        ("Creates a function that negates", "negate"),
        ("Writes the values", "write_value"),
    ],
)
def test_third_person_verbs_meet_their_base_form(documented, named):
    shared = set(query_terms(documented)) & set(text_terms(named))
    assert shared, (query_terms(documented), text_terms(named))


@pytest.mark.parametrize("word", ["pass", "class", "is", "go", "bee", "address", "bus"])
def test_fold_leaves_double_s_and_short_words_alone(word):
    assert fold(word) == word


def test_repeated_words_keep_their_count_and_folds_come_once():
    terms = text_terms("parse parse parse")
    assert terms.count("parse") == 3 and terms.count("pars") == 1


@pytest.mark.parametrize("name", ["json/decoder.py", "email/_header_value_parser.py", "shutil.py"])
def test_the_indexed_terms_of_real_code_are_the_terms_in_another_order(name):
    text = (Path(sysconfig.get_paths()["stdlib"]) / name).read_text(encoding="utf-8")
    assert collections.Counter(counted_terms(text)) == collections.Counter(text_terms(text))


@given(st.lists(st.sampled_from(["parse", "pars", "parses", "sets", "set", "use", "uses", "class", "getValue", "x_y"])))
def test_the_indexed_terms_are_the_terms_in_another_order(words):
    text = " ".join(words)
    assert collections.Counter(counted_terms(text)) == collections.Counter(text_terms(text))
