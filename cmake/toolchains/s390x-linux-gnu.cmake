# SPDX-License-Identifier: MIT
# s390x: big-endian, 64-bit. See cross.cmake.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CROSS_TRIPLET s390x-linux-gnu)
set(CROSS_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
