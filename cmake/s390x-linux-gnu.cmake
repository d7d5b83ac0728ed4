# IBM Z (s390x), big-endian, musl from musl-dev:s390x
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(triple s390x-linux-gnu)
include("${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake")
