"""The helpers that the tests, the site and the checking programs import: reading the interface
records out of the built library (elf, make_stub) and what is derived from them (record_check,
stub_allowlist), the prose of docs/api (api_prose), every entry point with arguments for it
(entry_points) and what the golden-result generators share (golden). Found through
configuration: pytest's `pythonpath` and docs/conf.py put tools/ on the path; the programs in
tools/ put it there themselves."""
