# Top-level entry points. `make demo` shows the terminal with its panel,
# server and sample SD card; `make run` starts the terminal on the simulated
# board; `make test` runs every test. Each installs the packages it lacks
# first: `make demo` and `make run` only what building and running need, the
# tests the rest.
#
#   make demo                            board, server and panel in a private network (root)
#   make run SIM_ARGS="--no-card --device-id PT00000042"   paterm-sim options
#   make run SIM_ROOT="/tmp/my root"                       another board root
#   make run-netns                       the board in a private network (root)
#   make fleet FLEET_N=4                 four boards on one server (root)
JOBS ?= $(shell nproc)
SIM_ROOT ?= $(CURDIR)/sim-root
SIM_ARGS ?=
CMAKE_FLAGS ?=
WEB_PORT ?= 8080
FLEET_N ?= 3
FLEET_DIR ?= $(CURDIR)/build/fleet
FLEET_SECONDS ?= 30
FLEET_BROADCASTERS ?= 0

# `make run` and `make test` share build/: run configures it without the
# tests and benchmarks (their libraries are not installed for running), the
# tests with them. Switching only regenerates; objects are kept.
RUN_CONFIG = -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPATERM_TESTS=OFF -DPATERM_BENCH=OFF
TEST_CONFIG = -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPATERM_TESTS=ON -DPATERM_BENCH=ON

# $(call quietly,LOG,COMMAND): COMMAND's output goes to build/LOG and is
# shown only when it fails, so `make run` shows the board, not the build.
quietly = mkdir -p build && { $(2); } >build/$(1) 2>&1 || { cat build/$(1) >&2; echo "make: failed; see build/$(1)" >&2; exit 1; }

.PHONY: setup setup-web setup-test setup-cross build build-run run run-netns demo test test-asan test-tsan build-lpc3250 \
	fleet fleet-measure cross-sysroot cross-lpc3250 install-lpc3250 build-qemu test-qemu bench clean web build-fuzz fuzz fuzz-quick powercut soak

setup:
	@sh tools/setup.sh

setup-web:
	@sh tools/setup.sh --web

setup-test:
	@sh tools/setup.sh --test

setup-cross:
	@sh tools/setup.sh --cross

# What running needs: paterm, the simulated board, its tools, the CGI programs.
build-run: setup
	@echo "make: building (output in build/build.log)"
	@$(call quietly,configure.log,cmake -S . -B build $(RUN_CONFIG) $(CMAKE_FLAGS))
	@$(call quietly,build.log,cmake --build build -j$(JOBS))

run: build-run
	@./build/bin/paterm-sim --root "$(SIM_ROOT)" $(SIM_ARGS)

# The board in a network of its own (tools/netns: eth0 192.168.1.10/24, the
# server side at 192.168.1.5). Needs root.
run-netns: build-run
	@sh tools/netns exec -- ./build/bin/paterm-sim --root "$(SIM_ROOT)" $(SIM_ARGS)

# FLEET_N boards (roots $(FLEET_DIR)/tK) on one bridge with paterm-server at
# its prompt (tools/fleet, docs/fleet.md); everything goes when it ends.
fleet: build-run
	@sh tools/fleet run $(FLEET_N) "$(FLEET_DIR)"

# CPU per terminal and the status reports' lateness with FLEET_N boards,
# FLEET_BROADCASTERS of them streaming, over FLEET_SECONDS.
fleet-measure: build-run
	@sh tools/fleet measure $(FLEET_N) "$(FLEET_DIR)" $(FLEET_SECONDS) $(FLEET_BROADCASTERS)

# The demonstration (tools/demo.sh): the sample card in $(SIM_ROOT)/mmc, the
# board and paterm-server in a private network, paterm-panel here, a guide.
# The server's log, its command pipe and the broadcast WAV are in build/demo/.
demo: build-run
	@sh tools/demo.sh --root "$(SIM_ROOT)" --bin build/bin --card build/sample-card --work build/demo -- $(SIM_ARGS)

build: setup-test
	cmake -S . -B build $(TEST_CONFIG) $(CMAKE_FLAGS)
	cmake --build build -j$(JOBS)

test: build
	ctest --test-dir build --output-on-failure -j$(JOBS)

test-asan: setup-test
	cmake -S . -B build-asan -DPATERM_SANITIZE=asan -DPATERM_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-asan -j$(JOBS)
	ctest --test-dir build-asan --output-on-failure -j$(JOBS)

