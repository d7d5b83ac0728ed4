# 32-bit x86 (i386), musl from musl-dev:i386
set(CMAKE_SYSTEM_PROCESSOR i686)
set(triple i686-linux-gnu)
include("${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake")
