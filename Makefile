# make run: set the machine up, build, install into .venv, run the main program.
# make test: the same set-up, then the C++ tests (CTest) and the Python tests (pytest).
PYTHON_SYS := /usr/bin/python3
VENV := .venv
BUILD := build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: run test deps build install venv clean

run: install
	MPLBACKEND=$${MPLBACKEND:-Agg} $(VENV)/bin/python -m korvane

test: install
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	MPLBACKEND=Agg $(VENV)/bin/python -m pytest tests/python

deps:
	./scripts/install-deps.sh

$(VENV)/bin/python: | deps
	$(PYTHON_SYS) -m venv --system-site-packages $(VENV)

venv: $(VENV)/bin/python

build: deps
	cmake -S . -B $(BUILD) -DPython_EXECUTABLE=$(PYTHON_SYS) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

install: build venv
	cmake --install $(BUILD) --prefix $(VENV) > /dev/null

clean:
	rm -rf $(BUILD) $(VENV)
