#!/usr/bin/env bash
# Installs sorvex the way a user does (pip install ., not editable) into fresh
# virtual environments and runs every check, on every CPython 3.7 to 3.13 on
# this machine:
#   1. on each interpreter: a build with compiler warnings as errors, the test
#      suite with the example external plugin installed, and the type-stub
#      check (mypy.stubtest);
#   2. the test suite against a build with every fast path compiled out
#      (SORVEX_GENERAL_ONLY=1), on 3.11 (or the default python3);
#   3. the test suite against a build with AddressSanitizer and
#      UndefinedBehaviorSanitizer, on 3.11, on 3.12 (where a dict watcher,
#      not a version tag, tells the module that an instance dict changed) and
#      on the newest interpreter.
# A failure does not stop the run; a table of all runs closes it. Exits
# non-zero if any run failed, if no test ran, or if no interpreter was found.
#
# Interpreters: the pyenv versions, then python3.7 ... python3.13 and python3
# on PATH; the first one found of each minor version. SORVEX_PYTHONS (paths or
# command names, separated by blanks) replaces that search, e.g.
#   SORVEX_PYTHONS=/usr/bin/python3.12 bash scripts/run-tests.sh
# Each build gets its own copy of the source tree; venvs go to
# build/test-envs/<name> (or $SORVEX_TEST_ENVS/<name>).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
envs=${SORVEX_TEST_ENVS:-$root/build/test-envs}
minors=(7 8 9 10 11 12 13)

step() { printf '\n=== %s\n' "$*"; }

# probe PYTHON: prints "MINOR VERSION EXECUTABLE" for a usable CPython 3.7-3.13
# (not a free-threaded build), nothing otherwise. Written to run on any Python.
probe() {
    "$1" -c '
import platform, sys, sysconfig
if (platform.python_implementation() == "CPython" and sys.version_info[0] == 3
        and 7 <= sys.version_info[1] <= 13 and not sysconfig.get_config_var("Py_GIL_DISABLED")):
    sys.stdout.write("%d %s %s\n" % (sys.version_info[1], platform.python_version(), sys.executable))
' 2>/dev/null
}

declare -A python version    # by minor version: executable, full version
rows=()                      # the summary table, one "a|b|c|d|e" line per run
failures=0

# add_row INTERPRETER RUN RESULT TESTS TIME
add_row() { rows+=("$1|$2|$3|$4|$5"); }

if [[ -n ${SORVEX_PYTHONS:-} ]]; then
    candidates=($SORVEX_PYTHONS)
    not_found="CPython 3.%s not in SORVEX_PYTHONS"
