# Builds for 32-bit x86 Linux (i386) with the host's g++ and Debian's
# g++-multilib:
#
#   cmake -S . -B build-i386 -DCMAKE_TOOLCHAIN_FILE=cmake/i686-linux-gnu.cmake
#
# A 64-bit x86 kernel runs the result directly: build-i386/digitmill 20.
#
# Doubles are computed in SSE2 registers and rounded to double after every
# operation, as on x86-64, which is what the exactness margin of each product
# is reckoned for; it is also twice as fast as the x87 unit. That needs a
# Pentium 4, Athlon 64 or later. For the plain i686 baseline, whose x87 unit
# keeps intermediates in 80-bit registers (also exact digits, about half the
# speed), configure with -DCMAKE_CXX_FLAGS=-m32.
#
# Tools and tests that need GMP, MPFR or GoogleTest built for i386 are left
# out, with a message, when those are not installed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32 -msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-m32 -msse2 -mfpmath=sse")

# i386 libraries of Debian's multiarch packages (libgmp-dev:i386 and the
# like) and of the multilib compiler.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
