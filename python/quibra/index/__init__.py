"""The index: one SQLite file per tree, and the work that keeps it fresh.

Owns the schema and the opening of the file (`storage`), every SQL
statement of the host (`queries` for reads, `writer` for writes), where an
index lives (`location`), the refresh that brings it up to date (`refresh`,
with what it must read again in `changes`) and the per-file work of its
workers (`extract`, `workers`, `cluster`).

May import the reading layer (`quibra.tree`) and the engine: nothing of the
ranking or the interfaces.
"""
