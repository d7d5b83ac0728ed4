# Builds the launcher for 64-bit ARM Linux on another machine, with Debian's cross
# compiler (g++-aarch64-linux-gnu), against musl for arm64 where it is installed
# (musl-dev:arm64) and else against the cross C library (libc6-dev-arm64-cross):
#   cmake -S . -B build-aarch64 --toolchain cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(STARTMORVELIN_MUSL_SPECS /usr/lib/aarch64-linux-musl/musl-gcc.specs CACHE FILEPATH "musl's specs file for GCC")
