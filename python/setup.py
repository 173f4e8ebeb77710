# SPDX-License-Identifier: MIT
# pip install --no-build-isolation ./python   (Debian: python3-cffi, python3-setuptools)
from setuptools import setup

setup(
    name="sealkit",
    version="1.3.0",
    description="Cipher envelopes (sealkit) from Python",
    license="MIT",
    packages=["sealkit"],
    package_data={"sealkit": ["__init__.pyi", "py.typed"]},
    cffi_modules=["sealkit_build.py:ffibuilder"],
    setup_requires=["cffi>=1.15"],
    install_requires=["cffi>=1.15"],
    zip_safe=False,
)
