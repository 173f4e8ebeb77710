# SPDX-License-Identifier: MIT
# pip install --no-build-isolation ./python   (Debian: python3-cffi, python3-setuptools)
import os
import re

from setuptools import setup

# The version is the C library's, written once in its header (CMake reads it there too).
HEADER = os.path.join(os.environ.get("SEALKIT_INCLUDE_DIR") or os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "sealkit"), "sealkit.h")
with open(HEADER, encoding="utf-8") as f:
    VERSION = ".".join(re.findall(r"^#define SEALKIT_VERSION_\w+ (\d+)$", f.read(), re.M))

setup(
    name="sealkit",
    version=VERSION,
    description="Cipher envelopes (sealkit) from Python",
    license="MIT",
    packages=["sealkit"],
    package_data={"sealkit": ["__init__.pyi", "errors.pyi", "py.typed"]},
    cffi_modules=["sealkit_build.py:ffibuilder"],
    setup_requires=["cffi>=1.15"],
    install_requires=["cffi>=1.15"],
    zip_safe=False,
)
