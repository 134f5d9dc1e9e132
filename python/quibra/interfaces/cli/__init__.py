"""The `quibra` command: its parser (`parser`), what it prints (`render`)
and how it runs a command (`main`), over `quibra.Index`."""
