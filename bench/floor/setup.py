"""The floor extension, compiled as orbelon_core's Release build is (see
CMakeLists.txt): -O3, no contraction, no fast-math, the baseline instruction
set; so that what differs between the two is the code, not the compiler."""
import platform

from setuptools import Extension, setup

flags = ["-O3", "-Wall", "-Wextra", "-ffp-contract=off", "-fno-fast-math"]
if platform.machine() in ("x86_64", "AMD64", "amd64"):
    flags += ["-march=x86-64", "-mtune=generic"]

setup(ext_modules=[Extension("orbelon_floor", ["floor.c"], extra_compile_args=flags)])
