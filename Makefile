# One command each: make demo, make test, make bench. Every target does its own set-up.
PYTHON ?= python3
VENV   := .venv
PY     := $(VENV)/bin/python
JOBS   ?= 2
SYSTEM_PACKAGES := g++ libssl-dev libgtest-dev libipsec-mb-dev
ENGINE_BUILD := build/engine
export PATH := $(abspath $(VENV))/bin:$(PATH)

.PHONY: all system venv install engine engine-test pytest test demo bench clean

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

install: venv
	$(PY) -m pip install -q --no-build-isolation .

engine: venv
	cmake -S . -B $(ENGINE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DVELORA_BUILD_MODULE=OFF -DVELORA_BUILD_TESTS=ON
	cmake --build $(ENGINE_BUILD) -j $(JOBS)

engine-test: engine
	cd $(ENGINE_BUILD) && ctest --output-on-failure -j $(JOBS)

pytest: install
	$(PY) -m pytest -q tests

test: engine-test pytest

demo: install
	$(PY) scripts/demo.py

# pqcrypto is a peer column only: when it does not install here, the table says so.
bench: install
	$(PY) -m pip install -q -r requirements-bench.txt
	@$(PY) -m pip install -q pqcrypto || echo "bench: pqcrypto did not install; its column will say so"
	$(PY) bench/run.py

clean:
	rm -rf build $(VENV)
