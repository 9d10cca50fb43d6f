# One command each: make demo, make test, make bench. Every target does its own set-up.
PYTHON ?= python3
VENV   := .venv
PY     := $(VENV)/bin/python
JOBS   ?= 2
SYSTEM_PACKAGES := g++ libssl-dev libgtest-dev libipsec-mb-dev zlib1g-dev
# age 1.1.1: the age interoperability tests and the age benchmark call it.
SYSTEM_PACKAGES += age
ENGINE_BUILD := build/engine
export PATH := $(abspath $(VENV))/bin:$(PATH)

.PHONY: all system venv install engine engine-test pytest doctest docs test typecheck demo bench bench-files bench-age bench-data bench-signed clean wheel wheel-check \
        sanitize fuzz fuzz-ci fuzz-build ct soak soak-ci leaks leaks-ci sweep harden-ci

all: install

system:
	@scripts/bootstrap.sh $(SYSTEM_PACKAGES)

$(VENV)/.ready: requirements-dev.txt
	@$(MAKE) --no-print-directory system
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt
	@touch $@

venv: $(VENV)/.ready

# The distribution is velora-pq; an environment that still has the package under
# its old distribution name (velora) drops that first, so that one owner remains.
install: venv
	@if $(PY) -m pip show -q velora >/dev/null 2>&1; then $(PY) -m pip uninstall -q -y velora; fi
	$(PY) -m pip install -q --no-build-isolation .

