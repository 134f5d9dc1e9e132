"""Reading trees: what a tree holds, read safely.

Owns which files a tree has (`walk`, with git's answers through `git`), the
one way to open a file of the tree (`files`), the readers of each language
(`languages`), the terms that both the index and the ranking make of text
(`terms`), how its names and text show on one line (`text`), the choice of
files a report covers (`selection`) and the content-hash manifest of
`quibra hash` (`manifest`).

May import the engine and outside libraries only: nothing of the index, the
ranking or the interfaces.
"""
