# Thin wrapper around CMake + Ninja.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)

.PHONY: deps configure build test sanitize-test demo clean

deps:
	./scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize-test: deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVESTREL_SANITIZE=ON -DVESTREL_BUILD_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

# The program on the demo system ROM and demo disc that the build makes (tests/roms/demo.s,
# tests/demo/demo_disc_writer.cpp), in a folder of its own laid out as a user's:
# bios/cdi220b.rom, and the disc image on the command line. The ROM reads the disc through the
# CDIC, shows its picture and plays its ADPCM tune in a loop. Without a display the run goes
# to a virtual one for a few seconds and leaves a screen grab in $(BUILD)/demo/screen.png.
# The CDIC's line per sector is left out of the log unless RUST_LOG asks for it.
DEMO_DIR = $(BUILD)/demo
DEMO_ROM = $(BUILD)/roms/demo.rom
DEMO_DISC = $(BUILD)/roms/demo_disc.bin
demo: build
	@mkdir -p $(DEMO_DIR)/bios
	@set -e; \
	disc=""; \
	if [ -f "$(DEMO_ROM)" ]; then \
	  cp "$(DEMO_ROM)" $(DEMO_DIR)/bios/cdi220b.rom; \
	  if [ -f "$(DEMO_DISC)" ]; then cp "$(DEMO_DISC)" $(DEMO_DIR)/demo_disc.bin; disc=demo_disc.bin; fi; \
	else \
	  echo "make demo: no demo system ROM was built, so the console starts from a stand-in ROM"; \
	  echo "that only holds reset vectors and a line-F loop: the window, its menu and the hotkeys work, the picture"; \
	  echo "stays black. Put a real player ROM at $(DEMO_DIR)/bios/cdi220b.rom to run the BIOS."; \
	  [ -f $(DEMO_DIR)/bios/cdi220b.rom ] || printf '\000\000\000\060\000\100\000\010\360\000' > $(DEMO_DIR)/bios/cdi220b.rom; \
	fi; \
	cd $(DEMO_DIR); \
	export RUST_LOG="$${RUST_LOG:-info,vestrel::cdic=warn}"; \
	if [ -n "$$DISPLAY$$WAYLAND_DISPLAY" ]; then \
	  exec ../src/vestrel $${disc:---bios}; \
	else \
	  echo "make demo: no display; running 5 s on a virtual one, screen grab in $(DEMO_DIR)/screen.png"; \
	  NO_AT_BRIDGE=1 GSETTINGS_BACKEND=memory xvfb-run -a -s "-screen 0 1024x768x24" sh -c \
	    '../src/vestrel '"$${disc:---bios}"' & pid=$$!; sleep 5; import -window root screen.png; xdotool search --onlyvisible --name "^Vestrel" windowfocus --sync %1 key Escape; wait $$pid' || true; \
	fi

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
