# vordex developer entry points.
#
#   make demo       install missing packages, build, print the summary of the
#                   bundled example marginal, plot it to example.png, run
#                   examples/demo.py
#   make test       install missing packages, build, run C++ and Python tests
#   make asan       Python (and C++) tests against an ASan/UBSan build
#   make tsan       C++ tests against a ThreadSanitizer build
#   make widths     C++ and Python tests against SSE2-only and AVX2-only builds
#   make pip-check  pip install into a fresh venv, import from outside the tree
#   make bench      time every toolkit operation beside NumPy/SciPy
#   make build      configure build/ once, then build incrementally
#   make deps       install missing Debian/Ubuntu packages (apt)

PYTHON     ?= /usr/bin/python3
BUILD_DIR  ?= build
ASAN_DIR   ?= build-asan
TSAN_DIR   ?= build-tsan
CMAKE_ARGS ?=
NINJA_ARGS ?=

ASAN_PKG    := $(ASAN_DIR)/pkg
ASAN_LIBS    = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)
PYTEST       = $(PYTHON) -P -m pytest tests/python -q

# Prerequisites are made one after another, in the order written.
.NOTPARALLEL:
.PHONY: deps build demo test asan tsan widths pip-check bench clean

deps:
	bash scripts/install_deps.sh

$(BUILD_DIR)/build.ninja:
	cmake -S . -B $(BUILD_DIR) -G Ninja -DPython_EXECUTABLE=$(PYTHON) $(CMAKE_ARGS)

build: $(BUILD_DIR)/build.ninja
	ninja -C $(BUILD_DIR) $(NINJA_ARGS)

demo: deps build
	PYTHONPATH=$(CURDIR) $(PYTHON) -P -m vordex summary
	PYTHONPATH=$(CURDIR) $(PYTHON) -P -m vordex plot -o example.png
	@echo "wrote example.png"
	PYTHONPATH=$(CURDIR) $(PYTHON) -P examples/demo.py

test: deps
	@# A build/ configured without the C++ tests gets them switched on.
	@if [ -f $(BUILD_DIR)/CMakeCache.txt ] && grep -q '^VORDEX_BUILD_TESTS:BOOL=OFF' $(BUILD_DIR)/CMakeCache.txt; then \
	  cmake -DVORDEX_BUILD_TESTS=ON $(BUILD_DIR); fi
	$(MAKE) --no-print-directory build
	cd $(BUILD_DIR) && ctest --output-on-failure
	PYTHONPATH=$(CURDIR) $(PYTEST)

# The sanitizer build writes its modules into its own copy of the package
# (build-asan/pkg/vordex), so the in-tree modules stay untouched and the
# tests import only instrumented code.
asan: deps
	@if [ ! -f $(ASAN_DIR)/build.ninja ]; then \
	  cmake -S . -B $(ASAN_DIR) -G Ninja -DPython_EXECUTABLE=$(PYTHON) \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORDEX_SANITIZE=ON \
	    -DVORDEX_PACKAGE_DIR=$(CURDIR)/$(ASAN_PKG)/vordex $(CMAKE_ARGS); fi
	@mkdir -p $(ASAN_PKG)
	@# A fresh copy of the package's Python files and data, next to the
	@# instrumented modules.
	@if [ -d $(ASAN_PKG)/vordex ]; then find $(ASAN_PKG)/vordex -type f ! -name '*.so' -delete; fi
	find vordex -type f \( -name '*.py' -o -path 'vordex/data/*' \) -exec cp --parents {} $(ASAN_PKG)/ \;
	ninja -C $(ASAN_DIR) $(NINJA_ARGS)
	cd $(ASAN_DIR) && ctest --output-on-failure
	@# --capture=sys leaves file descriptor 2 alone, so a sanitizer report
	@# reaches the log; -v names each test before it runs.  Huge requests
	@# must fail as in a normal run (NumPy raises MemoryError), not abort.
	PYTHONPATH=$(CURDIR)/$(ASAN_PKG) LD_PRELOAD="$(ASAN_LIBS)" \
	  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  $(PYTHON) -P -m pytest tests/python -v --capture=sys --hypothesis-profile=ci

# The C++ tests (threads sharing the core's objects among them) against a
# ThreadSanitizer build of the core; any report fails the run.
tsan: deps
	@if [ ! -f $(TSAN_DIR)/build.ninja ]; then \
	  cmake -S . -B $(TSAN_DIR) -G Ninja -DPython_EXECUTABLE=$(PYTHON) \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORDEX_SANITIZE_THREAD=ON -DVORDEX_BUILD_CORETEST=OFF \
	    -DVORDEX_PACKAGE_DIR=$(CURDIR)/$(TSAN_DIR)/pkg/vordex $(CMAKE_ARGS); fi
	ninja -C $(TSAN_DIR) $(NINJA_ARGS) vordex_core_tests
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 $(TSAN_DIR)/vordex_core_tests

# The normal build runs the widest copy of each kernel the processor has;
# these builds (build-x86-64, build-x86-64-v3) hold one copy each, so the
# narrower copies are tested on this machine too. WIDTHS="x86-64-v4" adds
# the AVX-512 one as a build of its own.
WIDTHS ?= x86-64 x86-64-v3
widths: deps
	PYTHON=$(PYTHON) bash scripts/test_widths.sh $(WIDTHS)

# The benchmark table (BENCHMARKS.md, with bench/notes.md after the tables):
# vordex beside the same steps written with NumPy/SciPy, the targets met.
# BENCH_ARGS="--quick" for a short run, "--json out.json" for the numbers.
bench: deps build
	PYTHONPATH=$(CURDIR) $(PYTHON) -P bench/run.py --budget 0.4 --markdown BENCHMARKS.md --notes bench/notes.md $(BENCH_ARGS)
	PYTHONPATH=$(CURDIR) $(PYTHON) -P bench/threads.py
	PYTHONPATH=$(CURDIR) $(PYTHON) -P bench/threads.py --size 3000
	PYTHONPATH=$(CURDIR) $(PYTHON) -P bench/memory.py
	PYTHONPATH=$(CURDIR) $(PYTHON) -P bench/smooth_once.py

pip-check: deps
	bash scripts/pip_check.sh $(PYTHON)

# Removes only the side build directories; build/ is kept (incremental).
clean:
	rm -rf $(ASAN_DIR) $(TSAN_DIR) build-pip build-x86-64 build-x86-64-v2 build-x86-64-v3 build-x86-64-v4 vordex.egg-info