else
    candidates=()
    pyenv_root=$(pyenv root 2>/dev/null || true)
    if [[ -n $pyenv_root && -d $pyenv_root/versions ]]; then
        while IFS= read -r dir; do
            [[ -x $dir/bin/python3 ]] && candidates+=("$dir/bin/python3")
        done < <(printf '%s\n' "$pyenv_root"/versions/*/ | sed 's:/$::' | sort -V)
    fi
    for minor in "${minors[@]}"; do
        command -v "python3.$minor" >/dev/null && candidates+=("$(command -v "python3.$minor")")
    done
    command -v python3 >/dev/null && candidates+=("$(command -v python3)")
    not_found="no CPython 3.%s found on this machine"
fi
for candidate in "${candidates[@]}"; do
    read -r minor full exe < <(probe "$candidate") || true
    if [[ -z ${minor:-} ]]; then
        if [[ -n ${SORVEX_PYTHONS:-} ]]; then
            add_row "$candidate" "-" "FAILED: not a CPython 3.7-3.13" "-" "-"
            failures=$((failures + 1))
        fi
    elif [[ -z ${python[$minor]:-} ]]; then
        python[$minor]=$exe
        version[$minor]=$full
    fi
    minor=
done
found=()
for minor in "${minors[@]}"; do
    [[ -n ${python[$minor]:-} ]] && found+=("$minor")
done

# make_env NAME MINOR [VAR=VALUE ...]: a fresh venv with sorvex built, from a
# private copy of the source tree, under the given environment; plus the test
# tools and the example external plugin.
make_env() {
    local name=$1 minor=$2; shift 2
    local venv=$envs/$name
    local src=$venv/src
    rm -rf "$venv"
    "${python[$minor]}" -m venv "$venv" || return
    copy_tree "$src" || return
    "$venv/bin/python" -m pip install -q --upgrade pip || return
    # 3.12 and later make venvs without setuptools: leave it out there, so that
    # entry points come from importlib.metadata. Before that, the newest
    # setuptools that still ships pkg_resources, whose import warning is then
    # exercised too.
    if ((minor < 12)); then
        "$venv/bin/python" -m pip install -q --upgrade "setuptools<82" || return
    fi
    env "$@" "$venv/bin/python" -m pip install -q "$src[test]" || return
    "$venv/bin/python" -m pip install -q "$src/examples/external-plugin"
}

# copy_tree DEST: the files of the working tree that git tracks or would track
# (all of them but build/ and the like without git), so that no two builds
# share a build/ directory.
copy_tree() {
    local dest=$1
    mkdir -p "$dest" || return
    if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git -C "$root" ls-files -z --cached --others --exclude-standard |
            (cd "$root" && while IFS= read -r -d '' f; do [[ -e $f ]] && printf '%s\0' "$f"; done) |
            (cd "$root" && tar --null -T - -cf -) | tar -xf - -C "$dest"
    else
        local entry
        for entry in "$root"/* "$root"/.[!.]*; do
            case ${entry##*/} in build | .git | .venv | '.[!.]*') continue ;; esac
            cp -r "$entry" "$dest/" || return
        done
        rm -rf "$dest"/src/*.egg-info
    fi
}

# run_pytest VENV [pytest args...]: pytest exits 5 when it collected nothing,
# which fails the run like any other failure. The output is kept in VENV/pytest.log.
run_pytest() {
    local venv=$1; shift
    "$venv/bin/python" -m pytest -p no:cacheprovider "$@" 2>&1 | tee "$venv/pytest.log"
}

# test_counts VENV: the counts of the last pytest summary line ("3 failed,
# 680 passed"), or a note that pytest ended without one (a crash).
test_counts() {
    local line
    line=$(grep -E '^=* ?[0-9]+ [a-z]+.* in [0-9.]+s' \
        "$1/pytest.log" 2>/dev/null | tail -n 1 | sed -E 's/^=* ?//; s/ in [0-9.]+s.*$//')
    echo "${line:-no pytest summary (crashed?)}"
}

duration() { printf '%dm%02ds' $(($1 / 60)) $(($1 % 60)); }

# run KIND MINOR: one row of the table. KIND is release (build with -Werror,
# tests, stubtest), general (fast paths compiled out, tests) or sanitize.
run() {
    local kind=$1 minor=$2
    local name=py3.$minor what result failed=() tests=- start=$SECONDS
    local interpreter="${version[$minor]} ${python[$minor]}"
    case $kind in
    release)
        what="build -Werror, tests, stubtest"
        step "3.$minor: build and install (-Werror)"
        if make_env "$name" "$minor" SORVEX_WERROR=1; then
            step "3.$minor: tests"
            run_pytest "$envs/$name" || failed+=(tests)
            tests=$(test_counts "$envs/$name")
            step "3.$minor: stubtest"
            "$envs/$name/bin/python" -m mypy.stubtest sorvex.core.pluginmanager || failed+=(stubtest)
        else
            failed+=(build)
        fi
        ;;
    general)
        name=$name-general
        what="general-only build, tests"
        step "3.$minor: build and install with the fast paths compiled out (SORVEX_GENERAL_ONLY=1)"
        if make_env "$name" "$minor" SORVEX_WERROR=1 SORVEX_GENERAL_ONLY=1; then
            step "3.$minor: tests on the general-only build"
            run_pytest "$envs/$name" -q || failed+=(tests)
            tests=$(test_counts "$envs/$name")
        else
            failed+=(build)
        fi
        ;;
    sanitize)
        name=$name-sanitize
        what="ASan+UBSan build, tests"
        step "3.$minor: build and install with AddressSanitizer and UndefinedBehaviorSanitizer"
        if make_env "$name" "$minor" SORVEX_WERROR=1 SORVEX_SANITIZE=1; then
            step "3.$minor: tests under the sanitizers"
            local asan_runtime
            asan_runtime=$(${CXX:-g++} -print-file-name=libasan.so)
            # LeakSanitizer stays off: the interpreter deliberately keeps its own objects
            # alive at exit, so every report would come from it. Leaks of this module are
            # caught by tests/test_leaks.py instead. Every other report aborts the run.
            LD_PRELOAD=$asan_runtime \
            PYTHONMALLOC=malloc \
            ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1 \
            UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
                run_pytest "$envs/$name" -q || failed+=(tests)
            tests=$(test_counts "$envs/$name")
        else
            failed+=(build)
        fi
        ;;
    esac
    if ((${#failed[@]})); then
        result="FAILED (${failed[*]})"
        failures=$((failures + 1))
    else
        result=passed
    fi
    add_row "$interpreter" "$what" "$result" "$tests" "$(duration $((SECONDS - start)))"
}

# The general-only build runs on 3.11, else on the default python3, else on
# the newest interpreter; the sanitizers on 3.11, 3.12 and the newest.
if ((${#found[@]})); then
    newest=${found[-1]}
    general=$newest
    default_minor=$(probe python3 | cut -d' ' -f1)
    if [[ -n ${python[11]:-} ]]; then
        general=11
    elif [[ -n $default_minor && -n ${python[$default_minor]:-} ]]; then
        general=$default_minor
    fi
    sanitize=($(printf '%s\n' ${python[11]:+11} ${python[12]:+12} "$newest" | sort -un))

    for minor in "${found[@]}"; do
        run release "$minor"
    done
    run general "$general"
    for minor in "${sanitize[@]}"; do
        run sanitize "$minor"
    done
fi

step "summary"
table=("interpreter|run|result|tests|time" "${rows[@]}")
widths=(0 0 0 0 0)
for row in "${table[@]}"; do
    IFS='|' read -r -a cells <<<"$row"
    for i in 0 1 2 3 4; do
        ((${#cells[i]} > widths[i])) && widths[i]=${#cells[i]}
    done
done
for row in "${table[@]}"; do
    IFS='|' read -r -a cells <<<"$row"
    printf "%-${widths[0]}s  %-${widths[1]}s  %-${widths[2]}s  %-${widths[3]}s  %s\n" "${cells[@]}"
done
for minor in "${minors[@]}"; do
    [[ -z ${python[$minor]:-} ]] && printf "skipped: $not_found\n" "$minor"
done
if ((${#found[@]} == 0)); then
    echo "FAILED: no CPython 3.7 to 3.13 to test with"
    exit 1
fi
if ((failures)); then
    echo "FAILED: $failures of ${#rows[@]} runs"
    exit 1
fi
echo "all checks passed"
