# Two commands matter: `make test` and `make e2e`; both install what is
# missing first. Plain `make` only configures and builds.
PRESET ?= default
# The preset's binaryDir: target/<preset>, except the default preset's
# target/debug (CMakePresets.json keeps to this rule).
BUILD_DIR := target/$(if $(filter default,$(PRESET)),debug,$(PRESET))
CTEST_PARALLEL ?= 2
# A ctest -R regular expression that narrows `make test` (empty: every test).
TEST_FILTER ?=
# Simulated boards `make test` spreads the hardware cases over. Above 1,
# kivu-boards writes a CTest resource file for them, the runners accept
# boards 0 to BOARDS-1, and ctest runs BOARDS jobs unless CTEST_PARALLEL is
# given.
BOARDS ?= 1
# Absolute: ctest reads the resource file from within the build directory.
BOARDS_FILE := $(CURDIR)/$(BUILD_DIR)/boards.json
TEST_JOBS := $(if $(filter-out 1,$(BOARDS)),$(if $(filter command line,$(origin CTEST_PARALLEL)),$(CTEST_PARALLEL),$(BOARDS)),$(CTEST_PARALLEL))

.PHONY: all build deps configure test e2e clean

all: build

deps:
	@scripts/install-deps.sh

configure:
	@cmake --preset $(PRESET) >/dev/null

build: configure
	@cmake --build --preset $(PRESET) -j $(CTEST_PARALLEL)

test: deps
	@$(MAKE) --no-print-directory build
ifeq ($(BOARDS),1)
	ctest --preset $(PRESET) -j $(TEST_JOBS) $(if $(TEST_FILTER),-R '$(TEST_FILTER)')
else
	KIVU_SIM_BOARDS=$(BOARDS) $(BUILD_DIR)/kivu-boards resource-spec -o $(BOARDS_FILE)
	KIVU_SIM_BOARDS=$(BOARDS) ctest --preset $(PRESET) -j $(TEST_JOBS) \
	  --resource-spec-file $(BOARDS_FILE) $(if $(TEST_FILTER),-R '$(TEST_FILTER)')
endif

e2e: deps
	@$(MAKE) --no-print-directory build
	@scripts/e2e.sh $(BUILD_DIR)

clean:
	rm -rf target
