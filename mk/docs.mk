# The documentation site (Sphinx with numpydoc and MyST): the README as the guide, the API
# reference from the docstrings, the benchmark tables of bench/RESULTS.md (and their history,
# bench/HISTORY.md) and the plots, drawn
# by the installed package. Warnings are errors. CI builds it after the tests.
#   make docs        installs the `docs` extra, then writes build/docs/index.html
DOCS_OUT := build/docs

.PHONY: docs docs-steps
docs:
	@$(STEP) --begin
	@$(MAKE) --no-print-directory docs-steps EXTRAS=docs,plot
	@$(STEP) --summary

docs-steps: install
	@$(STEP) "building the documentation site in $(DOCS_OUT)" \
		$(VPY) -m sphinx -W --keep-going -q -E -b html docs $(DOCS_OUT)