test-tsan: setup-test
	cmake -S . -B build-tsan -DPATERM_SANITIZE=tsan -DPATERM_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-tsan -j$(JOBS)
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --test-dir build-tsan --output-on-failure -j$(JOBS)

# The fuzz targets (fuzz/): clang's libFuzzer with ASan+UBSan, in build-fuzz/.
# `make fuzz` runs each target for FUZZ_SECONDS or FUZZ_RUNS executions,
# whichever ends first (-1: no limit), one at a time, from its seeds and
# what earlier runs found (build-fuzz/corpus); FUZZ_TARGETS picks targets.
# The full-length runs: FUZZ_SECONDS=3600 FUZZ_RUNS=10000000. `make fuzz-quick`
# replays the seeds and mutates them for a few seconds. Any crash fails;
# its input is left in build-fuzz/artifacts/. The targets need root (a
# private network namespace).
FUZZ_SECONDS ?= 60
FUZZ_RUNS ?= -1
FUZZ_TARGETS ?= fuzz_server_cmd fuzz_announce fuzz_cgi_channel fuzz_p2p fuzz_panel fuzz_player_event \
	fuzz_upgrade_pkg fuzz_upgrade_image fuzz_cgi_form fuzz_mp3_names fuzz_mp3_length
FUZZ_CONFIG = -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPATERM_FUZZ=ON -DPATERM_TESTS=OFF -DPATERM_BENCH=OFF
# $(call fuzz_each,CORPUS_DIR,FLAGS): every target on its own corpus and seeds.
fuzz_each = mkdir -p build-fuzz/artifacts && for t in $(FUZZ_TARGETS); do \
	mkdir -p build-fuzz/$(1)/$$t; \
	echo "fuzz: $$t"; \
	./build-fuzz/bin/$$t $(2) -dict=fuzz/dict/$$t.dict -artifact_prefix=build-fuzz/artifacts/$$t- \
		-print_final_stats=1 build-fuzz/$(1)/$$t fuzz/corpus/$$t >build-fuzz/$(1)/$$t.log 2>&1 \
		|| { tail -60 build-fuzz/$(1)/$$t.log >&2; echo "make: $$t failed" >&2; exit 1; }; \
	grep -aoE '\#[0-9]+[[:space:]]+DONE.*|^stat::(number_of_executed_units|average_exec_per_sec).*' build-fuzz/$(1)/$$t.log; \
	done

build-fuzz: setup-test
	CC=clang CXX=clang++ cmake -S . -B build-fuzz $(FUZZ_CONFIG) $(CMAKE_FLAGS)
	cmake --build build-fuzz -j$(JOBS) --target fuzz_all

fuzz: build-fuzz
	@$(call fuzz_each,corpus,-max_total_time=$(FUZZ_SECONDS) -runs=$(FUZZ_RUNS))

fuzz-quick: build-fuzz
	@rm -rf build-fuzz/quick
	@$(call fuzz_each,quick,-max_total_time=5 -runs=100000)

# Power cuts at seeded instants during a web settings save, a channel
# settings rewrite, a peer download and a server upgrade, REPETITIONS cuts
# each, one scenario after the other (ctest runs 10 each). POWERCUT_SEED
# sets the first seed; a failure names its own. Needs root (a private
# network namespace); the server scenario takes about 12 s a cut.
REPETITIONS ?= 200
POWERCUT_SEED ?= 20261208
powercut: setup-test
	cmake -S . -B build $(TEST_CONFIG) $(CMAKE_FLAGS)
	cmake --build build -j$(JOBS) --target paterm_powercut_e2e_test
	REPETITIONS=$(REPETITIONS) POWERCUT_SEED=$(POWERCUT_SEED) ./build/bin/paterm_powercut_e2e_test

# The accelerated soak: SOAK_SECONDS of seeded random use (broadcasts,
# MP3 files, the card, panel keys, web saves, server changes), the program's
# resources sampled into build/soak-samples.csv, a summary printed and the
# end checked (no reset, descriptors and threads back, memory within its
# bound, settings valid). SOAK_SEED sets the sequence. Needs root (a
# private network namespace); ctest runs 25 s of it.
SOAK_SECONDS ?= 3600
SOAK_SEED ?= 20261209
soak: setup-test
	cmake -S . -B build $(TEST_CONFIG) $(CMAKE_FLAGS)
	cmake --build build -j$(JOBS) --target paterm_soak_e2e_test
	SOAK_SECONDS=$(SOAK_SECONDS) SOAK_SEED=$(SOAK_SEED) ./build/bin/paterm_soak_e2e_test

