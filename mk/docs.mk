# make docs: the site in docs/_build/html, built with warnings as errors (a renamed
# member or a broken reference fails it), tutorials and how-to guides executed, then
# opened in a headless Chromium with no network, README checked as PyPI renders it,
# and the code the pages print run in a clean venv (tests/docs). Included from the
# top-level Makefile.

DOCS_OUT := docs/_build/html

.PHONY: docs docs-html docs-browser docs-code

docs: docs-html docs-browser docs-code

docs-html: $(BIN)/cmake
	$(PY) -m pip install -q --no-build-isolation ".[docs]"
	$(BIN)/sphinx-build -W --keep-going -n -q -b html docs $(DOCS_OUT)

# Debian's browser and its driver, so selenium never downloads one.
docs-browser: docs-html
	@source tools/lib.sh && apt_install_missing chromium chromium-driver
	@$(PYTEST) $(PY) tests/docs/test_site.py tests/docs/test_readme.py

# The printed code of README, getting started and the how-to guides, run in a fresh
# venv holding only a wheel built from this checkout with [studies]: a few minutes.
docs-code: $(BIN)/cmake
	$(PY) -m pip install -q --no-build-isolation ".[docs]"
	@$(PYTEST) $(PY) tests/docs/test_printed_code.py
