# SPDX-License-Identifier: MIT
# arm64: AES through the ARMv8 crypto extensions. See cross.cmake.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CROSS_TRIPLET aarch64-linux-gnu)
set(CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
