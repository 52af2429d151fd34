# Two commands matter: `make test` and `make e2e`; both install what is
# missing first. Plain `make` only configures and builds.
PRESET ?= default
# The preset's binaryDir: target/<preset>, except the default preset's
# target/debug (CMakePresets.json keeps to this rule).
BUILD_DIR := target/$(if $(filter default,$(PRESET)),debug,$(PRESET))
CTEST_PARALLEL ?= 2
# A ctest -R regular expression that narrows `make test` (empty: every test).
TEST_FILTER ?=

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
	ctest --preset $(PRESET) -j $(CTEST_PARALLEL) $(if $(TEST_FILTER),-R '$(TEST_FILTER)')

e2e: deps
	@$(MAKE) --no-print-directory build
	@scripts/e2e.sh $(BUILD_DIR)

clean:
	rm -rf target
