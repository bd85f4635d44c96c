# Thin on purpose: install what is missing, then hand over to CMake and CTest.
M ?= 20
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

# Debian packages the build, the tests and the benchmarks need.
PACKAGES := cmake make g++ libgtest-dev libgmock-dev libbenchmark-dev \
            libgmp-dev libmpfr-dev libfftw3-dev nettle-dev time
# What make bench needs beyond them: the plot and the system-call count.
BENCH_PACKAGES := gnuplot-nox linux-perf

.PHONY: all deps deps-debian deps-check build run test test-quick test-clang test-sanitize build-roundoff test-roundoff \
        bench check-aarch64 check-digests check-i386 i386-runs package check-package clean

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
	probe '#include <mpfr.h>\nint main() { mpfr_t x; mpfr_init(x); }\n' "-lmpfr -lgmp" || need "MPFR (headers and library)"; \
	probe '#include <nettle/sha2.h>\nint main() { struct sha256_ctx c; sha256_init(&c); }\n' -lnettle || need "Nettle (headers and library)"

# $(call require,DEBIAN PACKAGES,COMMANDS): what a target needs beyond the
# build: installed on Debian, elsewhere looked for.
define require
	@if command -v dpkg-query >/dev/null 2>&1 && command -v apt-get >/dev/null 2>&1; then \
	  $(MAKE) --no-print-directory deps-debian PACKAGES="$(1)"; \
	else \
	  for t in $(2); do \
	    command -v $$t >/dev/null 2>&1 || { echo "digitmill needs $$t, which is missing: install it with this system's package manager"; exit 1; }; \
	  done; \
	fi
endef

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

run: build
	./$(BUILD)/digitmill $(M)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-quick: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -LE slow

