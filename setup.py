"""Build script for the native plugin manager.

Environment switches (used by CI):
  SORVEX_WERROR=1         treat compiler warnings as errors
  SORVEX_SANITIZE=1       build with AddressSanitizer and UndefinedBehaviorSanitizer
                          (keeps debug information)
  SORVEX_DEBUG=1          build without optimisation and keep debug information
  SORVEX_GENERAL_ONLY=1   compile the fast paths out: every operation takes the
                          general, through-the-instance route

A release build (none of SORVEX_SANITIZE and SORVEX_DEBUG) carries no debug
information: it is compiled without it and linked stripped.

Every set of switches, compiler and interpreter builds its objects in a
directory of its own below build/, and the module in build/lib is rebuilt
whenever another set made it last, so a build never picks up the objects or
the module of a build with other switches.

The rest of the metadata is in pyproject.toml; the licence is declared here,
in the form that the setuptools in use understands (an SPDX expression from
setuptools 77 on, the plain field before: 3.7 and 3.8 cannot have 77).
"""
import glob
import hashlib
import json
import os
import shutil
import sys
import sysconfig

import setuptools
from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

SOURCE_DIR = "src/sorvex/core/pluginmanager"
SOURCES = sorted(glob.glob(f"{SOURCE_DIR}/*.cpp"))
HEADERS = sorted(glob.glob(f"{SOURCE_DIR}/*.hpp"))
LICENSE = "Apache-2.0"


def switch(name):
    return os.environ.get(name) == "1"


def setuptools_major():
    try:
        return int(setuptools.__version__.split(".")[0])
    except ValueError:
        return 0


def license_metadata():
    if setuptools_major() >= 77:
        return {"license_expression": LICENSE, "license_files": ["LICENSE"]}
    return {"license": LICENSE, "license_files": ["LICENSE"]}


compile_args = []
link_args = []
macros = [("SORVEX_GENERAL_ONLY", "1")] if switch("SORVEX_GENERAL_ONLY") else []
keep_debug_info = switch("SORVEX_SANITIZE") or switch("SORVEX_DEBUG")
if sys.platform != "win32":
    compile_args += ["-std=c++17", "-Wall", "-Wextra", "-fvisibility=hidden"]
    if switch("SORVEX_WERROR"):
        compile_args.append("-Werror")
    if switch("SORVEX_SANITIZE"):
        flags = ["-fsanitize=address,undefined", "-fno-omit-frame-pointer", "-fno-sanitize-recover=undefined", "-O1", "-g"]
        compile_args += flags
        link_args += ["-fsanitize=address,undefined"]
    if switch("SORVEX_DEBUG"):
        compile_args += ["-O0", "-g"]
    if not keep_debug_info:
        # The interpreter's own flags usually ask for -g; the last word wins.
        compile_args.append("-g0")
        # Apple's linker ignores -s: -S drops the debug symbols, -x the local ones.
        link_args += ["-Wl,-S,-x"] if sys.platform == "darwin" else ["-s"]
else:
    # /Zc:preprocessor: the standard preprocessor, which the variadic macros need.
    compile_args += ["/std:c++17", "/W4", "/Zc:preprocessor"]
    # The stack bounds come from GetCurrentThreadStackLimits, a Windows 8 call,
    # which the headers declare only for Windows 8 and later. 3.9 and later ask
    # for Windows 8 anyway; the headers of 3.7 and 3.8 ask for Vista.
    macros += [("_WIN32_WINNT", "0x0602"), ("WINVER", "0x0602"), ("NTDDI_VERSION", "0x06020000")]
    if switch("SORVEX_WERROR"):
        compile_args.append("/WX")
    if switch("SORVEX_DEBUG"):
        compile_args += ["/Od", "/Zi"]
        link_args.append("/DEBUG")


def file_state(path):
    """What tells one build's output from another's: None if it is missing."""
    try:
        status = os.stat(path)
    except OSError:
        return None
    return [os.path.abspath(path), status.st_mtime_ns, status.st_size]


class BuildExt(build_ext):
    """build_ext with a temporary directory per build configuration.

    The configuration is the interpreter, the compiler (its command lines and
    the program file itself) and the extension's own flags and macros. The
    extension is built again, whatever the time stamps say, unless the module
    in the build's library directory is the one this configuration made last.
    """

    def configuration_key(self, ext):
        compiler = self.compiler
        commands = {
            name: getattr(compiler, name)
            for name in ("compiler_so", "compiler_cxx", "linker_so", "cc", "linker")
            if isinstance(getattr(compiler, name, None), (list, str))
        }
        programs = {}
        for command in commands.values():
            program = command[0] if isinstance(command, list) and command else command
            found = shutil.which(program) if isinstance(program, str) else None
            programs[str(program)] = file_state(found) if found else None
        configuration = {
            "interpreter": [sys.version, sys.base_prefix, sysconfig.get_config_var("EXT_SUFFIX")],
            "compiler": [compiler.compiler_type, commands, programs],
            "environment": {name: os.environ.get(name) for name in ("CC", "CXX", "CFLAGS", "CXXFLAGS", "CPPFLAGS", "LDFLAGS")},
            "extension": [
                ext.name, ext.define_macros, ext.undef_macros, ext.include_dirs, ext.libraries,
                ext.extra_compile_args, ext.extra_link_args, self.debug,
            ],
        }
        text = json.dumps(configuration, sort_keys=True, default=str)
        return hashlib.sha256(text.encode()).hexdigest()[:16]

    def build_extension(self, ext):
        base_temp, force = self.build_temp, self.force
        self.build_temp = os.path.join(base_temp, "sorvex-" + self.configuration_key(ext))
        made = os.path.join(self.build_temp, "made.json")
        target = self.get_ext_fullpath(ext.name)
        try:
            with open(made) as stamp:
                last_made = json.load(stamp)
        except (OSError, ValueError):
            last_made = None
        try:
            if last_made is None or last_made != file_state(target):
                self.force = True
            super().build_extension(ext)
            os.makedirs(self.build_temp, exist_ok=True)
            with open(made, "w") as stamp:
                json.dump(file_state(target), stamp)
        finally:
            self.build_temp, self.force = base_temp, force


setup(
    cmdclass={"build_ext": BuildExt},
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
    ],
    **license_metadata(),
)
