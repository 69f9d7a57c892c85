#!/usr/bin/env bash
# The scripts' install logic against stand-ins for apt-get, dpkg, dpkg-query
# and id: one row a case, each checking the status and what was (or was
# never) said and called.
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for tool in apt-get dpkg dpkg-query id; do ln -s "$here/fake_apt" "$work/$tool"; done

# name | uid update install | host runs x86 | what is asked for | status | must appear | must not appear
rows=(
"update fails, install works|0 fail ok|yes|x86|0|going on with the lists it has;install.*wine32:i386|install.* -t "
"multi-arch skew mended by one suite|0 fail skew|yes|x86|0|install.* -t bookworm .*wine32:i386|Could not install;allow-downgrades"
"newer amd64 halves taken back|0 fail newer|yes|x86|0|allow-downgrades.*wine32:i386;Taken back to bookworm's own versions: libssl3|Could not install"
"install always fails|0 fail never|yes|test.sh|1|Could not install: .*wine32:i386;E: Unable to correct problems;mid-sync;apt-get install -t bookworm|==> Build"
"everything present|0 ok ok|yes|present|0||^apt-get"
"not root|1000 ok ok|yes|x86|1|Missing packages: .*; run this script as root|^apt-get;add-architecture"
"64-bit-only host, x64 build|0 ok ok|no|x64|0|install.*wine64|add-architecture;:i386;qemu"
"64-bit-only host, x86 build|0 ok ok|no|x86|0|add-architecture i386;install.*wine32:i386.*qemu-user-static|"
)
passed=0 failed=0
for row in "${rows[@]}"; do
    IFS='|' read -r name fakes host asked status must mustnot <<<"$row"
    read -r FAKE_UID FAKE_UPDATE FAKE_INSTALL <<<"$fakes"
    export FAKE_UID FAKE_UPDATE FAKE_INSTALL FAKE_STATE=$work/state VELMORA_HOST_X86=$host
    rm -rf "$FAKE_STATE" && mkdir "$FAKE_STATE" && : >"$FAKE_STATE/installed" && : >"$FAKE_STATE/archs"
    case $asked in
    test.sh) cmd=(bash "$root/scripts/test.sh") ;;
    present) printf '%s\n' cmake make i386 >"$FAKE_STATE/installed"; echo i386 >"$FAKE_STATE/archs"
             cmd=(bash -c 'source "$1/scripts/lib.sh"; ensure_packages cmake make' _ "$root") ;;
    *) cmd=(bash -c 'source "$1/scripts/lib.sh"; ensure_packages cmake $(wine_packages "$2")' _ "$root" "$asked") ;;
    esac
    PATH=$work:$PATH timeout 60 "${cmd[@]}" >"$work/out" 2>&1 </dev/null
    got=$?
    cat "$FAKE_STATE/calls" >>"$work/out"
    problems=
    [ "$got" = "$status" ] || problems+=" status $got, not $status;"
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