# The quick tests once more, built with clang++ for every x86-64 (the
# default build is g++ with native tuning).
CLANG_BUILD ?= build-clang
test-clang: deps
	$(call require,clang,clang++)
	cmake -S . -B $(CLANG_BUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=clang++ -DDIGITMILL_NATIVE=OFF
	cmake --build $(CLANG_BUILD) -j $(JOBS)
	cd $(CLANG_BUILD) && ctest --output-on-failure -j $(JOBS) -LE slow

# The checked build under AddressSanitizer and UndefinedBehaviorSanitizer,
# quick tests only. A tiny sanitized program tries the host first: some
# kernels randomise addresses so widely that the sanitizer's shadow memory
# finds no room, which running without randomisation (setarch -R) mends;
# where neither runs, the step says so and is skipped.
test-sanitize: deps
	@probe=$$(mktemp -d) && trap 'rm -rf "$$probe"' EXIT && \
	printf 'int main() { int* p = new int[2]; p[1] = 0; int r = p[1]; delete[] p; return r; }\n' | \
	  $${CXX:-g++} -fsanitize=address,undefined -x c++ - -o "$$probe/probe" || exit 1; \
	if "$$probe/probe" >/dev/null 2>&1; then runner=; \
	elif setarch "$$(uname -m)" -R "$$probe/probe" >/dev/null 2>&1; then \
	  runner="setarch $$(uname -m) -R"; echo "test-sanitize: sanitized programs run here only without address randomisation: the tests run under $$runner"; \
	else \
	  echo "test-sanitize: skipped: a sanitized program cannot run on this host"; exit 0; \
	fi; \
	set -x; \
	cmake -S . -B $(BUILD)-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDIGITMILL_SANITIZE=ON && \
	cmake --build $(BUILD)-sanitize -j $(JOBS) && \
	cd $(BUILD)-sanitize && $$runner ctest --output-on-failure -j $(JOBS) -LE slow

# Beside the normal build, one whose runs print at exit the largest distance
# of a product's coefficient to its integer (DIGITMILL_ROUNDOFF_REPORT): how
# far each size stays from the exactness limit. Its own tests only: the rest
# of the suite expects standard error without that line.
ROUNDOFF_BUILD ?= $(BUILD)-roundoff
build-roundoff: deps
	cmake -S . -B $(ROUNDOFF_BUILD) -DCMAKE_BUILD_TYPE=Release -DDIGITMILL_ROUNDOFF_REPORT=ON
	cmake --build $(ROUNDOFF_BUILD) -j $(JOBS) --target digitmill test_roundoff

test-roundoff: build-roundoff
	cd $(ROUNDOFF_BUILD) && ctest --output-on-failure -j $(JOBS) -L roundoff

bench: build build-roundoff
	@$(MAKE) --no-print-directory deps PACKAGES="$(BENCH_PACKAGES)"
	ROUNDOFF_BUILD=$(ROUNDOFF_BUILD) ./bench/run_bench.sh $(BUILD) $(BENCH_M)

# Cross-builds digitmill for 64-bit Arm, runs it under qemu-user at a few
# sizes and checks each PI.DAT with the host's digitmill-verify. qemu-user
# 7.2 hangs in fork(), so the runs preload a library that makes it fail:
# digitmill then leaves out its date lines.
AARCH64_BUILD ?= build-aarch64
AARCH64_SIZES ?= 10 12 14
AARCH64_SYSROOT := /usr/aarch64-linux-gnu
check-aarch64: deps
	$(call require,g++-aarch64-linux-gnu qemu-user,aarch64-linux-gnu-g++ qemu-aarch64)
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS) --target digitmill-verify
	cmake -S . -B $(AARCH64_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DCMAKE_BUILD_TYPE=Release
	cmake --build $(AARCH64_BUILD) -j $(JOBS) --target digitmill dm_no_fork
	@run=$$(mktemp -d) && trap 'rm -rf "$$run"' EXIT && \
	for m in $(AARCH64_SIZES); do \
	  echo "aarch64 M=$$m:"; \
	  ( cd "$$run" && qemu-aarch64 -L $(AARCH64_SYSROOT) -E LD_PRELOAD=$(abspath $(AARCH64_BUILD))/libdm_no_fork.so \
	      $(abspath $(AARCH64_BUILD))/digitmill $$m > digitmill.out ) || { cat "$$run/digitmill.out"; exit 1; }; \
	  $(abspath $(BUILD))/digitmill-verify "$$run/PI.DAT" || exit 1; \
	done

# The table of known digests that digitmill-verify compares results with,
# against MPFR's decimals at every size, M = 7 ... 25 (the tests check it up
# to 22): about 85 s of CPU and 220 MiB.
check-digests: build
	tools/make_digests.sh --check $(BUILD)

# A run's standard output with what may differ between two builds masked:
# the times, the dates and the compile options. Everything else, the banner
# included, must read the same on every platform.
MASK_RUN = sed -E -e 's/ +[0-9]+\.[0-9]{3}/ <t>/g' -e 's/(digitmill run :).*/\1 <date>/' \
                  -e 's/^   "[^"]*"$$/   "<options>"/'
# $(call same_output,DIR,WHAT): DIR/out against DIR/../native/out, masked.
same_output = $(MASK_RUN) "$(1)/../native/out" > "$(1)/../native.masked"; \
  $(MASK_RUN) "$(1)/out" > "$(1)/out.masked"; \
  diff -u "$(1)/../native.masked" "$(1)/out.masked" || { echo "$(2): the output differs from the native run's"; exit 1; }

# Builds digitmill for 32-bit x86 (g++ -m32, SSE2 doubles) in build-i386/,
# runs it at a few sizes and checks each PI.DAT with the host's
# digitmill-verify and each output against the native build's at the same
# size. A 64-bit kernel built with 32-bit support runs the program itself;
# where a tiny program of the same toolchain shows that this kernel cannot,
# qemu-i386 (qemu-user) runs it, at I386_QEMU_SIZES, since emulation is
# about 30 times slower. I386_EMULATE=1 takes that way on any host.
# I386_CXX_FLAGS=-m32 (with another I386_BUILD) checks the x87 variant.
I386_BUILD ?= build-i386
I386_SIZES ?= 10 16 20 21
I386_QEMU_SIZES ?= 10 16 20
I386_CXX_FLAGS ?=
I386_EMULATE ?=
check-i386: deps
	$(call require,g++-multilib,g++)
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS) --target digitmill digitmill-verify
	cmake -S . -B $(I386_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/i686-linux-gnu.cmake -DCMAKE_BUILD_TYPE=Release \
	  $(if $(I386_CXX_FLAGS),"-DCMAKE_CXX_FLAGS=$(I386_CXX_FLAGS)")
	cmake --build $(I386_BUILD) -j $(JOBS) --target digitmill
	@probe=$$(mktemp -d) && trap 'rm -rf "$$probe"' EXIT && \
	printf 'int main() { return 7; }\n' | g++ -m32 -x c++ - -o "$$probe/probe" && \
	if [ -z "$(I386_EMULATE)" ] && { "$$probe/probe" 2>/dev/null; [ $$? = 7 ]; }; then \
	  echo "i386: this kernel runs 32-bit programs: running build-i386/digitmill directly at M = $(I386_SIZES)"; \
	  $(MAKE) --no-print-directory i386-runs I386_RUNNER= I386_RUN_SIZES="$(I386_SIZES)"; \
	else \
	  if command -v dpkg-query >/dev/null 2>&1 && command -v apt-get >/dev/null 2>&1; then \
	    $(MAKE) --no-print-directory deps-debian PACKAGES=qemu-user || exit 1; \
	  else \
	    command -v qemu-i386 >/dev/null 2>&1 || { echo "digitmill needs qemu-i386, which is missing: install it with this system's package manager"; exit 1; }; \
	  fi; \
	  echo "i386: $(if $(I386_EMULATE),I386_EMULATE is set,this kernel cannot run 32-bit programs): running build-i386/digitmill under qemu-i386 at M = $(I386_QEMU_SIZES)"; \
	  $(MAKE) --no-print-directory i386-runs I386_RUNNER="timeout 600 qemu-i386" I386_RUN_SIZES="$(I386_QEMU_SIZES)"; \
	fi

# The runs of check-i386, each PI.DAT verified and each output compared
# with the native run's.
i386-runs:
	@run=$$(mktemp -d) && trap 'rm -rf "$$run"' EXIT && \
	for m in $(I386_RUN_SIZES); do \
	  echo "i386 M=$$m:"; \
	  rm -rf "$$run/i386" "$$run/native" && mkdir "$$run/i386" "$$run/native" && \
	  ( cd "$$run/i386" && $(I386_RUNNER) $(abspath $(I386_BUILD))/digitmill $$m > out ) || { cat "$$run/i386/out"; exit 1; }; \
	  grep 'Total' "$$run/i386/out"; \
	  $(abspath $(BUILD))/digitmill-verify "$$run/i386/PI.DAT" || exit 1; \
	  ( cd "$$run/native" && $(abspath $(BUILD))/digitmill $$m > out ) || exit 1; \
	  $(call same_output,$$run/i386,i386 M=$$m); \
	done; \
	echo "i386$(if $(I386_RUNNER), under qemu-i386,): every PI.DAT exact, every output as in the native run but times, dates and options"

# The Debian package of digitmill, digitmill-verify and the manual page,
# built with CPack in build-package/ for every processor of the architecture
# (no native tuning); dpkg-shlibdeps computes its dependencies.
PACKAGE_BUILD ?= build-package
package: deps
	$(call require,dpkg-dev file,dpkg-shlibdeps file)
	cmake -S . -B $(PACKAGE_BUILD) -DCMAKE_BUILD_TYPE=Release -DDIGITMILL_NATIVE=OFF -DBUILD_TESTING=OFF
	cmake --build $(PACKAGE_BUILD) -j $(JOBS) --target digitmill digitmill-verify
	cd $(PACKAGE_BUILD) && cpack

# Checks the package with lintian (any error fails), installs it with dpkg
# (as root, when no digitmill package is installed yet; else it is extracted
# into a scratch root), runs the installed digitmill 16 and digitmill-verify
# on its PI.DAT, compares the output with the native build's, shows that both
# manual pages render and removes the package again. The pages are read from
# the package itself: a container's dpkg may be told to leave manual pages
# out when it installs.
check-package: package
	$(call require,man-db lintian,man lintian)
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS) --target digitmill
	@run=$$(mktemp -d) && trap 'rm -rf "$$run"' EXIT && \
	deb=$$(ls -t $(abspath $(PACKAGE_BUILD))/digitmill_*.deb | head -n 1) && \
	lintian --fail-on error "$$deb" > "$$run/lintian.txt" 2>&1; status=$$?; \
	grep -v 'running with root privileges' "$$run/lintian.txt"; \
	[ "$$status" = 0 ] || { echo "lintian finds errors in $$deb"; exit 1; }; \
	echo "lintian: no error in $$deb"; \
	dpkg-deb -x "$$deb" "$$run/root" || exit 1; \
	if [ "$$(id -u)" = 0 ] && ! dpkg-query -W -f='$${Status}' digitmill 2>/dev/null | grep -q 'ok installed'; then \
	  echo "dpkg -i $$deb"; \
	  trap 'dpkg -r digitmill >/dev/null; rm -rf "$$run"' EXIT; \
	  dpkg -i "$$deb" > /dev/null || exit 1; \
	  bin=/usr/bin; \
	else \
	  echo "dpkg-deb -x $$deb (into a scratch root)"; \
	  bin=$$run/root/usr/bin; \
	fi; \
	mkdir "$$run/package" "$$run/native" && \
	( cd "$$run/package" && "$$bin/digitmill" 16 > out ) || { cat "$$run/package/out"; exit 1; }; \
	"$$bin/digitmill-verify" "$$run/package/PI.DAT" || exit 1; \
	( cd "$$run/native" && $(abspath $(BUILD))/digitmill 16 > out ) || exit 1; \
	$(call same_output,$$run/package,package M=16); \
	for page in digitmill:'compute pi to 2^M decimal digits' digitmill-verify:'check a PI.DAT written by digitmill'; do \
	  MANWIDTH=80 man -l "$$run/root/usr/share/man/man1/$${page%%:*}.1.gz" > "$$run/man.txt" 2>&1 && \
	    grep -qF "$${page#*:}" "$$run/man.txt" \
	    || { cat "$$run/man.txt"; echo "man $${page%%:*} does not render"; exit 1; }; \
	done; \
	head -n 6 "$$run/man.txt"; \
	echo "package: lintian finds no error, the packaged digitmill exact at M=16, output as in the native run, manual pages render"

clean:
	rm -rf $(BUILD) $(CLANG_BUILD) $(AARCH64_BUILD) $(ROUNDOFF_BUILD) $(I386_BUILD) $(PACKAGE_BUILD)
