# SPDX-License-Identifier: MIT
# The addon as the packed tarball builds it: the library's source is in
# deps/ (scripts/pack.js copies it there), node-addon-api is bundled, and
# libcrypto comes from the system (libssl-dev).
{
  "targets": [{
    "target_name": "sealkit",
    "sources": ["src/addon.cc", "deps/sealkit/sealkit.cpp"],
    "include_dirs": ["<!(node -p \"require('node-addon-api').include_dir\")", "deps/sealkit"],
    "defines": ["NAPI_VERSION=8", "NAPI_CPP_EXCEPTIONS"],
    "cflags_cc": ["-std=c++20", "-fexceptions", "-fvisibility=hidden"],
    "cflags_cc!": ["-fno-exceptions", "-std=gnu++17", "-std=gnu++1y"],
    "libraries": ["-lcrypto"]
  }]
}
