#!/usr/bin/env bash
# Installs sorvex the way a user does (pip install ., not editable) into fresh
# virtual environments and runs every check:
#   1. the test suite, with the example external plugin installed;
#   2. the type-stub check (mypy.stubtest);
#   3. the test suite again against a build with AddressSanitizer and
#      UndefinedBehaviorSanitizer.
# Compiler warnings are errors in these builds. Exits non-zero on any failure,
# and when no test ran.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=${PYTHON:-python3}
envs=${SORVEX_TEST_ENVS:-$root/build/test-envs}

step() { printf '\n=== %s\n' "$*"; }

# make_env NAME [VAR=VALUE ...]: a fresh venv with sorvex built under the given
# environment, plus the test tools and the example external plugin.
make_env() {
    local name=$1; shift
    local venv=$envs/$name
    rm -rf "$venv" "$root/build/lib."* "$root/build/temp."* "$root/build/bdist."*
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
    # The newest setuptools that still ships pkg_resources, so that the import
    # warning it gives is exercised too.
    "$venv/bin/python" -m pip install -q --upgrade "setuptools<82"
    env "$@" "$venv/bin/python" -m pip install -q "$root[test]"
    "$venv/bin/python" -m pip install -q "$root/examples/external-plugin"
}

# run_pytest VENV [pytest args...]: pytest exits 5 when it collected nothing,
# which fails this script like any other failure.
run_pytest() {
    local venv=$1; shift
    "$venv/bin/python" -m pytest -p no:cacheprovider "$@"
}

step "build and install (-Werror)"
make_env release SORVEX_WERROR=1
step "tests"
run_pytest "$envs/release"
step "stubtest"
"$envs/release/bin/python" -m mypy.stubtest sorvex.core.pluginmanager

step "build and install with AddressSanitizer and UndefinedBehaviorSanitizer"
make_env sanitize SORVEX_WERROR=1 SORVEX_SANITIZE=1
step "tests under the sanitizers"
asan_runtime=$(${CXX:-g++} -print-file-name=libasan.so)
# LeakSanitizer stays off: the interpreter deliberately keeps its own objects
# alive at exit, so every report would come from it. Leaks of this module are
# caught by tests/test_leaks.py instead. Every other report aborts the run.
LD_PRELOAD=$asan_runtime \
PYTHONMALLOC=malloc \
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    run_pytest "$envs/sanitize" -q
step "all checks passed"
