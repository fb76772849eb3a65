# Two commands: `make run` and `make test` (see README.md).
#
# Each has a build folder of its own, so neither rebuilds the other's:
#   build-run   what the board runs (daemon, vboard, orvictl, the simulated
#               peers, the codec plug-ins, the time-warp shim), optimised,
#               no sanitizers, no tests or benchmarks
#   build       everything, with AddressSanitizer and UBSan (`make test`)
#   build-tsan  the thread-safety stress tests under ThreadSanitizer
#   build-clang the daemon's code under clang's lock analysis (compiled, not run)
RUN_BUILD  ?= build-run
BUILD      ?= build
TSAN_BUILD ?= build-tsan
CLANG_BUILD ?= build-clang
JOBS       ?= $(shell nproc)
BOARD_DIR  ?= .vboard

.PHONY: all deps configure build run-build run test tsan thread-safety bench clean

all: build

deps:
	@scripts/install-deps

# ---- make run ----------------------------------------------------------------
run-build: deps
	@cmake -S . -B $(RUN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	    -DORVI_SANITIZE=OFF -DORVI_TSAN=OFF -DORVI_TESTS=OFF -DORVI_BENCH=OFF >/dev/null
	@cmake --build $(RUN_BUILD) -j$(JOBS)

# Foreground: the daemon's log on the terminal; Ctrl-C stops the daemon,
# the board and every process it started.
run: run-build
	@$(RUN_BUILD)/bin/vboard run $(BOARD_DIR)

# ---- make test ---------------------------------------------------------------
configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DORVI_SANITIZE=ON -DORVI_WERROR=ON >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

test: build tsan thread-safety
	@cd $(BUILD) && ctest --output-on-failure -j$(JOBS) --timeout 600

# The thread-safety stress tests get a build of their own under ThreadSanitizer.
tsan: deps
	@cmake -S . -B $(TSAN_BUILD) -G Ninja -DORVI_TSAN=ON -DORVI_BENCH=OFF -DORVI_WERROR=ON >/dev/null
	@cmake --build $(TSAN_BUILD) -j$(JOBS) --target tsan_tests
	@$(TSAN_BUILD)/bin/tsan_tests

# A lock taken against the order in src/common/orvi_lock_order.h, or shared
# state touched without its lock, fails this build.
thread-safety: deps
	@CC=clang CXX=clang++ cmake -S . -B $(CLANG_BUILD) -G Ninja -DORVI_THREAD_SAFETY=ON \
	    -DORVI_TESTS=OFF -DORVI_BENCH=OFF >/dev/null
	@cmake --build $(CLANG_BUILD) -j$(JOBS) --target orvi orvi_hc

# ---- benchmarks ----------------------------------------------------------------
bench: deps
	@cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVI_TESTS=OFF >/dev/null
	@cmake --build build-rel -j$(JOBS)
	@for b in build-rel/bin/bench_*; do echo "== $$b"; $$b; done

clean:
	rm -rf $(RUN_BUILD) $(BUILD) $(TSAN_BUILD) $(CLANG_BUILD) build-rel
