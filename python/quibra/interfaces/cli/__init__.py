"""The `quibra` command: its entry point (`main`), its parser (`parser`),
what it prints (`render`) and how it runs a command (`command`), over
`quibra.Index`."""
