# Two commands: `make run` and `make test` (see README.md).
BUILD      ?= build
TSAN_BUILD ?= build-tsan
JOBS       ?= $(shell nproc)
BOARD_DIR  ?= .vboard

.PHONY: all deps configure build run test tsan bench clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DORVI_SANITIZE=ON -DORVI_WERROR=ON >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

# Foreground: the daemon's log on the terminal; Ctrl-C stops the daemon,
# the board and every process it started.
run: build
	@$(BUILD)/bin/vboard run $(BOARD_DIR)

test: build tsan
	@cd $(BUILD) && ctest --output-on-failure -j$(JOBS) --timeout 600

# The thread-safety stress tests get a build of their own under ThreadSanitizer.
tsan: deps
	@cmake -S . -B $(TSAN_BUILD) -G Ninja -DORVI_TSAN=ON -DORVI_BENCH=OFF -DORVI_WERROR=ON >/dev/null
	@cmake --build $(TSAN_BUILD) -j$(JOBS) --target tsan_tests
	@$(TSAN_BUILD)/bin/tsan_tests

bench: deps
	@cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVI_TESTS=OFF >/dev/null
	@cmake --build build-rel -j$(JOBS)
	@for b in build-rel/bin/bench_*; do echo "== $$b"; $$b; done

clean:
	rm -rf $(BUILD) $(TSAN_BUILD) build-rel
