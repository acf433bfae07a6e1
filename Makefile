# Quirel: build, test and demo entry points.
#   make deps   install the Debian packages the project needs
#   make build  configure and build (build/)
#   make test   install, build and run every test
#   make demo   install, build the tool only, and scan a document from the
#               virtual scanner
#   make bench  build and run the benchmarks
#   make app    install, build the desktop application and start it against
#               the virtual scanner

BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)

.PHONY: all deps build test demo bench app clean

all: build

deps:
	@./scripts/install-deps.sh

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Only the tool (with the virtual scanner) is built: no tests, no benchmarks.
demo: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target quirel
	@./scripts/demo.sh $(BUILD)

# The desktop application Quirel with the tool in its bundle.
app: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target Quirel
	@./scripts/app.sh $(BUILD)

# The benchmarks are built only when asked for.
bench: deps
	cmake -S . -B $(BUILD) -G Ninja -DQUIREL_BENCH=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)
	@./scripts/bench.sh $(BUILD)

clean:
	rm -rf $(BUILD)
