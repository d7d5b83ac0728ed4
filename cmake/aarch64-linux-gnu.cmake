# 64-bit ARM (arm64), musl from musl-dev:arm64
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(triple aarch64-linux-gnu)
include("${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake")
