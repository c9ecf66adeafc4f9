# Each target builds its own virtual environment, so a fresh machine with Python 3.11+
# and a C++20 compiler needs nothing else. Override the interpreter with PYTHON=...
PYTHON ?= python3
VENV ?= .venv
VENV_PYTHON := $(VENV)/bin/python

# Where `make demo` writes the synthetic export, the recommendation and the report.
DEMO_DIR ?= demo

.PHONY: demo quickstart test dev lint bench clean

# The build tools live in the environment, not in a fresh isolated one per install, so every
# install reuses the kept build folder (build/) and recompiles only what changed.
INSTALL := $(VENV_PYTHON) -m pip install --no-build-isolation

BUILD_TOOLS := $(VENV)/.build-tools

$(VENV_PYTHON):
	$(PYTHON) -m venv $(VENV)

$(BUILD_TOOLS): $(VENV_PYTHON)
	$(VENV_PYTHON) -m pip install 'scikit-build-core>=0.11' 'numpy>=2' cmake ninja
	touch $@

# Installs velmar, writes a synthetic FOCUS export with its price file and an existing
# savings plan, then recommends a portfolio for it: prints the table and the report's path.
demo: $(BUILD_TOOLS)
	$(INSTALL) --quiet .
	$(VENV)/bin/velmar demo-data $(DEMO_DIR)
	$(VENV)/bin/velmar recommend --export $(DEMO_DIR)/export.parquet --prices $(DEMO_DIR)/prices.csv \
		--existing $(DEMO_DIR)/existing.csv --json $(DEMO_DIR)/recommendation.json --report $(DEMO_DIR)/report.html

# Installs velmar and runs the extension module's own example.
quickstart: $(BUILD_TOOLS)
	$(INSTALL) .
	$(VENV_PYTHON) examples/quickstart.py

# Installs the module with its test dependencies and runs the whole suite.
test: $(BUILD_TOOLS)
	$(INSTALL) '.[test]'
	$(VENV_PYTHON) -m pytest -q

# Editable install for development: every import rebuilds what changed in the C++ sources
# (in build/, kept between builds), so a change to one file costs seconds.
dev: $(BUILD_TOOLS)
	$(INSTALL) -Ceditable.rebuild=true -e '.[test,lint]'

# The static checks of CI: formatting, lint, type stub and strict typing.
lint: $(BUILD_TOOLS)
	$(INSTALL) '.[test,lint]'
	PATH="$(abspath $(VENV))/bin:$$PATH" bash .ci/lint

# Runs every benchmark script; each prints its figures against a NumPy baseline.
bench: $(BUILD_TOOLS)
	$(INSTALL) .
	@set -e; for script in benchmarks/*.py; do \
		echo "== $$script"; \
		$(VENV_PYTHON) $$script; \
	done

clean:
	rm -rf $(VENV) build _skbuild dist .pytest_cache .hypothesis $(DEMO_DIR)
