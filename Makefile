# Two commands matter: `make test` and `make e2e`; both install what is
# missing first. Plain `make` only configures and builds.
PRESET ?= default
# The preset's binaryDir: target/<preset>, except the default preset's
# target/debug (CMakePresets.json keeps to this rule).
BUILD_DIR := target/$(if $(filter default,$(PRESET)),debug,$(PRESET))
CTEST_PARALLEL ?= 2
# A ctest -R regular expression that narrows `make test` (empty: every test).
# Taken as written ($(value ...)): a $ in it is the regex's, not make's.
TEST_FILTER ?=
# A ctest -LE expression: tests with a matching label are left out (empty:
# none), taken as written too.
TEST_EXCLUDE_LABELS ?=
# CMake targets that `make build` (and so `make test` and `make e2e`) builds
# (empty: all), taken as written too. With TEST_FILTER, what the chosen
# tests need is enough.
TARGETS ?=
# Simulated boards `make test` spreads the hardware cases over. Above 1,
# kivu-boards writes a CTest resource file for them, the runners accept
# boards 0 to BOARDS-1, and ctest runs BOARDS jobs unless CTEST_PARALLEL is
# given.
BOARDS ?= 1
# Absolute: ctest reads the resource file from within the build directory.
BOARDS_FILE := $(CURDIR)/$(BUILD_DIR)/boards.json
# ctest's JUnit report of `make test`; its skipped tests are listed with
# their reasons at the end (cmake/junit_failures.cmake).
JUNIT_FILE := $(CURDIR)/$(BUILD_DIR)/make-test-junit.xml
TEST_JOBS := $(if $(filter-out 1,$(BOARDS)),$(if $(filter command line,$(origin CTEST_PARALLEL)),$(CTEST_PARALLEL),$(BOARDS)),$(CTEST_PARALLEL))
# make exports a variable given on its command line to every command's
# environment, expanding its value to do so: a TEST_FILTER holding
# "$(shell ...)" would run that, one holding "$(c" would stop make. Each
# reaches its command as an argument instead, so none is exported. (A
# sub-make still gets them through MAKEFLAGS, unexpanded.)
# After the variables are set: unexport defines an unset one, which ?= then
# leaves empty.
unexport PRESET TEST_FILTER TEST_EXCLUDE_LABELS TARGETS BOARDS CTEST_PARALLEL

# One shell word, whatever the text holds (the checkout's path may have
# spaces, quotes or other letters): $(call quote,TEXT) gives 'TEXT' with
# each ' written as '\''.
quote = '$(subst ','\'',$(1))'

# After ctest (whose status is in $$status): completes its JUnit report and
# lists the skipped tests with their reasons.
list_skipped = if [ -f $(call quote,$(JUNIT_FILE)) ]; then cmake -DREPORT=$(call quote,$(JUNIT_FILE)) \
  -DBUILD_DIR=$(call quote,$(CURDIR)/$(BUILD_DIR)) -DLIST_SKIPPED=ON -P cmake/junit_failures.cmake || status=1; fi

.PHONY: all build deps configure test e2e golden clean

all: build

deps:
	@scripts/install-deps.sh

configure:
	@cmake --preset $(call quote,$(PRESET)) >/dev/null

build: configure
	@cmake --build --preset $(call quote,$(PRESET)) -j $(call quote,$(CTEST_PARALLEL))$(if $(value TARGETS), --target $(foreach target,$(value TARGETS),$(call quote,$(target))))

# The preset must have tests (a test preset) before anything is built.
test: deps
	@ctest --preset $(call quote,$(PRESET)) -N >/dev/null
	@$(MAKE) --no-print-directory build
	@rm -f $(call quote,$(JUNIT_FILE))
ifeq ($(BOARDS),1)
	ctest --preset $(call quote,$(PRESET)) -j $(call quote,$(TEST_JOBS)) --output-junit $(call quote,$(JUNIT_FILE)) $(if $(value TEST_FILTER),-R $(call quote,$(value TEST_FILTER)))$(if $(value TEST_EXCLUDE_LABELS), -LE $(call quote,$(value TEST_EXCLUDE_LABELS))); \
	  status=$$?; $(list_skipped); exit $$status
else
	KIVU_SIM_BOARDS=$(call quote,$(BOARDS)) $(call quote,$(BUILD_DIR)/kivu-boards) resource-spec -o $(call quote,$(BOARDS_FILE))
	KIVU_SIM_BOARDS=$(call quote,$(BOARDS)) ctest --preset $(call quote,$(PRESET)) -j $(call quote,$(TEST_JOBS)) \
	  --resource-spec-file $(call quote,$(BOARDS_FILE)) --output-junit $(call quote,$(JUNIT_FILE)) $(if $(value TEST_FILTER),-R $(call quote,$(value TEST_FILTER)))$(if $(value TEST_EXCLUDE_LABELS), -LE $(call quote,$(value TEST_EXCLUDE_LABELS))); \
	  status=$$?; $(list_skipped); exit $$status
endif

e2e: deps
	@$(MAKE) --no-print-directory build
	@scripts/e2e.sh $(call quote,$(BUILD_DIR))

# Rewrites the golden files of the tools' output (crates/*/tests/golden),
# and the profiles kivu-profile's cases read, from what the tools built now
# print; review them with `git diff`.
golden: configure
	@cmake --build --preset $(call quote,$(PRESET)) -j $(call quote,$(CTEST_PARALLEL)) --target kivu_golden_tools
	@$(call quote,$(BUILD_DIR)/make_golden_profiles) crates/kivu-profile/tests/golden/inputs
	@KIVU_GOLDEN_UPDATE=1 ctest --preset $(call quote,$(PRESET)) -j $(call quote,$(CTEST_PARALLEL)) -R '^golden\.' --output-on-failure
	@git status --short -- 'crates/*/tests/golden'

clean:
	rm -rf target
