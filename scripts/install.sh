# Installing the Debian packages a script needs; sourced by lib.sh.
# shellcheck shell=bash

VELMORA_APT_LOG=${TMPDIR:-/tmp}/velmora-apt.$$.log

# apt-get update. Lists that fail (a registry mid-sync, one architecture's
# index not matching its Release file) do not stop us: they are named, and
# the install decides whether what we have is enough.
apt_update() {
    apt-get update -q >"$VELMORA_APT_LOG" 2>&1 </dev/null && return 0
    local lists
    lists=$(sed -nE 's/^Err:[0-9]+ [^ ]+ ([^ ]+) (.*)$/\1 \2/p' "$VELMORA_APT_LOG" | paste -sd ';' | sed 's/;/; /g')
    echo "apt-get update could not fetch ${lists:-some package lists}; going on with the lists it has" >&2
}

# apt-get install of the arguments, quietly; its output stays in the log.
apt_install() {
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@" \
        >"$VELMORA_APT_LOG" 2>&1 </dev/null
}

# Installs the named Debian packages that are not installed yet, all in one
# apt transaction; with all of them present it does nothing and touches no
# package list. A failed install is tried again after a fresh update (a
# registry mid-sync settles), then with the release's own suite preferred:
# while one architecture's lists lag, the other's newer security versions
# would split a Multi-Arch pair (zlib1g and zlib1g:i386) across two suites.
# Last, installed libraries may be taken back to the release's versions.
ensure_packages() {
    local missing=() package suite
    for package in "$@"; do
        [[ " ${missing[*]} " == *" $package "* ]] && continue
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
            || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages: ${missing[*]}; run this script as root, or: sudo apt-get install ${missing[*]}" >&2
        return 1
    fi
    if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
        say "Adding the i386 architecture for 32-bit Wine"
        dpkg --add-architecture i386 || return 1
        VELMORA_APT_UPDATED=
    fi
    say "Installing ${missing[*]}"
    [ -n "${VELMORA_APT_UPDATED:-}" ] || apt_update
    VELMORA_APT_UPDATED=1
    apt_install "${missing[@]}" && return 0
    say "The install failed; updating the package lists and trying once more"
    apt_update
    apt_install "${missing[@]}" && return 0
    suite=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
    if [ -n "$suite" ]; then
        say "The install failed again; trying with $suite's own suite preferred (-t $suite)"
        apt_install -t "$suite" "${missing[@]}" && return 0
        # A library installed earlier from a newer suite (the security
        # suite's amd64 half, by a command that needed no i386) has no i386
        # twin of its version while those lists lag: take it back to the
        # release's own version, so that both halves match.
        say "The install failed again; trying with $suite's own versions, taking installed libraries back to them"
        local pin=$VELMORA_APT_LOG.pref downgraded
        printf 'Package: *\nPin: release n=%s\nPin-Priority: 1001\n' "$suite" >"$pin"
        # Not with -t as well: with both, apt 2.6 kept the newer versions.
        if apt_install --allow-downgrades -o Dir::Etc::Preferences="$pin" "${missing[@]}"; then
            rm -f "$pin"
            downgraded=$(sed -n '/DOWNGRADED:/,/^[^ ]/s/^  *//p' "$VELMORA_APT_LOG" | tr '\n' ' ')
            [ -z "$downgraded" ] || echo "Taken back to $suite's own versions: $downgraded" >&2
            return 0
        fi
        rm -f "$pin"
    fi
    {
        echo "Could not install: ${missing[*]}"
        echo "apt said:"
        grep -E '^(E:|W:| [^ ])' "$VELMORA_APT_LOG" | tail -n 8 | sed 's/^/    /'
        echo "Likely cause: the package registry is mid-sync, or lacks one architecture's lists" \
             "(apt-get update names them). Nothing was installed; try again later with:"
        echo "    apt-get update && apt-get install ${suite:+-t $suite }${missing[*]}"
        echo "or run this script again."
    } >&2
    return 1
}
