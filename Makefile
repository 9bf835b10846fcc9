# make run: set the machine up, build, install into .venv, run the main program.
# make test: the same set-up, then the C++ tests (CTest) and the Python tests (pytest).
# make sanitize: every test again, built with AddressSanitizer and UndefinedBehaviorSanitizer.
# make fuzz: the libFuzzer harness (clang) for FUZZ_SECONDS seconds.
# make bench: the benchmarks of bench/run.py, their table written into docs/performance.md.
PYTHON_SYS := /usr/bin/python3
VENV := .venv
BUILD := build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: run test deps build install venv clean sanitize fuzz bench

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

# The package is installed afresh, so that a module moved or removed in the source leaves
# no stale copy behind in the environment.
install: build venv
	rm -rf $(VENV)/lib/python3*/site-packages/korvane
	cmake --install $(BUILD) --prefix $(VENV) > /dev/null

# The Python tests load the sanitized extension into Debian's interpreter, which is not
# built with the sanitizers: its runtime is preloaded (with the C++ runtime, which the
# interpreter does not link, so that the sanitizer finds the exception functions it wraps),
# and leaks (the interpreter's own, at exit) are not reported there; the C++ tests keep
# leak detection on. pytest captures only Python's own streams there (--capture=sys), so
# that a sanitizer's report, written to file descriptor 2 just before it aborts, reaches
# the log instead of a capture file that dies with the process.
ASAN_BUILD := build-asan
ASAN_RUNTIME = $(shell gcc -print-file-name=libasan.so) $(shell gcc -print-file-name=libstdc++.so)
SAN_OPTIONS := UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/fuzz/lsan.supp
sanitize: deps
	cmake -S . -B $(ASAN_BUILD) -DPython_EXECUTABLE=$(PYTHON_SYS) \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_SANITIZE=address,undefined $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	$(SAN_OPTIONS) ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
		ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)
	$(SAN_OPTIONS) ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 LD_PRELOAD="$(ASAN_RUNTIME)" \
		PYTHONPATH=$(ASAN_BUILD)/python MPLBACKEND=Agg $(PYTHON_SYS) -m pytest -p no:cacheprovider --capture=sys tests/python

# Fuzzing: a bounded run from the seed corpus (reference tables, RDKit's NCI sample), the
# corpus kept in $(FUZZ_BUILD)/corpus between runs, and the past crashers of fuzz/regressions.
FUZZ_BUILD := build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_FLAGS := -max_len=100 -timeout=60 -rss_limit_mb=3072 -dict=fuzz/smiles.dict \
	-artifact_prefix=$(FUZZ_BUILD)/artifacts/ -print_final_stats=1
fuzz: deps
	cmake -S fuzz -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	$(PYTHON_SYS) fuzz/seed_corpus.py $(FUZZ_BUILD)/seeds 300
	mkdir -p $(FUZZ_BUILD)/corpus $(FUZZ_BUILD)/artifacts
	LSAN_OPTIONS=suppressions=$(CURDIR)/fuzz/lsan.supp $(FUZZ_BUILD)/fuzz_vif $(FUZZ_FLAGS) \
		-max_total_time=$(FUZZ_SECONDS) $(FUZZ_BUILD)/corpus $(FUZZ_BUILD)/seeds fuzz/regressions

bench: install
	$(VENV)/bin/python bench/run.py --update-readme

clean:
	rm -rf $(BUILD) $(VENV)
