#!/usr/bin/env bash
# The scripts' install logic against stand-ins for apt-get, dpkg, dpkg-query
# and id: one row a case, each checking the status and what was (or was
# never) said and called.
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for tool in apt-get dpkg dpkg-query id; do ln -s "$here/fake_apt" "$work/$tool"; done
echo VERSION_CODENAME=trixie >"$work/os-release"
export VELMORA_OS_RELEASE=$work/os-release TMPDIR=$work/tmp
# Each row sets what it needs; nothing comes from the caller's environment
# (`VELMORA_ALLOW_DOWNGRADE=1 scripts/test.sh` must not give every row leave).
unset VELMORA_ALLOW_DOWNGRADE VELMORA_HOST_64BIT_ONLY

# Every row also checks that each install carries --no-remove, and that a
# run leaves nothing in TMPDIR but, when it fails, apt's log.
# name | uid update install [environment] | host runs x86 | what is asked for | status | must appear | must not appear
rows=(
"update fails, install works|0 fail ok|yes|x86|0|going on with the lists it has;install.*wine32:i386|install.* -t "
"multi-arch skew mended by one suite|0 fail skew|yes|x86|0|install.* -t trixie .*wine32:i386|Could not install;allow-downgrades"
"only a downgrade would do: nothing changed|0 fail newer|yes|x86|1|libssl3: installed 3.0.16-1~deb12u1, older 3.0.15-1~deb12u1;VELMORA_ALLOW_DOWNGRADE=1;remove-architecture i386|took libssl3 back;libexpat1;Dir::Etc::Preferences=;mid-sync"
"only a downgrade would do, allowed|0 fail newer VELMORA_ALLOW_DOWNGRADE=1|yes|x86|0|install.*allow-downgrades.*wine32:i386;took libssl3 back;Taken back to trixie's own versions;libssl3: installed 3.0.16-1~deb12u1|Could not install;Dir::Etc::Preferences="
"lock held for a while: waited for|0 ok locked|yes|x86|0|install.*Lock::Timeout=[0-9]+.*wine32:i386|install.* -t ;Could not install"
"package the release lacks|0 fail lacks|yes|x86|1|E: Unable to locate package wine64;Debian trixie has no such package;remove-architecture i386|install.* -t ;trying once more;mid-sync"
"install always fails|0 fail never|yes|test.sh|1|Could not install: .*wine32:i386;E: Unable to correct problems;mid-sync;apt-get install .*-t trixie|==> Build"
"everything present|0 ok ok|yes|present|0||^apt-get"
"not root|1000 ok ok|yes|x86|1|Missing packages: .*; run this script as root|^apt-get;add-architecture"
"64-bit-only host, x64 build|0 ok ok|no|x64|0|install.*wine64|add-architecture;:i386;qemu"
"64-bit-only host, x86 build|0 ok ok|no|x86|0|add-architecture i386;install.*wine32:i386.*qemu-user-static|"
)
passed=0 failed=0
for row in "${rows[@]}"; do
    IFS='|' read -r name fakes host asked status must mustnot <<<"$row"
    read -r FAKE_UID FAKE_UPDATE FAKE_INSTALL environment <<<"$fakes"
    export FAKE_UID FAKE_UPDATE FAKE_INSTALL FAKE_STATE=$work/state VELMORA_HOST_X86=$host
    rm -rf "$FAKE_STATE" "$TMPDIR" && mkdir "$FAKE_STATE" "$TMPDIR" && : >"$FAKE_STATE/installed" && : >"$FAKE_STATE/archs"
    case $asked in
    test.sh) cmd=(bash "$root/scripts/test.sh") ;;
    present) printf '%s\n' cmake make i386 >"$FAKE_STATE/installed"; echo i386 >"$FAKE_STATE/archs"
             cmd=(bash -c 'source "$1/scripts/lib.sh"; ensure_packages cmake make' _ "$root") ;;
    *) cmd=(bash -c 'source "$1/scripts/lib.sh"; ensure_packages cmake $(wine_packages "$2")' _ "$root" "$asked") ;;
    esac
    env $environment PATH="$work:$PATH" timeout 60 "${cmd[@]}" >"$work/out" 2>&1 </dev/null
    got=$?
    cat "$FAKE_STATE/calls" >>"$work/out"
    problems=
    [ "$got" = "$status" ] || problems+=" status $got, not $status;"
    ! grep '^apt-get install' "$FAKE_STATE/calls" | grep -qv -- --no-remove || problems+=" an install without --no-remove;"
    left=$(ls "$TMPDIR" | { if [ "$got" = 0 ]; then cat; else grep -v '^velmora-apt\.'; fi; })
    [ -z "$left" ] || problems+=" left in TMPDIR: $left;"
    IFS=';' read -ra patterns <<<"$must"
    for pattern in "${patterns[@]}"; do grep -qE -- "$pattern" "$work/out" || problems+=" no '$pattern';"; done
    IFS=';' read -ra patterns <<<"$mustnot"
    for pattern in "${patterns[@]}"; do ! grep -qE -- "$pattern" "$work/out" || problems+=" '$pattern' appeared;"; done
    if [ -z "$problems" ]; then
        passed=$((passed + 1)); echo "ok: $name"
    else
        failed=$((failed + 1)); echo "FAILED: $name:$problems"; echo "  row: $row"; sed 's/^/  | /' "$work/out"
    fi
done
echo "install: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
