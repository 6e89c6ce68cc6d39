"""The helpers that the tests, the site and the checking programs import: reading the interface
records out of the built library (elf, make_stub), the prose of docs/api (api_prose) and every
entry point with arguments for it (entry_points). Found through configuration: pytest's
`pythonpath` and docs/conf.py put tools/ on the path."""
