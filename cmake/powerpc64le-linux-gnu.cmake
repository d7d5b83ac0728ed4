# 64-bit little-endian POWER (ppc64el), musl from musl-dev:ppc64el
set(CMAKE_SYSTEM_PROCESSOR ppc64le)
set(triple powerpc64le-linux-gnu)
include("${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake")
