#!/usr/bin/env bash
# Runs the README's two commands as a new user would, on a fresh minimal
# Debian 12 made with debootstrap in build/fresh-machine/root, from the
# package registry this machine's apt sources name: a clone of this
# checkout's HEAD inside, /proc, /sys and /dev bound in a private mount
# namespace, then `scripts/run.sh -L` and `scripts/test.sh` as root. Each
# command's status, time and output go to build/fresh-machine/.
#
#   scripts/fresh-machine.sh             both commands
#   scripts/fresh-machine.sh run.sh      the first one only
#
# It depends on the registry's state of the day, so no test runs it.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

[ "$(id -u)" -eq 0 ] || { echo "fresh-machine.sh: run it as root (debootstrap, chroot, mounts)" >&2; exit 1; }
ensure_packages debootstrap git || exit 1
work=$VELMORA_BUILD/fresh-machine
root=$work/root
mirror=$(sed -nE 's/^URIs: *([^ ]+).*/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n 1)
[ -n "$mirror" ] || mirror=$(sed -nE 's/^deb +([^ ]+) .*/\1/p' /etc/apt/sources.list 2>/dev/null | head -n 1)
[ -n "$mirror" ] || { echo "fresh-machine.sh: no Debian mirror found in this machine's apt sources" >&2; exit 1; }

say "A fresh Debian 12 in $root"
rm -rf "$root" && mkdir -p "$work"
debootstrap --variant=minbase bookworm "$root" "$mirror" >"$work/debootstrap.log" 2>&1 ||
    { tail -n 5 "$work/debootstrap.log" >&2; exit 1; }
rm -f "$root/etc/apt/sources.list"
cp -a /etc/apt/sources.list.d/*.sources "$root/etc/apt/sources.list.d/" 2>/dev/null || true
[ -f /etc/apt/sources.list ] && cp /etc/apt/sources.list "$root/etc/apt/"
cp /etc/resolv.conf "$root/etc/" 2>/dev/null || true
# This machine's own certificate authorities, for a network that needs them
# (ca-certificates adds them when installed); Node.js reads them only when
# NODE_EXTRA_CA_CERTS names the bundle.
mkdir -p "$root/usr/local/share/ca-certificates"
cp -a /usr/local/share/ca-certificates/. "$root/usr/local/share/ca-certificates/" 2>/dev/null || true
git clone -q "$VELMORA_ROOT" "$root/velmora"

commands=("scripts/run.sh -L" "scripts/test.sh")
[ "${1:-}" = run.sh ] && commands=("scripts/run.sh -L")
for command in "${commands[@]}"; do
    name=${command%% *}; name=${name#scripts/}
    say "In the fresh machine: $command (output in $work/$name.log)"
    start=$(date +%s)
    set +e
    unshare -m bash -c '
        mount --make-rprivate /
        for fs in proc sys dev; do mount --rbind "/$fs" "$1/$fs"; done
        exec chroot "$1" env -i HOME=/root TERM=dumb PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
            ${3:+NODE_EXTRA_CA_CERTS=/etc/ssl/certs/ca-certificates.crt} bash -c "cd /velmora && $2" </dev/null' \
        _ "$root" "$command" "${NODE_EXTRA_CA_CERTS:-}" >"$work/$name.log" 2>&1
    status=$?
    set -e
    echo "$command: status $status, $(( $(date +%s) - start )) s"
    grep -E 'apt-get update|could not fetch|Could not install|velmora: [0-9]+ passed' "$work/$name.log" | head -n 5 || true
done
