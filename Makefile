# The README's commands: `make demo` runs the built-in demo, `make test` runs every test.
# Both bootstrap what they need: virtual environments inside the repo, pip installs, build.
SHELL := /bin/bash
.DEFAULT_GOAL := demo

# Target interpreter 3.12 (pyenv's tree is searched when its shim hides it); a machine
# without it falls back to python3. Tests also run on 3.11, which carries PyTorch.
PY312 := $(or $(shell scripts/find-python 3.12),$(shell command -v python3))
PY311 := $(or $(shell scripts/find-python 3.11),$(PY312))

VENV := .venv
VENV311 := .venv311
PY := $(VENV)/bin/python
PY11 := $(VENV311)/bin/python
PIP_Q := -q --disable-pip-version-check
# The Makefile's own builds keep an incremental build tree per interpreter under build/; a
# plain `pip install PATH` builds in a temporary directory instead.
PIP_BUILD := $(PIP_Q) --no-build-isolation --no-deps
BUILD_DIR := -Cbuild-dir=build/{wheel_tag}
BUILD_DEPS := scikit-build-core cmake ninja
RUN_DEPS := numpy scipy rich threadpoolctl safetensors zstandard
TEST_DEPS := pytest hypothesis ruff clang-format gguf mypy
# Hugging Face I/O: the 3.12 venv gets the hub client its tests need (safetensors is a run
# dependency); PyTorch and the model and dataset libraries live only in the 3.11 venv (its CPU
# wheel is on this machine's disk).
HF_DEPS := huggingface_hub
TORCH_DEPS := torch==2.13.0 'transformers>=4.56' datasets tokenizers peft
# The Ray engine is tested in the 3.11 venv too (its tests start a local 2-CPU instance).
RAY_DEPS := 'ray>=2.9'

.PHONY: demo test build build311 lint test312 test311 test-core bench sanitize mutate clean

$(VENV)/.ready: pyproject.toml Makefile
	test -x $(PY) || $(PY312) -m venv $(VENV)
	$(PY) -m pip install $(PIP_Q) --upgrade pip
	$(PY) -m pip install $(PIP_Q) $(BUILD_DEPS) $(RUN_DEPS)
	touch $@

# What the tests, linters and benchmarks need on top (the demo does without).
$(VENV)/.dev-ready: $(VENV)/.ready
	$(PY) -m pip install $(PIP_Q) $(TEST_DEPS) $(HF_DEPS)
	touch $@

$(VENV311)/.ready: pyproject.toml Makefile
	test -x $(PY11) || $(PY311) -m venv $(VENV311)
	$(PY11) -m pip install $(PIP_Q) --upgrade pip
	$(PY11) -m pip install $(PIP_Q) $(BUILD_DEPS) $(RUN_DEPS) pytest hypothesis gguf $(HF_DEPS) $(TORCH_DEPS) $(RAY_DEPS)
	touch $@

build: $(VENV)/.ready
	$(PY) -m pip install $(PIP_BUILD) $(BUILD_DIR) .

build311: $(VENV311)/.ready
	$(PY11) -m pip install $(PIP_BUILD) $(BUILD_DIR) .

demo: build
	$(VENV)/bin/velmora-dryx demo

lint: $(VENV)/.dev-ready
	$(PY) -m ruff check src tests bench scripts
	$(PY) -m ruff format --check src tests bench scripts
	$(VENV)/bin/clang-format --dry-run --Werror $$(git ls-files 'cpp/*.cpp' 'cpp/*.hpp')

test312: build $(VENV)/.dev-ready
	cd tests && ../$(PY) -m pytest -q -p no:cacheprovider

test311: build311
	cd tests && VELMORA_REQUIRE_TORCH=1 VELMORA_REQUIRE_RAY=1 ../$(PY11) -m pytest -q -p no:cacheprovider

# The numeric core's own unit tests: a C++ program (ASan + UBSan) with no Python in it. It
# takes LAPACK from the 32-bit OpenBLAS that the SciPy wheel ships.
CORE_TESTS := build/core-tests
test-core: $(VENV)/.ready
	$(VENV)/bin/cmake -S . -B $(CORE_TESTS) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_BUILD_TYPE=Debug -DVELMORA_MODULES=OFF -DVELMORA_CORE_TESTS=ON -DVELMORA_SANITIZE=ON >/dev/null
	$(VENV)/bin/cmake --build $(CORE_TESTS)
	lib="$$(ls $(VENV)/lib/python3*/site-packages/scipy.libs/libscipy_openblas*.so* | head -n 1)"; \
	  test -n "$$lib" || { echo "test-core: no OpenBLAS in the SciPy wheel" >&2; exit 1; }; \
	  $(CORE_TESTS)/core_tests "$$lib"

# The sanitized run comes after test312 and reinstalls the normal build when it is done.
test: lint test-core test312 sanitize test311

bench: build $(VENV)/.dev-ready
	for b in bench/bench_*.py; do $(PY) $$b || exit 1; done

# ASan + UBSan build of the modules, then the test suite under it (any report fails the
# run); the normal build is put back afterwards. Huge requests fail as MemoryError, as
# they do without the sanitizer.
sanitize: $(VENV)/.dev-ready
	VELMORA_SANITIZE=ON $(PY) -m pip install $(PIP_BUILD) \
	  -Ccmake.build-type=RelWithDebInfo -Cbuild-dir=build/sanitize .
	cd tests && ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
	  LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	  ../$(PY) -m pytest -q -p no:cacheprovider; status=$$?; \
	  cd .. && $(PY) -m pip install $(PIP_BUILD) $(BUILD_DIR) . && exit $$status

# Plants each mutant listed in scripts/mutate.py in turn (one-line bugs), runs the tests that
# should catch it and reinstalls the unmutated package; fails when one survives. Not part of
# `make test`.
mutate: build $(VENV)/.dev-ready
	$(PY) scripts/mutate.py

clean:
	rm -rf build $(VENV) $(VENV311)
