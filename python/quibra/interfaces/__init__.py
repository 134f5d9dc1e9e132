"""The interfaces: one API and the ways people and agents reach it.

Owns `quibra.Index` (`api`), the command line (`cli`: its parser, its
renderers and its main), the tables and the progress bar it prints
(`table`, `progress`) and the MCP server for coding agents (`mcp_server`).
Each is a thin layer over `api`.

May import every layer below: the ranking, the index and the reading layer.
"""
