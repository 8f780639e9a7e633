#!/usr/bin/env bash
# Makes, or reuses, a Debian unstable ("sid") root with the CPythons that this
# machine's own archive lacks (3.14 and 3.15, with their -dev, -venv and -dbg
# packages), g++ and clang. Prints the root's path on stdout; progress goes to
# stderr.
#
#   bash scripts/sid-root.sh            # make it if needed, print its path
#   bash scripts/sid-root.sh --check    # print the path if it is ready, else exit 1
#   bash scripts/sid-root.sh --refresh  # also bring its packages up to date
#   bash scripts/sid-root.sh --run COMMAND...
#                                       # run COMMAND in it, in this directory
#
# The root lives outside the repository, so that every clone shares it:
# $SORVEX_SID_ROOT, by default /var/cache/sorvex/sid-root (about 2 GB). The
# first run needs root and Debian's archive ($SORVEX_SID_MIRROR, by default
# http://deb.debian.org/debian); it installs debootstrap on this machine if it
# is missing. Exit status 3 means that the archive could not be reached (the
# message says so); any other failure is 1. Runs of this script wait for each
# other through a lock beside the root.
#
# Commands run in the root through in_root (below, or `source` this file with
# SORVEX_SID_LIB=1): a private mount namespace with /proc mounted, so that
# parallel runs do not unmount each other's, and the directories given in
# SORVEX_SID_BIND bound at the same path inside.
set -uo pipefail

sid_root=${SORVEX_SID_ROOT:-/var/cache/sorvex/sid-root}
sid_mirror=${SORVEX_SID_MIRROR:-http://deb.debian.org/debian}
sid_packages=(
    python3.14 python3.14-dev python3.14-venv python3.14-dbg
    python3.15 python3.15-dev python3.15-venv python3.15-dbg
    g++ clang ca-certificates
)
# The host's CA bundle, copied into the root for pip: the root's own bundle may
# lack an authority that this network's TLS needs.
sid_ca=/etc/sorvex-host-ca.crt

# in_root COMMAND...: runs COMMAND in the root, in the current directory (which
# must exist there too), with the host's CA bundle for pip.
in_root() {
    local binds=${SORVEX_SID_BIND:-}
    unshare --mount --propagation private /bin/sh -c '
        root=$1; binds=$2; shift 2
        mount -t proc proc "$root/proc" || exit 125
        for dir in $binds; do
            mkdir -p "$root$dir" && mount --bind "$dir" "$root$dir" || exit 125
        done
        exec chroot "$root" /usr/bin/env --chdir="$PWD" "$@"
    ' sh "$sid_root" "$binds" \
        PIP_CERT=$sid_ca SSL_CERT_FILE=$sid_ca REQUESTS_CA_BUNDLE=$sid_ca "$@"
}

host_ca() {
    local f
    for f in "${PIP_CERT:-}" "${SSL_CERT_FILE:-}" /etc/ssl/certs/ca-certificates.crt; do
        [[ -n $f && -f $f ]] && { echo "$f"; return; }
    done
}

say() { printf 'sid-root: %s\n' "$*" >&2; }

# The stamp records what the root was made with; a root without it is unfinished.
stamp() { printf '%s\n' "$sid_mirror" "${sid_packages[@]}"; }
ready() { [[ -f $sid_root/etc/sorvex-sid-root && "$(cat "$sid_root/etc/sorvex-sid-root")" == "$(stamp)" ]]; }

# apt_in_root ARGS...: apt-get in the root, quietly, without questions.
apt_in_root() {
    (cd / && SORVEX_SID_BIND= in_root env DEBIAN_FRONTEND=noninteractive apt-get -q -y \
        -o Dpkg::Use-Pty=0 -o APT::Install-Recommends=false "$@" >&2)
}

archive_reachable() {
    # debootstrap needs this file first; a proxy that refuses gives no 200.
    local url=$sid_mirror/dists/sid/Release
    if command -v curl >/dev/null; then
        curl -fsS -o /dev/null --max-time 30 "$url"
    elif command -v wget >/dev/null; then
        wget -q -O /dev/null --timeout=30 "$url"
    else
        "${PYTHON:-python3}" -c 'import sys, urllib.request; urllib.request.urlopen(sys.argv[1], timeout=30).read()' "$url"
    fi
}

make_root() {
    local partial=$sid_root.partial
    if ! archive_reachable; then
        say "Debian's archive ($sid_mirror) cannot be reached"
        return 3
    fi
    if ! command -v debootstrap >/dev/null; then
        say "installing debootstrap on this machine"
        { apt-get -q update && DEBIAN_FRONTEND=noninteractive apt-get -q -y install debootstrap; } >&2 || return 1
    fi
    if [[ ! -f $sid_root/etc/debian_version ]]; then
        rm -rf "$partial"
        mkdir -p "$(dirname "$sid_root")" || return 1
        say "debootstrap --variant=minbase sid $partial (about 2 minutes)"
        # debootstrap mounts /proc and /sys in the target; a private namespace
        # keeps those mounts from outliving it.
        unshare --mount --propagation private \
            debootstrap --variant=minbase sid "$partial" "$sid_mirror" >&2 || return 1
        mv "$partial" "$sid_root" || return 1
    fi
    # sid's Release file is often past its Valid-Until date between two publishes.
    echo 'Acquire::Check-Valid-Until "false";' >"$sid_root/etc/apt/apt.conf.d/99sorvex-valid-until"
    say "installing ${sid_packages[*]}"
    apt_in_root update || return 1
    apt_in_root install "${sid_packages[@]}" || return 1
    apt_in_root clean
    stamp >"$sid_root/etc/sorvex-sid-root"
}

main() {
    local refresh=0 check=0 ca status run=()
    case ${1:-} in
    --refresh) refresh=1 ;;
    --check) check=1 ;;
    --run)
        shift
        run=("$@")
        ((${#run[@]})) || { say "--run needs a command"; return 1; }
        ;;
    '') ;;
    *) say "unknown option $1"; return 1 ;;
    esac
    if ((check)); then
        ready && echo "$sid_root"
        return
    fi
    if ((EUID != 0)); then
        say "making or entering the root needs root"
        return 1
    fi
    mkdir -p "$(dirname "$sid_root")" || return 1
    exec 9>"$sid_root.lock" && flock 9 || return 1
    if ! ready; then
        make_root
        status=$?
        ((status)) && return $status
    elif ((refresh)); then
        apt_in_root update && apt_in_root dist-upgrade && apt_in_root clean || return 1
    fi
    ca=$(host_ca)
    [[ -n $ca ]] && cp "$ca" "$sid_root$sid_ca"
    if ((${#run[@]})); then
        exec 9>&-
        SORVEX_SID_BIND="${SORVEX_SID_BIND:-} $PWD" in_root "${run[@]}"
        return
    fi
    echo "$sid_root"
}

if [[ -z ${SORVEX_SID_LIB:-} ]]; then
    main "$@"
fi
