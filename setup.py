"""Build script for the native plugin manager.

Environment switches (used by CI):
  SORVEX_WERROR=1    treat compiler warnings as errors
  SORVEX_SANITIZE=1  build with AddressSanitizer and UndefinedBehaviorSanitizer
"""
import os
import sys

from setuptools import Extension, setup

SOURCE_DIR = "src/sorvex/core/pluginmanager"
SOURCES = [
    f"{SOURCE_DIR}/{name}"
    for name in ("module.cpp", "validation.cpp", "registry.cpp", "discovery.cpp", "rendering.cpp")
]

compile_args = []
link_args = []
if sys.platform != "win32":
    compile_args += ["-std=c++17", "-Wall", "-Wextra", "-fvisibility=hidden"]
    if os.environ.get("SORVEX_WERROR") == "1":
        compile_args.append("-Werror")
    if os.environ.get("SORVEX_SANITIZE") == "1":
        flags = ["-fsanitize=address,undefined", "-fno-omit-frame-pointer", "-fno-sanitize-recover=undefined", "-O1", "-g"]
        compile_args += flags
        link_args += ["-fsanitize=address,undefined"]
else:
    compile_args += ["/std:c++17", "/W4"]
    if os.environ.get("SORVEX_WERROR") == "1":
        compile_args.append("/WX")

setup(
    ext_modules=[
        Extension(
            "sorvex.core.pluginmanager",
            sources=SOURCES,
            depends=[f"{SOURCE_DIR}/pluginmanager.hpp"],
            language="c++",
            extra_compile_args=compile_args,
            extra_link_args=link_args,
        )
    ]
)
