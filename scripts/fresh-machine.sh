#!/usr/bin/env bash
# Runs the README's two commands as a new user would, on a fresh minimal
# Debian made with debootstrap in build/fresh-machine/<release>/root, from
# the package registry this machine's apt sources name (their suites renamed
# to the release's): a clone of this checkout's HEAD inside, /proc, /sys
# and /dev bound in a private mount namespace, then `scripts/run.sh -L` and
# `scripts/test.sh` as root. Each command's status, time and output go to
# build/fresh-machine/<release>/; each release has its own folder, so two
# runs can go at once.
#
#   scripts/fresh-machine.sh               Debian 12, then Debian 13
#   scripts/fresh-machine.sh 13            Debian 13 only (or 12)
#   scripts/fresh-machine.sh 12 run.sh     the first command only
#
# VELMORA_HOST_64BIT_ONLY and VELMORA_ALLOW_DOWNGRADE, where set, are set
# for the commands in the fresh machine too.
#
# It depends on the registry's state of the day, so no test runs it.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

releases=(12 13)
case ${1:-} in
12|13) releases=("$1"); shift ;;
esac
commands=("scripts/run.sh -L" "scripts/test.sh")
[ "${1:-}" = run.sh ] && commands=("scripts/run.sh -L")

[ "$(id -u)" -eq 0 ] || { echo "fresh-machine.sh: run it as root (debootstrap, chroot, mounts)" >&2; exit 1; }
ensure_packages debootstrap git || exit 1
mirror=$(sed -nE 's/^URIs: *([^ ]+).*/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n 1)
[ -n "$mirror" ] || mirror=$(sed -nE 's/^deb +([^ ]+) .*/\1/p' /etc/apt/sources.list 2>/dev/null | head -n 1)
[ -n "$mirror" ] || { echo "fresh-machine.sh: no Debian mirror found in this machine's apt sources" >&2; exit 1; }
host_suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
# What the fresh machine's environment gets of this one: the certificate
# bundle for Node.js where this machine names one, and the scripts' own
# switches a user would set (the 64-bit-only path, leave to downgrade).
settings=()
[ -z "${NODE_EXTRA_CA_CERTS:-}" ] || settings+=(NODE_EXTRA_CA_CERTS=/etc/ssl/certs/ca-certificates.crt)
for setting in VELMORA_HOST_64BIT_ONLY VELMORA_ALLOW_DOWNGRADE; do
    [ -z "${!setting:-}" ] || settings+=("$setting=${!setting}")
done

for release in "${releases[@]}"; do
    suite=bookworm
    [ "$release" = 13 ] && suite=trixie
    work=$VELMORA_BUILD/fresh-machine/$release
    root=$work/root
    say "A fresh Debian $release ($suite) in $root"
    rm -rf "$root" && mkdir -p "$work"
    debootstrap --variant=minbase "$suite" "$root" "$mirror" >"$work/debootstrap.log" 2>&1 ||
        { tail -n 5 "$work/debootstrap.log" >&2; exit 1; }
    # This machine's sources, naming the release's suites (trixie,
    # trixie-updates, trixie-security) where they name this machine's.
    rm -f "$root/etc/apt/sources.list"
    for file in /etc/apt/sources.list.d/*.sources /etc/apt/sources.list; do
        [ -f "$file" ] && sed -E "s/\b$host_suite\b/$suite/g" "$file" >"$root$file"
    done
    cp /etc/resolv.conf "$root/etc/" 2>/dev/null || true
    # This machine's own certificate authorities, for a network that needs
    # them (ca-certificates adds them when installed); Node.js reads them
    # only when NODE_EXTRA_CA_CERTS names the bundle.
    mkdir -p "$root/usr/local/share/ca-certificates"
    cp -a /usr/local/share/ca-certificates/. "$root/usr/local/share/ca-certificates/" 2>/dev/null || true
    git clone -q "$VELMORA_ROOT" "$root/velmora"

    for command in "${commands[@]}"; do
        name=${command%% *}; name=${name#scripts/}
        say "In the fresh Debian $release: $command (output in $work/$name.log)"
        start=$(date +%s)
        set +e
        unshare -m bash -c '
            mount --make-rprivate /
            for fs in proc sys dev; do mount --rbind "/$fs" "$1/$fs"; done
            exec chroot "$1" env -i HOME=/root TERM=dumb PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
                "${@:3}" bash -c "cd /velmora && $2" </dev/null' \
            _ "$root" "$command" "${settings[@]}" >"$work/$name.log" 2>&1
        status=$?
        set -e
        echo "Debian $release, $command: status $status, $(( $(date +%s) - start )) s"
        grep -E 'apt-get update|could not fetch|Could not install|velmora: [0-9]+ passed' "$work/$name.log" | head -n 5 || true
    done
done
