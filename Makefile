# Front door: `make demo`, `make test`; `make wheels` for publishing.
#
# Every supported CPython that tools/find-python finds (pyenv's installs, then
# python3.X on PATH, then the Debian root's for the versions the host lacks)
# is built in $(BUILD)/<its build tag>/ (tools/buildtag.py: one directory per
# interpreter); `make test` builds and tests each. PYTHON=/path/to/python3.X
# takes that one interpreter instead (PYTHON=debian-root:/usr/bin/python3.X
# one in the root). `make demo` and `make bench` use the newest one found
# unless PYTHON says.
BUILD ?= build
SANITIZE_BUILD ?= build-sanitize
PYTHON ?=
JOBS ?= 2
# Extra options for CMake, such as -DCMAKE_CXX_COMPILER=clang++ -DTRIG_PORTABLE=ON.
CMAKE_ARGS ?=

FIND_PYTHON = PYTHON="$(PYTHON)" sh tools/find-python

# Runs the shell commands $(2) once per interpreter that `find-python $(1)`
# prints, with $$py (the interpreter), $$ver (its "3.X") and $$dir
# ($(BUILD)/<its build tag>) set; every interpreter gets its turn, and the
# step fails at the end when any turn failed. A turn stops at its first
# failing command: its subshell must not be tested by `||` or `if`, where the
# shell ignores `set -e` and only the last command would decide. An
# interpreter of the Debian root runs the same target inside the root, with
# the same settings (the checkout is at the same path there, so DIST and
# WHEELHOUSE must lie inside it to be seen).
define each_python
	@pythons=$$($(FIND_PYTHON) $(1)) || exit 1; failed=""; \
	for py in $$pythons; do \
	    case $$py in debian-root:*) \
	        echo "== $$py (tools/debian-root run)"; \
	        sh tools/debian-root run $(MAKE) --no-print-directory $@ PYTHON="$${py#debian-root:}" \
	            BUILD="$(BUILD)" SANITIZE_BUILD="$(SANITIZE_BUILD)" JOBS="$(JOBS)" CMAKE_ARGS="$(CMAKE_ARGS)" \
	            DIST="$(DIST)" WHEELHOUSE="$(WHEELHOUSE)" \
	            || failed="$$failed $${py##*python}"; \
	        continue ;; \
	    esac; \
	    ver=$$("$$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])') && \
	    tag=$$("$$py" tools/buildtag.py) || { failed="$$failed $$py"; continue; }; \
	    dir=$(BUILD)/$$tag; \
	    echo "== CPython $$ver ($$py) in $$dir"; \
	    ( set -e; $(2) ); [ $$? -eq 0 ] || failed="$$failed $$ver"; \
	done; \
	if [ -n "$$failed" ]; then echo "== failed on CPython:$$failed"; exit 1; fi
endef

CONFIGURE = cmake -S . -B $$dir -DPython3_EXECUTABLE="$$py" $(CMAKE_ARGS); cmake --build $$dir -j $(JOBS)

# The build wheels (setuptools, wheel) for pip's isolated builds; WHEELHOUSE=
# names a folder of your own instead.
WHEELHOUSE ?=
DIST ?= dist

.PHONY: all build test demo bench wheels sanitize valgrind typecheck clean

all: build

build:
	$(call each_python,,$(CONFIGURE))

test:
	$(call each_python,,$(CONFIGURE); \
	    if [ -n "$(WHEELHOUSE)" ]; then rm -rf $$dir/wheelhouse; ln -s "$(abspath $(WHEELHOUSE))" $$dir/wheelhouse; \
	    else sh tools/wheelhouse "$$py" $$dir/wheelhouse; fi; \
	    cd $$dir; ctest --output-on-failure -j $(JOBS))

# The demo needs only the module: its own build directory, without the tests
# (and so without GoogleTest).
demo:
	$(call each_python,--newest,dir=$$dir-demo; \
	    cmake -S . -B $$dir -DPython3_EXECUTABLE="$$py" -DTRIG_BUILD_TESTS=OFF $(CMAKE_ARGS); \
	    cmake --build $$dir -j $(JOBS) --target trigonometry; \
	    PYTHONPATH=$$dir/python "$$py" demo/demo.py)

bench:
	$(call each_python,--newest,$(CONFIGURE); PYTHONPATH=$$dir/python "$$py" bench/bench.py $$dir)

# For every interpreter: the sdist, a wheel built from it, auditwheel's report
# and repair, and suites against the wheel installed in a fresh virtual
# environment (tools/wheel-check). The sdist and the manylinux wheels land in
# $(DIST)/.
wheels:
	$(call each_python,,WHEELHOUSE="$(WHEELHOUSE)" JOBS="$(JOBS)" sh tools/wheel-check "$$py" $$dir/wheel-check $(DIST))

# Every suite but the pip install against an AddressSanitizer and
# UndefinedBehaviorSanitizer build, in its own build directory, on the oldest
# and the newest interpreter found.
sanitize:
	$(call each_python,--ends,dir=$(SANITIZE_BUILD)/$$tag; \
	    cmake -S . -B $$dir -DPython3_EXECUTABLE="$$py" -DTRIG_SANITIZE=ON \
	          -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS); \
	    cmake --build $$dir -j $(JOBS); \
	    cd $$dir; ctest --output-on-failure -j $(JOBS) -E test_packaging)

# A smoke run of every function and its error paths under valgrind's memcheck,
# on the oldest and the newest interpreter found: any error, or memory
# definitely lost, with a frame in our code fails it.
valgrind:
	$(call each_python,--ends,$(CONFIGURE); \
	    "$$py" tools/memcheck.py $$dir/python $$dir/tests/probe tests/smoke.py)

# The type stub against the compiled module, with Debian's mypy package:
# stubtest imports the module, so it checks the build for the interpreter
# that mypy runs on (MYPY_PYTHON); then the README's usage example must
# type-check against the stub.
MYPY_PYTHON ?= /usr/bin/python3
VERSION_OF = -c 'import sys; print("%d.%d" % sys.version_info[:2])'

typecheck:
	@ver=$$($(MYPY_PYTHON) $(VERSION_OF)) || exit 1; py=""; \
	for p in $$($(FIND_PYTHON) --host); do [ "$$("$$p" $(VERSION_OF))" = "$$ver" ] && py=$$p; done; \
	if [ -z "$$py" ]; then echo "typecheck: no CPython $$ver to build for $(MYPY_PYTHON)'s mypy"; exit 1; fi; \
	dir=$(BUILD)/$$("$$py" tools/buildtag.py); set -e; $(CONFIGURE); \
	PYTHONPATH=$$dir/python $(MYPY_PYTHON) -m mypy.stubtest geometry.trigonometry; \
	MYPYPATH=python $(MYPY_PYTHON) -m mypy --strict tests/typing/usage.py

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) build-clang build-setuptools $(DIST)
