# Front door: `make demo`, `make test`. PYTHON=/path/to/python3.9 overrides
# the interpreter that tools/find-python picks.
BUILD ?= build
PYTHON ?=
JOBS ?= 2

FIND_PYTHON = PYTHON="$(PYTHON)" sh tools/find-python

SANITIZE_BUILD ?= build-sanitize

.PHONY: all build test demo bench sanitize valgrind clean

all: build

build:
	@py="$$($(FIND_PYTHON))" && \
	cmake -S . -B $(BUILD) -DPython3_EXECUTABLE="$$py" && \
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	@py="$$($(FIND_PYTHON))" && PYTHONPATH=$(BUILD)/python "$$py" demo/demo.py

bench: build
	@py="$$($(FIND_PYTHON))" && PYTHONPATH=$(BUILD)/python "$$py" bench/bench.py $(BUILD)

# Every suite but the pip install against an AddressSanitizer and
# UndefinedBehaviorSanitizer build, in its own build directory.
sanitize:
	@py="$$($(FIND_PYTHON))" && \
	cmake -S . -B $(SANITIZE_BUILD) -DPython3_EXECUTABLE="$$py" -DTRIG_SANITIZE=ON \
	      -DCMAKE_BUILD_TYPE=RelWithDebInfo && \
	cmake --build $(SANITIZE_BUILD) -j $(JOBS) && \
	cd $(SANITIZE_BUILD) && ctest --output-on-failure -j $(JOBS) -E python.test_packaging

# A smoke run of every function and its error paths under valgrind's memcheck:
# any error, or memory definitely lost, fails it.
valgrind: build
	@py="$$($(FIND_PYTHON))" && \
	PYTHONPATH=$(BUILD)/python:$(BUILD)/tests/probe PYTHONMALLOC=malloc \
	valgrind --quiet --error-exitcode=1 --leak-check=full --show-leak-kinds=definite \
	         --errors-for-leak-kinds=definite "$$py" tests/smoke.py

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD)
