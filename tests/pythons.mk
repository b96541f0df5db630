# `make test-pythons`: builds the package and runs the whole suite on every
# CPython from 3.11 up that pyenv holds, the newest patch release of each minor
# version, each in its own .venv-3.X. `make test-python-3.12` runs one of them.
# Included from the top-level Makefile, after BUILD_TOOLS is defined.

PYENV_VERSIONS ?= $(or $(PYENV_ROOT),$(HOME)/.pyenv)/versions
# Plain releases only (3.12.1, not 3.13.0t or 3.14.0a1).
PYTHON_MINORS := $(shell ls $(PYENV_VERSIONS) 2>/dev/null \
    | grep -E '^3\.[0-9]+\.[0-9]+$$' | awk -F. '$$2 >= 11 {print $$1 "." $$2}' | sort -uV)

.PHONY: test-pythons $(addprefix test-python-,$(PYTHON_MINORS))

test-pythons: $(addprefix test-python-,$(PYTHON_MINORS))
	@test -n "$(PYTHON_MINORS)" || { echo "no CPython 3.11+ under $(PYENV_VERSIONS)"; exit 1; }

$(addprefix test-python-,$(PYTHON_MINORS)): test-python-%:
	@interpreter=$$(ls -d $(PYENV_VERSIONS)/$*.* | grep -E '/$(subst .,\.,$*)\.[0-9]+$$' | sort -V | tail -n 1)/bin/python3 \
	&& echo "== $$($$interpreter --version) in .venv-$*" \
	&& { test -x .venv-$*/bin/python || $$interpreter -m venv .venv-$*; } \
	&& .venv-$*/bin/python -m pip install -q --upgrade pip $(BUILD_TOOLS) \
	&& .venv-$*/bin/python -m pip install -q --no-build-isolation ".[test]" \
	&& .venv-$*/bin/python -m pytest -q -p no:cacheprovider
