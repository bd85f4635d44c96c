# Thin on purpose: install what is missing, then hand over to CMake and CTest.
M ?= 20
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

# Debian packages the build, the tests and the benchmarks need.
PACKAGES := cmake make g++ libgtest-dev libgmock-dev libbenchmark-dev \
            libgmp-dev libmpfr-dev libfftw3-dev time
# What make bench needs beyond them: the plot and the system-call count.
BENCH_PACKAGES := gnuplot-nox linux-perf

.PHONY: all deps build run test test-quick bench clean

all: build

deps:
	@missing=""; \
	for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  if [ "$$(id -u)" = 0 ]; then \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	  elif command -v sudo >/dev/null 2>&1; then \
	    sudo apt-get update -qq && sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	  else \
	    echo "digitmill needs these Debian packages:$$missing"; \
	    echo "Install them as root with: apt-get install$$missing"; \
	    exit 1; \
	  fi; \
	fi

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

run: build
	./$(BUILD)/digitmill $(M)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-quick: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -LE slow

bench: build
	@$(MAKE) --no-print-directory deps PACKAGES="$(BENCH_PACKAGES)"
	./bench/run_bench.sh $(BUILD) $(BENCH_M)

clean:
	rm -rf $(BUILD)
