# Front door: `make demo`, `make test`. PYTHON=/path/to/python3.9 overrides
# the interpreter that tools/find-python picks.
BUILD ?= build
PYTHON ?=
JOBS ?= 2

FIND_PYTHON = PYTHON="$(PYTHON)" sh tools/find-python

.PHONY: all build test demo bench clean

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

clean:
	rm -rf $(BUILD)
