# Top-level entry points. `make run` starts the terminal on the simulated
# board; `make test` runs every test. Both install missing packages first.
JOBS ?= $(shell nproc)
SIM_ROOT ?= $(CURDIR)/sim-root
CMAKE_FLAGS ?=

.PHONY: setup build run test test-asan test-tsan build-lpc3250 bench clean web

setup:
	sh tools/setup.sh

build: setup
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build build -j$(JOBS)

run: build
	./build/bin/paterm-sim --root $(SIM_ROOT)

test: build
	ctest --test-dir build --output-on-failure -j$(JOBS)

test-asan: setup
	cmake -S . -B build-asan -DPATERM_SANITIZE=asan -DPATERM_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-asan -j$(JOBS)
	ctest --test-dir build-asan --output-on-failure -j$(JOBS)

test-tsan: setup
	cmake -S . -B build-tsan -DPATERM_SANITIZE=tsan -DPATERM_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-tsan -j$(JOBS)
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --test-dir build-tsan --output-on-failure -j$(JOBS)

# The terminal's own build (plain Linux calls); compiled here so it never rots.
build-lpc3250: setup
	cmake -S . -B build-lpc3250 -DPATERM_BOARD=lpc3250 -DPATERM_TESTS=OFF -DPATERM_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-lpc3250 -j$(JOBS)

bench: build
	./build/bin/paterm_bench

# The advanced settings page on http://127.0.0.1:8080/ (WEB_PORT=...) against
# the board root that `make run` uses; Ctrl-C stops the web server.
web: build
	sh tools/web-serve.sh --root $(SIM_ROOT) --bin build/bin --port $(or $(WEB_PORT),8080)

clean:
	rm -rf build build-asan build-tsan build-lpc3250
