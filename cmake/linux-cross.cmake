# What the toolchain files here share. Each, named by its target triple, builds
# the launcher for another processor with Debian's cross compiler of that name
# (g++-TRIPLE), statically against musl for that processor where it is installed
# (Debian: musl-dev:ARCH, which the launcher's build finds itself) and else
# against the cross compiler's C library:
#   cmake -S . -B build-TRIPLE --toolchain cmake/TRIPLE.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${triple}-g++)
