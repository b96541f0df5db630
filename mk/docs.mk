# make docs: the site in docs/_build/html, built with warnings as errors (a renamed
# member or a broken reference fails it), tutorials executed, then opened in a
# headless Chromium with no network by tests/docs. Included from the top-level Makefile.

DOCS_OUT := docs/_build/html

.PHONY: docs docs-html docs-browser

docs: docs-html docs-browser

docs-html: $(BIN)/cmake
	$(PY) -m pip install -q --no-build-isolation ".[docs]"
	$(BIN)/sphinx-build -W --keep-going -n -q -b html docs $(DOCS_OUT)

# Debian's browser and its driver, so selenium never downloads one.
docs-browser: docs-html
	@source tools/lib.sh && apt_install_missing chromium chromium-driver
	@$(PYTEST) $(PY) tests/docs
