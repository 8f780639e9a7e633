#!/usr/bin/env bash
# Installs sorvex the way a user does (pip install ., not editable) into fresh
# virtual environments and runs every check, on every CPython from 3.7 up on
# this machine or in the sid root (below):
#   1. on each interpreter, its debug builds included: a build with compiler
#      warnings as errors, the test suite with the example external plugin
#      installed, and the type-stub check (mypy.stubtest);
#   2. the test suite against a build with every fast path compiled out
#      (SORVEX_GENERAL_ONLY=1), on 3.11 (or the default python3);
#   3. the test suite against a build with AddressSanitizer and
#      UndefinedBehaviorSanitizer, on 3.11, on 3.12 (the first version whose
#      type and exception APIs the module switches to) and on the newest
#      interpreter;
#   4. a build with clang and warnings as errors, and the test suite, on the
#      newest interpreter that has clang at hand;
#   5. scripts/check-dist.sh (the sdist and the wheel) on 3.11, if it exists.
# A failure does not stop the run; a table of all runs closes it. Exits
# non-zero if any run failed, if no test ran, or if no interpreter was found.
#
# Interpreters: the pyenv versions, then python3.N and python3 on PATH, then
# python3.N and python3.Nd (the debug build) in a Debian unstable root that
# scripts/sid-root.sh makes or reuses (3.14, 3.15 and their debug builds: this
# machine's own archive has none newer than 3.11); the first one found of each
# version and kind. Where Debian's archive cannot be reached to make that root,
# its interpreters are listed as skipped. A free-threaded build is listed as
# skipped: the manager relies on the interpreter lock. SORVEX_PYTHONS (paths
# or command names, separated by blanks; sid:NAME for one in the root)
# replaces that search, e.g.
#   SORVEX_PYTHONS=/usr/bin/python3.12 bash scripts/run-tests.sh
#   SORVEX_PYTHONS="sid:python3.14 sid:python3.14d" bash scripts/run-tests.sh
# SORVEX_RUNS (default "release general sanitize clang dist") picks the kinds
# of runs. Each build gets its own copy of the source tree; venvs go to
# build/test-envs/<name> (or $SORVEX_TEST_ENVS/<name>).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
envs=${SORVEX_TEST_ENVS:-$root/build/test-envs}
runs=" ${SORVEX_RUNS:-release general sanitize clang dist} "
# Versions looked for on this machine, and in the sid root.
host_ids=(3.7 3.8 3.9 3.10 3.11 3.12 3.13)
sid_ids=(3.14 3.15 3.14-dbg 3.15-dbg)

step() { printf '\n=== %s\n' "$*"; }

