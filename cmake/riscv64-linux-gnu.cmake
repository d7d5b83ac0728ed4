# 64-bit RISC-V (riscv64). Debian 12 ships no musl for it: build musl from Debian's source package and name its
# specs file with -DSTARTMORVELIN_MUSL_SPECS (README); without it, the cross compiler's glibc serves, with a warning
set(CMAKE_SYSTEM_PROCESSOR riscv64)
set(triple riscv64-linux-gnu)
include("${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake")
