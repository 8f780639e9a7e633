"""Build script for the native plugin manager.

Environment switches (used by CI):
  SORVEX_WERROR=1         treat compiler warnings as errors
  SORVEX_SANITIZE=1       build with AddressSanitizer and UndefinedBehaviorSanitizer
  SORVEX_GENERAL_ONLY=1   compile the fast paths out: every operation takes the
                          general, through-the-instance route
"""
import glob
import os
import sys

from setuptools import Extension, setup

SOURCE_DIR = "src/sorvex/core/pluginmanager"
SOURCES = sorted(glob.glob(f"{SOURCE_DIR}/*.cpp"))
HEADERS = sorted(glob.glob(f"{SOURCE_DIR}/*.hpp"))


def switch(name):
    return os.environ.get(name) == "1"


compile_args = []
link_args = []
macros = [("SORVEX_GENERAL_ONLY", "1")] if switch("SORVEX_GENERAL_ONLY") else []
if sys.platform != "win32":
    compile_args += ["-std=c++17", "-Wall", "-Wextra", "-fvisibility=hidden"]
    if switch("SORVEX_WERROR"):
        compile_args.append("-Werror")
    if switch("SORVEX_SANITIZE"):
        flags = ["-fsanitize=address,undefined", "-fno-omit-frame-pointer", "-fno-sanitize-recover=undefined", "-O1", "-g"]
        compile_args += flags
        link_args += ["-fsanitize=address,undefined"]
else:
    compile_args += ["/std:c++17", "/W4"]
    if switch("SORVEX_WERROR"):
        compile_args.append("/WX")

setup(
    ext_modules=[
        Extension(
            "sorvex.core.pluginmanager",
            sources=SOURCES,
            depends=HEADERS,
            define_macros=macros,
            language="c++",
            extra_compile_args=compile_args,
            extra_link_args=link_args,
        )
    ]
)
