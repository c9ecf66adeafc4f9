# Each target builds its own virtual environment, so a fresh machine with Python 3.11+
# and a C++20 compiler needs nothing else. Override the interpreter with PYTHON=...
PYTHON ?= python3
VENV ?= .venv
VENV_PYTHON := $(VENV)/bin/python

.PHONY: demo test bench clean

$(VENV_PYTHON):
	$(PYTHON) -m venv $(VENV)

# Installs the module into the virtual environment and runs the main example.
demo: $(VENV_PYTHON)
	$(VENV_PYTHON) -m pip install .
	$(VENV_PYTHON) examples/quickstart.py

# Installs the module with its test dependencies and runs the whole suite.
test: $(VENV_PYTHON)
	$(VENV_PYTHON) -m pip install '.[test]'
	$(VENV_PYTHON) -m pytest -q

# Runs every benchmark script; each prints its figures against a NumPy baseline.
bench: $(VENV_PYTHON)
	$(VENV_PYTHON) -m pip install .
	@set -e; for script in benchmarks/*.py; do \
		echo "== $$script"; \
		$(VENV_PYTHON) $$script; \
	done

clean:
	rm -rf $(VENV) build _skbuild dist .pytest_cache .hypothesis