# The sid root's helpers (in_root); commands there see the repository and the
# venvs at the same paths as here.
SORVEX_SID_LIB=1 source scripts/sid-root.sh
export SORVEX_SID_BIND="$root"
[[ $envs/ == "$root"/* ]] || SORVEX_SID_BIND+=" $envs"

# probe PYTHON: prints "ID VERSION EXECUTABLE FREE_THREADED" for a CPython 3.7 or
# later, nothing otherwise. ID is 3.N, or 3.N-dbg for a debug build (Py_DEBUG).
# Written to run on any Python.
probe() {
    "$@" -c '
import platform, sys, sysconfig
if platform.python_implementation() == "CPython" and sys.version_info >= (3, 7):
    sys.stdout.write("3.%d%s %s %s %d\n" % (
        sys.version_info[1], "-dbg" if hasattr(sys, "gettotalrefcount") else "",
        platform.python_version(), sys.executable, bool(sysconfig.get_config_var("Py_GIL_DISABLED"))))
' 2>/dev/null
}

declare -A python version where    # by ID: executable, full version, host or sid
rows=()                            # the summary table, one "a|b|c|d|e" line per run
skipped=()                         # lines listed after the table
failures=0

# add_row INTERPRETER RUN RESULT TESTS TIME
add_row() { rows+=("$1|$2|$3|$4|$5"); }

# run_in ID COMMAND...: COMMAND where interpreter ID lives.
run_in() {
    if [[ ${where[$1]} == sid ]]; then
        shift
        in_root "$@"
    else
        shift
        "$@"
    fi
}

# The sid root, made or reused when an interpreter there is wanted; a root that
# cannot be made because the archive is out of reach only skips them.
sid_ready=
sid_skip=
want_sid() {
    [[ -n $sid_ready || -n $sid_skip ]] && return
    step "the sid root (scripts/sid-root.sh)"
    local status=0 start=$SECONDS
    bash scripts/sid-root.sh >/dev/null || status=$?
    if ((status == 0)); then
        sid_ready=$sid_root
    elif ((status == 3)); then
        sid_skip="Debian's archive cannot be reached to make the sid root"
    else
        sid_skip="the sid root could not be made"
        add_row "sid root $sid_root" "scripts/sid-root.sh" "FAILED (exit $status)" "-" "$(duration $((SECONDS - start)))"
        failures=$((failures + 1))
    fi
}

# consider PLACE CANDIDATE: takes the interpreter if it is the first of its ID.
consider() {
    local place=$1 candidate=$2 id full exe threaded
    if [[ $place == sid ]]; then
        read -r id full exe threaded < <(cd / && probe in_root "$candidate") || true
    else
        read -r id full exe threaded < <(probe "$candidate") || true
    fi
    if [[ -z ${id:-} ]]; then
        if [[ -n ${SORVEX_PYTHONS:-} ]]; then
            add_row "$candidate" "-" "FAILED: not a CPython 3.7 or later" "-" "-"
            failures=$((failures + 1))
        fi
    elif ((threaded)); then
        [[ $place == sid ]] && exe+=" (sid root)"
        skipped+=("$full $exe: a free-threaded build; the manager relies on the interpreter lock")
    elif [[ -z ${python[$id]:-} ]]; then
        python[$id]=$exe
        version[$id]=$full
        where[$id]=$place
    fi
}

duration() { printf '%dm%02ds' $(($1 / 60)) $(($1 % 60)); }

if [[ -n ${SORVEX_PYTHONS:-} ]]; then
    for candidate in $SORVEX_PYTHONS; do
        if [[ $candidate == sid:* ]]; then
            want_sid
            [[ -n $sid_ready ]] && consider sid "${candidate#sid:}"
        else
            consider host "$candidate"
        fi
    done
    not_found="CPython %s not in SORVEX_PYTHONS"
else
    pyenv_root=$(pyenv root 2>/dev/null || true)
    if [[ -n $pyenv_root && -d $pyenv_root/versions ]]; then
        while IFS= read -r dir; do
            [[ -x $dir/bin/python3 ]] && consider host "$dir/bin/python3"
        done < <(printf '%s\n' "$pyenv_root"/versions/*/ | sed 's:/$::' | sort -V)
    fi
    while IFS= read -r name; do
        consider host "$(command -v "$name")"
    done < <(compgen -c python3. | grep -E '^python3\.[0-9]+[dt]?$' | sort -uV)
    command -v python3 >/dev/null && consider host "$(command -v python3)"
    want_sid
    if [[ -n $sid_ready ]]; then
        while IFS= read -r name; do
            consider sid "/usr/bin/$name"
        done < <(ls "$sid_root/usr/bin" | grep -E '^python3\.[0-9]+[dt]?$' | sort -V)
    fi
    not_found="no CPython %s found on this machine"
fi
# Every ID found, in version order, the debug builds last.
found=($(printf '%s\n' "${!python[@]}" | grep -v -- -dbg | sort -V)
       $(printf '%s\n' "${!python[@]}" | grep -- -dbg | sort -V))
releases=($(printf '%s\n' "${!python[@]}" | grep -v -- -dbg | sort -V))

# label ID: the interpreter column of the table.
label() {
    local place=
    [[ ${where[$1]} == sid ]] && place=" (sid root)"
    echo "${version[$1]} ${python[$1]}$place"
}

step "interpreters"
for id in ${found[@]+"${found[@]}"}; do
    echo "$id: $(label "$id")"
done

# make_env NAME ID [VAR=VALUE ...]: a fresh venv with sorvex built, from a
# private copy of the source tree, under the given environment; plus the test
# tools and the example external plugin.
make_env() {
    local name=$1 id=$2; shift 2
    local venv=$envs/$name
    local src=$venv/src minor=${id#3.}
    minor=${minor%-dbg}
    rm -rf "$venv"
    mkdir -p "$envs" || return
    run_in "$id" "${python[$id]}" -m venv "$venv" || return
    copy_tree "$src" || return
    run_in "$id" "$venv/bin/python" -m pip install -q --upgrade pip || return
    # sorvex reads entry points without setuptools. Venvs before 3.12 come with
    # the interpreter's own old setuptools; 3.11's get the newest one that
    # still ships pkg_resources, for the test that compares its answers with
    # ours. The others are left as venv made them.
    if [[ $id == 3.11 ]]; then
        run_in "$id" "$venv/bin/python" -m pip install -q --upgrade "setuptools<82" || return
    fi
    run_in "$id" env "$@" "$venv/bin/python" -m pip install -q "$src[test]" || return
    run_in "$id" "$venv/bin/python" -m pip install -q "$src/examples/external-plugin"
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

# run_pytest ID VENV [pytest args...]: pytest exits 5 when it collected nothing,
# which fails the run like any other failure. The output is kept in
# VENV/pytest.log. The caller's test_env (VAR=VALUE words) goes to pytest alone.
run_pytest() {
    local id=$1 venv=$2; shift 2
    run_in "$id" env ${test_env[@]+"${test_env[@]}"} "$venv/bin/python" -m pytest -p no:cacheprovider "$@" 2>&1 |
        tee "$venv/pytest.log"
}

# test_counts VENV: the counts of the last pytest summary line ("3 failed,
# 680 passed"), or a note that pytest ended without one (a crash).
test_counts() {
    local line
    line=$(grep -E '^=* ?[0-9]+ [a-z]+.* in [0-9.]+s' \
        "$1/pytest.log" 2>/dev/null | tail -n 1 | sed -E 's/^=* ?//; s/ in [0-9.]+s.*$//')
    echo "${line:-no pytest summary (crashed?)}"
}

# run KIND ID: one row of the table. KIND is release (build with -Werror,
# tests, stubtest), general (fast paths compiled out, tests), sanitize, or
# clang (built with clang and -Werror, tests).
run() {
    local kind=$1 id=$2
    local name=py$id what result failed=() tests=- start=$SECONDS test_env=()
    local build=(SORVEX_WERROR=1) pytest_args=(-q)
    case $kind in
    release)
        what="build -Werror, tests, stubtest"
        pytest_args=()
        step "$id: build and install (-Werror)"
        ;;
    general)
        name+=-general
        what="general-only build, tests"
        build+=(SORVEX_GENERAL_ONLY=1)
        step "$id: build and install with the fast paths compiled out (SORVEX_GENERAL_ONLY=1)"
        ;;
    sanitize)
        name+=-sanitize
        what="ASan+UBSan build, tests"
        build+=(SORVEX_SANITIZE=1)
        step "$id: build and install with AddressSanitizer and UndefinedBehaviorSanitizer"
        # LeakSanitizer stays off: the interpreter deliberately keeps its own objects
        # alive at exit, so every report would come from it. Leaks of this module are
        # caught by tests/test_leaks.py instead. Every other report aborts the run.
        test_env=(
            "LD_PRELOAD=$(cd / && run_in "$id" "${CXX:-g++}" -print-file-name=libasan.so)"
            PYTHONMALLOC=malloc
            ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1
            UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
        )
        ;;
    clang)
        name+=-clang
        what="clang build -Werror, tests"
        build+=(CC=clang CXX=clang++)
        step "$id: build and install with clang (-Werror)"
        ;;
    esac
    if make_env "$name" "$id" "${build[@]}"; then
        step "$id: tests ($what)"
        run_pytest "$id" "$envs/$name" ${pytest_args[@]+"${pytest_args[@]}"} || failed+=(tests)
        tests=$(test_counts "$envs/$name")
        if [[ $kind == release ]]; then
            step "$id: stubtest"
            run_in "$id" "$envs/$name/bin/python" -m mypy.stubtest sorvex.core.pluginmanager || failed+=(stubtest)
        fi
    else
        failed+=(build)
    fi
    if ((${#failed[@]})); then
        result="FAILED (${failed[*]})"
        failures=$((failures + 1))
    else
        result=passed
    fi
    add_row "$(label "$id")" "$what" "$result" "$tests" "$(duration $((SECONDS - start)))"
}

# dist: scripts/check-dist.sh (sdist and wheel built, checked, installed) on 3.11.
dist() {
    local start=$SECONDS result=passed what="sdist and wheel (scripts/check-dist.sh)"
    if [[ -z ${python[3.11]:-} ]]; then
        add_row "CPython 3.11" "$what" "skipped: no CPython 3.11" "-" "-"
        return
    fi
    if [[ ! -f scripts/check-dist.sh ]]; then
        add_row "$(label 3.11)" "$what" "skipped: no scripts/check-dist.sh" "-" "-"
        return
    fi
    step "3.11: sdist and wheel (scripts/check-dist.sh)"
    if ! run_in 3.11 bash scripts/check-dist.sh "${python[3.11]}"; then
        result=FAILED
        failures=$((failures + 1))
    fi
    add_row "$(label 3.11)" "$what" "$result" "-" "$(duration $((SECONDS - start)))"
}

wanted() { [[ $runs == *" $1 "* ]]; }

# The general-only build runs on 3.11, else on the default python3, else on
# the newest interpreter; the sanitizers on 3.11, 3.12 and the newest; clang
# on the newest that has it (in the sid root, Debian's clang package). Debug
# builds get the release runs only.
if ((${#found[@]})); then
    newest=${found[-1]}
    ((${#releases[@]})) && newest=${releases[-1]}
    general=$newest
    default_id=$(probe python3 | cut -d' ' -f1)
    if [[ -n ${python[3.11]:-} ]]; then
        general=3.11
    elif [[ -n $default_id && -n ${python[$default_id]:-} ]]; then
        general=$default_id
    fi
    sanitize=($(printf '%s\n' ${python[3.11]:+3.11} ${python[3.12]:+3.12} "$newest" | sort -uV))
    clang=
    for id in "${releases[@]}"; do
        (cd / && run_in "$id" sh -c 'command -v clang++' >/dev/null) && clang=$id
    done

    if wanted release; then
        for id in "${found[@]}"; do
            run release "$id"
        done
    fi
    wanted general && run general "$general"
    if wanted sanitize; then
        for id in "${sanitize[@]}"; do
            run sanitize "$id"
        done
    fi
    if wanted clang; then
        if [[ -n $clang ]]; then
            run clang "$clang"
        else
            skipped+=("the clang build: no clang++ beside any interpreter${sid_skip:+ ($sid_skip)}")
        fi
    fi
fi
wanted dist && dist

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
for id in "${host_ids[@]}" "${sid_ids[@]}"; do
    [[ -n ${python[$id]:-} ]] && continue
    if [[ -n $sid_skip && " ${sid_ids[*]} " == *" $id "* ]]; then
        echo "skipped: CPython $id: $sid_skip"
    else
        printf "skipped: $not_found\n" "$id"
    fi
done
for line in ${skipped[@]+"${skipped[@]}"}; do
    echo "skipped: $line"
done
if ((${#found[@]} == 0)); then
    echo "FAILED: no CPython 3.7 or later to test with"
    exit 1
fi
if ((failures)); then
    echo "FAILED: $failures of ${#rows[@]} runs"
    exit 1
fi
echo "all checks passed"
