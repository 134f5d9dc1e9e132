"""What the methods that a language's standard protocols name do.

`impl Ord for Prerelease { fn cmp(...) }`, Python's `__contains__` and Go's
`String() string` are rarely documented where they are written: their
documentation is the protocol's own, in the language's standard library.
Someone who asks for "compare pre-release identifiers" or "the text form of
a duration" means them all the same. A method of one of these names that
has no documentation of its own is indexed with the protocol's, in a few
words (the index's doc field only: what a result shows is the code's own).

The words paraphrase the first sentence of each method's documentation in
the language's standard library.
"""

from __future__ import annotations

from collections.abc import Mapping

from quibra.tree.languages.model import Symbol

_OPERATORS = {
    "add": "add: the + operator, a sum",
    "sub": "subtract: the - operator, a difference",
    "mul": "multiply: the * operator, a product",
    "div": "divide: the / operator, a quotient",
    "neg": "negate: the unary - operator",
}

# Rust's standard traits, by the name of the method an `impl` writes.
_RUST = {
    "cmp": "compare two values: a total order (Ord)",
    "partial_cmp": "compare two values: a partial order (PartialOrd)",
    "eq": "whether two values are equal (PartialEq)",
    "ne": "whether two values are not equal",
    "fmt": "format the value as text, for display or debugging (Display, Debug)",
    "from_str": "parse a value from a string (FromStr)",
    "from_iter": "create a value from the elements of an iterator: collect (FromIterator)",
    "into_iter": "an iterator over the elements (IntoIterator)",
    "next": "advance the iterator and return the next element (Iterator)",
    "next_back": "the next element from the back of a double-ended iterator",
    "size_hint": "bounds on how many elements the iterator has left",
    "hash": "feed the value into a hasher (Hash)",
    "clone": "a copy of the value (Clone)",
    "default": "the default value of the type (Default)",
    "drop": "destructor: clean up when the value goes out of scope (Drop)",
    "deref": "dereference to the value held inside (Deref)",
    "deref_mut": "dereference mutably to the value held inside (DerefMut)",
    "from": "convert from another type (From)",
    "try_from": "convert from another type, which may fail (TryFrom)",
    "as_ref": "borrow as a reference to another type (AsRef)",
    "index": "the element at an index or key: the [] operator (Index)",
    "index_mut": "the element at an index or key, mutably (IndexMut)",
    "extend": "add the elements of an iterator to a collection (Extend)",
    "source": "the lower-level error that caused this one (Error)",
    "poll": "poll the future: attempt to resolve it to a value (Future)",
    **_OPERATORS,
}

# Python's special methods.
_PYTHON = {
    "__eq__": "whether two objects are equal: the == operator",
    "__ne__": "whether two objects are not equal: the != operator",
    "__lt__": "compare: whether less than, the < operator",
    "__le__": "compare: whether less than or equal, the <= operator",
    "__gt__": "compare: whether greater than, the > operator",
    "__ge__": "compare: whether greater than or equal, the >= operator",
    "__hash__": "the hash value of the object",
    "__len__": "the length: how many items the container holds",
    "__iter__": "an iterator over the items",
    "__next__": "the next item of the iterator",
    "__reversed__": "an iterator over the items in reverse order",
    "__contains__": "membership test: whether an item is in the container",
    "__getitem__": "get the item at an index or key: subscript",
    "__setitem__": "set the item at an index or key",
    "__delitem__": "delete the item at an index or key",
    "__enter__": "enter the context of a with statement (context manager)",
    "__exit__": "exit the context of a with statement, cleaning up (context manager)",
    "__aenter__": "enter the context of an async with statement",
    "__aexit__": "exit the context of an async with statement, cleaning up",
    "__call__": "call the object as a function",
    "__repr__": "the representation of the object as a string, for debugging",
    "__str__": "the object as a readable string",
    "__format__": "format the object as a string, as a format string's field asks for it",
    "__bool__": "the truth value of the object",
    "__copy__": "a shallow copy of the object",
    "__deepcopy__": "a deep copy of the object",
    "__await__": "an iterator that awaiting the object runs",
    "__aiter__": "an asynchronous iterator over the items",
    "__anext__": "the next item of the asynchronous iterator",
    **{f"__{name}__": text for name, text in _OPERATORS.items() if name != "div"},
    "__truediv__": _OPERATORS["div"],
}

# Go's standard interfaces.
_GO = {
    "String": "the value as a string, for printing (fmt.Stringer)",
    "GoString": "the value as Go syntax, for printing (fmt.GoStringer)",
    "Error": "the error message (error)",
    "Unwrap": "the error that this one wraps",
    "Len": "how many elements the collection holds (sort.Interface)",
    "Less": "compare: whether element i sorts before element j (sort.Interface)",
    "Swap": "swap the elements at i and j (sort.Interface)",
    "ServeHTTP": "handle an HTTP request and write the response (http.Handler)",
}

_BY_LANGUAGE: Mapping[str, Mapping[str, str]] = {"rust": _RUST, "python": _PYTHON, "go": _GO}


def protocol_doc(language: str, symbol: Symbol) -> str:
    """The documentation of the standard protocol that `symbol` implements,
    where it is a method of such a name without documentation of its own;
    otherwise ""."""
    if symbol.docstring or symbol.kind != "method":
        return ""
    return _BY_LANGUAGE.get(language, {}).get(symbol.name, "")
