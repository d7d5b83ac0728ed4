# 32-bit ARMv7 with hardware floating point (armhf), musl from musl-dev:armhf
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(triple arm-linux-gnueabihf)
include("${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake")