# The terminal's own build (plain Linux calls); compiled here so it never rots.
build-lpc3250: setup
	cmake -S . -B build-lpc3250 -DPATERM_BOARD=lpc3250 -DPATERM_TESTS=OFF -DPATERM_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-lpc3250 -j$(JOBS)

# The terminal's ARM build (docs/cross.md): Debian's arm-linux-gnueabi cross
# compiler with the armel libraries unpacked into build-cross/sysroot.
CROSS_CONFIG = -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/arm-linux-gnueabi.cmake \
	-DPATERM_CROSS_SYSROOT=$(CURDIR)/build-cross/sysroot -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPATERM_BENCH=OFF
# The unit suites that run as ARM programs under qemu-arm-static; what
# cannot run there, and why, is in docs/cross.md.
QEMU_SUITES = runtime_test player_test net_frame_test net_test net_upgrade_install_test cgi_layer_test \
	upgrade_check_test upgrade_board_test sim_unit_tests kernel_unit_tests server_proto_test \
	localio_panel_test localio_audio_test player_event_test player_central_test broadcast_test \
	mp3_play_test
empty :=
space := $(empty) $(empty)
QEMU_LABELS = ^($(subst $(space),|,$(strip $(QEMU_SUITES))))$$
# qemu-user runs glibc's vfork spawn as a fork: a missing program shows as exit 127.
QEMU_EXCLUDE = ^ToolRunner\.RunsHostToolsInTheRootAndReportsStatus$$

cross-sysroot: setup-cross
	sh tools/cross-sysroot.sh build-cross/sysroot

# Every deliverable for the terminal: paterm, getextopts, extopts.
cross-lpc3250: cross-sysroot
	cmake -S . -B build-cross/lpc3250 $(CROSS_CONFIG) -DPATERM_BOARD=lpc3250 -DPATERM_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build build-cross/lpc3250 -j$(JOBS) --target paterm getextopts extopts

# The terminal's tree (docs/install.md) under DESTDIR; the modules come from
# MODULES_DIR when given (built against the terminal's kernel).
DESTDIR ?= $(CURDIR)/build-cross/rootfs
MODULES_DIR ?=
install-lpc3250: cross-lpc3250
	cmake -S . -B build-cross/lpc3250 -DPATERM_MODULES_DIR=$(MODULES_DIR)
	DESTDIR=$(DESTDIR) cmake --install build-cross/lpc3250

# The simulated board's unit suites as ARM programs.
build-qemu: cross-sysroot
	cmake -S . -B build-cross/sim $(CROSS_CONFIG) -DPATERM_BOARD=sim -DPATERM_TESTS=ON $(CMAKE_FLAGS)
	cmake --build build-cross/sim -j$(JOBS) --target $(QEMU_SUITES)

test-qemu: build-qemu
	ctest --test-dir build-cross/sim --output-on-failure -j$(JOBS) \
		-L '$(QEMU_LABELS)' -E '$(QEMU_EXCLUDE)'

# The benchmarks run where they were built (the broadcast ones need root for
# a private network namespace); a figure off its target does not stop the rest.
BENCH_SECONDS ?= 60
bench: build
	./build/bin/paterm_bench
	-if [ -x build/bin/brd_encode_bench ]; then ./build/bin/brd_encode_bench; fi
	-if [ -x build/bin/brd_stream_clock_bench ]; then ./build/bin/brd_stream_clock_bench --seconds=$(BENCH_SECONDS); fi
	-if [ -x build/bin/control_latency_bench ]; then ./build/bin/control_latency_bench; fi
	-if [ -x build/bin/idle_bench ]; then ./build/bin/idle_bench --seconds=$(BENCH_SECONDS); fi
	-if [ -x build/bin/mp3_feed_bench ]; then ./build/bin/mp3_feed_bench; fi

# The advanced settings page on http://127.0.0.1:$(WEB_PORT)/ against the
# board root that `make run` uses; Ctrl-C stops the web server.
web: setup-web build-run
	@sh tools/web-serve.sh --root "$(SIM_ROOT)" --bin build/bin --port "$(WEB_PORT)"

clean:
	rm -rf build build-asan build-tsan build-lpc3250 build-cross build-fuzz
