# Thin on purpose: install what is missing, then hand over to CMake and CTest.
M ?= 20
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

# Debian packages the build, the tests and the benchmarks need.
PACKAGES := cmake make g++ libgtest-dev libgmock-dev libbenchmark-dev \
            libgmp-dev libmpfr-dev libfftw3-dev time

.PHONY: all deps deps-debian deps-check build run test test-quick bench clean

all: build

deps:
	@if command -v dpkg-query >/dev/null 2>&1 && command -v apt-get >/dev/null 2>&1; then \
	  $(MAKE) --no-print-directory deps-debian; \
	else \
	  $(MAKE) --no-print-directory deps-check; \
	fi

# Debian: install the packages that are missing.
deps-debian:
	@missing=""; \
	for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "Installing:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	  elif command -v sudo >/dev/null 2>&1; then \
	    echo "Installing:$$missing"; \
	    sudo apt-get update -qq && sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	  else \
	    echo "digitmill needs these Debian packages:$$missing"; \
	    echo "Install them as root with: apt-get install$$missing"; \
	    exit 1; \
	  fi; \
	fi

# Elsewhere nothing is installed: check that the tools are there, and name
# the first one that is not.
deps-check:
	@need() { echo "digitmill needs $$1, which is missing: install it with this system's package manager"; exit 1; }; \
	command -v cmake >/dev/null 2>&1 || need "cmake (3.25 or later)"; \
	cxx=""; \
	for c in $${CXX:-} c++ g++ clang++; do command -v $$c >/dev/null 2>&1 && { cxx=$$c; break; }; done; \
	probe() { printf "$$1" | $$cxx -std=c++20 -x c++ - -o /dev/null $$2 >/dev/null 2>&1; }; \
	compiler="a C++20 compiler (g++ 12 or clang++ 14 or later)"; \
	[ -n "$$cxx" ] || need "$$compiler"; \
	probe '#include <span>\nint main() { return [] <class T> (T x) { return x; }(0); }\n' || need "$$compiler"; \
	probe '#include <gtest/gtest.h>\nint main() {}\n' || need "GoogleTest (headers)"; \
	probe '#include <gmp.h>\nint main() { mpz_t x; mpz_init(x); }\n' -lgmp || need "GMP (headers and library)"; \
	probe '#include <mpfr.h>\nint main() { mpfr_t x; mpfr_init(x); }\n' "-lmpfr -lgmp" || need "MPFR (headers and library)"

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
	./bench/run_bench.sh $(BUILD)

clean:
	rm -rf $(BUILD)