engine: venv
	cmake -S . -B $(ENGINE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DVELORA_BUILD_MODULE=OFF -DVELORA_BUILD_TESTS=ON -DPython_EXECUTABLE=$(abspath $(PY))
	cmake --build $(ENGINE_BUILD) -j $(JOBS)

engine-test: engine
	cd $(ENGINE_BUILD) && ctest --output-on-failure -j $(JOBS)

pytest: install
	$(PY) -m pytest -q tests

test: engine-test pytest doctest typecheck docs

# Every example of the documentation runs: the >>> examples as doctests, the
# ```python blocks of each page as one program, the ```console blocks as
# command lines with their output (docs/conftest.py); and the >>> examples in
# the docstrings of the front door (velora.api), as installed.
doctest: install
	$(PY) -m pytest -q -p no:cacheprovider --doctest-modules --deselect docs/guide/data.md::python --pyargs docs velora.api velora.types

# The documentation under docs/ (Markdown through MyST, the API reference by
# autodoc from the installed package), warnings as errors; in build/docs/html.
DOCS_BUILD := build/docs
docs: install
	$(PY) -m pip install -q -r requirements-docs.txt
	$(PY) -m sphinx -W --keep-going -q -b html docs $(DOCS_BUILD)/html
	@echo "docs: $(DOCS_BUILD)/html/index.html"

# mypy --strict over the package sources, then over the ```python blocks of
# the README and of each page of docs/ that has some, as a user's code sees the
# installed package (line numbers are the page's; scripts/readme_examples.py).
# The data guide's pages call pandas, pyarrow, fsspec and Dask, which ship no
# types: on the docs pages their imports and calls are taken as untyped.
TYPECHECK_DIR := build/typecheck
DOC_PAGES_WITH_PYTHON = $(shell grep -rl '^```python' docs --include='*.md')
typecheck: install
	cd python && $(abspath $(VENV))/bin/mypy --strict --cache-dir $(abspath $(TYPECHECK_DIR))/cache -p velora
	$(PY) scripts/readme_examples.py README.md $(TYPECHECK_DIR)/README.py
	cd $(TYPECHECK_DIR) && $(abspath $(VENV))/bin/mypy --strict --cache-dir cache README.py
	@set -e; for page in $(DOC_PAGES_WITH_PYTHON); do \
	  out=$(TYPECHECK_DIR)/docs/$$(echo $$page | tr / _ | sed 's/\.md$$/.py/'); \
	  $(PY) scripts/readme_examples.py $$page $$out; \
	  (cd $(TYPECHECK_DIR)/docs && $(abspath $(VENV))/bin/mypy --strict --ignore-missing-imports --allow-untyped-calls \
	    --cache-dir ../cache $$(basename $$out)); \
	done

demo: install
	$(PY) scripts/demo.py

# pqcrypto is a peer column only: when it does not install here, the table says so.
bench: install
	$(PY) -m pip install -q -r requirements-bench.txt
	@$(PY) -m pip install -q pqcrypto || echo "bench: pqcrypto did not install; its column will say so"
	$(PY) bench/run.py
	$(PY) bench/mldsa_bench.py
	@scripts/bootstrap.sh age time
	$(PY) bench/file_bench.py $(BENCH_FILES_ARGS)
	$(PY) bench/age_bench.py
	$(PY) bench/data_bench.py $(BENCH_DATA_ARGS)

# make bench-files and make bench-age run one of the file benchmarks alone.
# velora encrypt / decrypt against Debian's age on a 1 GiB file (bench/file_bench.py); --formats adds the
# velora format's version 1 against version 2, a 1,000-recipient header and rewrap against re-encryption.
BENCH_FILES_ARGS ?= --formats
bench-files: install
	@scripts/bootstrap.sh age
	$(PY) bench/file_bench.py $(BENCH_FILES_ARGS)

# Signed against unsigned velora files: decrypt_file of 1 GiB from a path and from a pipe, wall, CPU and
# peak RSS (bench/signed_bench.py; BENCH_SIGNED_ARGS, e.g. --size-mib 256 --rounds 3).
BENCH_SIGNED_ARGS ?=
bench-signed: install
	$(PY) bench/signed_bench.py $(BENCH_SIGNED_ARGS)

# age-format files against age 1.1.1: 1 GiB encrypt/decrypt, wall time and peak RSS.
# BENCH_AGE_MIB and BENCH_AGE_ROUNDS change the size and the rounds.
bench-age: install
	@scripts/bootstrap.sh time
	$(PY) bench/age_bench.py

# velora files read the way data tools read them: a Parquet column through velora::file://
# against file://, 4 KiB random reads, decrypt_file on 1 and 2 threads, the reader's peak RSS.
BENCH_DATA_ARGS ?=
bench-data: install
	$(PY) bench/data_bench.py $(BENCH_DATA_ARGS)

clean:
	rm -rf build dist $(VENV)

# ---- distribution: sdist and wheel --------------------------------------------
# make wheel: an sdist and a wheel (python -m build: the wheel is built from the
# sdist), the wheel repaired by auditwheel (the shared libraries it needs, i.e.
# libcrypto and ipsec-mb, bundled; its manylinux tag), checked with abi3audit
# (abi3: one wheel for CPython 3.11 and later) and twine. Results in dist/.
# make wheel-check: that wheel in a fresh virtual environment, nothing else of
# the project on the path, with scripts/wheel_smoke.py (every CPython 3.11+ found).
DIST := dist
WHEEL_BUILD := build/wheel
wheel: venv
	$(PY) -m pip install -q -r requirements-wheel.txt
	rm -rf $(WHEEL_BUILD) $(DIST)
	$(PY) -m build --outdir $(WHEEL_BUILD) .
	auditwheel repair --wheel-dir $(DIST) $(WHEEL_BUILD)/velora_pq-*.whl
	cp $(WHEEL_BUILD)/velora_pq-*.tar.gz $(DIST)/
	abi3audit --strict --summary $(DIST)/velora_pq-*.whl
	twine check --strict $(DIST)/*
	@ls -l $(DIST)

wheel-check: wheel
	scripts/wheel_check.sh $(DIST) $(PYTHON)

# ---- hardening: sanitizers, fuzzing, constant time, soak, leaks -------------
# Each check has a full form (make sanitize / fuzz / ct / soak / leaks) and a
# short one; `make harden-ci` runs the short forms (CI: after `make test`).
SAN_BUILD  := build/sanitize
FUZZ_BUILD := build/fuzz
CT_BUILD   := build/ct
# Only these targets need them; each installs its own when missing.
FUZZ_PACKAGES     := clang-16 libclang-rt-16-dev
VALGRIND_PACKAGES := valgrind
FUZZ_SECONDS    ?= 600
FUZZ_CI_SECONDS ?= 20
SOAK_SECONDS    ?= 60
SOAK_CI_SECONDS ?= 3
LEAK_CALLS      ?= 100000
LEAK_CI_CALLS   ?= 10000

# The extension and the engine tests with ASan + UBSan; the engine tests and
# the whole pytest suite run under them (the .venv install is not touched).
sanitize: venv
	cmake -S . -B $(SAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELORA_SANITIZE=ON \
	  -DVELORA_BUILD_MODULE=ON -DVELORA_BUILD_TESTS=ON -DPython_EXECUTABLE=$(abspath $(PY))
	cmake --build $(SAN_BUILD) -j $(JOBS)
	scripts/sanitize_run.sh $(SAN_BUILD) $(PY)

# libFuzzer targets (clang) for every parser and decryptor of the engine.
fuzz-build: venv
	@scripts/bootstrap.sh $(FUZZ_PACKAGES)
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELORA_FUZZ=ON \
	  -DVELORA_BUILD_MODULE=OFF -DCMAKE_CXX_COMPILER=clang++-16
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

fuzz: fuzz-build
	scripts/fuzz_run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

fuzz-ci: fuzz-build
	scripts/fuzz_run.sh $(FUZZ_BUILD) $(FUZZ_CI_SECONDS)

# valgrind memcheck with every secret marked undefined.
ct: venv
	@scripts/bootstrap.sh $(VALGRIND_PACKAGES)
	cmake -S . -B $(CT_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-g -DVELORA_CT=ON \
	  -DVELORA_BUILD_MODULE=OFF
	cmake --build $(CT_BUILD) -j $(JOBS)
	scripts/ct_check.sh $(CT_BUILD)

# 8 threads on shared key pairs and shared / private stream handles.
soak: install
	VELORA_SOAK_SECONDS=$(SOAK_SECONDS) $(PY) -m pytest -q -s -p no:cacheprovider -m soak tests

soak-ci: install
	VELORA_SOAK_SECONDS=$(SOAK_CI_SECONDS) $(PY) -m pytest -q -s -p no:cacheprovider -m soak tests

# valgrind over a loop of every API, then RSS and object counts over many calls.
leaks: install
	@scripts/bootstrap.sh $(VALGRIND_PACKAGES)
	scripts/leak_check.sh $(PY) $(LEAK_CALLS)

leaks-ci: install
	@scripts/bootstrap.sh $(VALGRIND_PACKAGES)
	scripts/leak_check.sh $(PY) $(LEAK_CI_CALLS)

# The bad-input sweep alone (it is part of `make pytest` too).
sweep: install
	$(PY) -m pytest -q -p no:cacheprovider tests/test_bad_input_sweep.py

harden-ci: sanitize fuzz-ci ct soak-ci leaks-ci
