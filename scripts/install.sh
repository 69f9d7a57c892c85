# Installing the Debian packages a script needs; sourced by lib.sh.
# shellcheck shell=bash
#
# The install never weakens the machine: nothing installed is taken back to
# an older version or removed unless the user allows it, the machine's own
# apt preferences stay in force, and a dpkg lock held by another apt is
# waited for. What a failed run added (the i386 architecture) it takes back.
#
#   VELMORA_ALLOW_DOWNGRADE=1   allow installed packages to be taken back to
#                               the release's own, older versions, where only
#                               that lets the 32-bit Wine in

# The machine's release, read for its codename; tests point it elsewhere.
VELMORA_OS_RELEASE=${VELMORA_OS_RELEASE:-/etc/os-release}
# Seconds an install waits for the dpkg lock: long enough for the
# unattended-upgrades of a fresh machine to finish.
VELMORA_APT_LOCK_WAIT=900
VELMORA_APT_LOG=

# The codename of this machine's Debian release (bookworm, trixie), or nothing.
release_codename() {
    (. "$VELMORA_OS_RELEASE" 2>/dev/null && echo "${VERSION_CODENAME:-}")
}

# apt-get update. Lists that fail (a registry mid-sync, one architecture's
# index not matching its Release file) do not stop us: they are named, and
# the install decides whether what we have is enough.
apt_update() {
    apt-get update -q -o DPkg::Lock::Timeout="$VELMORA_APT_LOCK_WAIT" \
        >"$VELMORA_APT_LOG" 2>&1 </dev/null && return 0
    local lists
    lists=$(sed -nE 's/^Err:[0-9]+ [^ ]+ ([^ ]+) (.*)$/\1 \2/p' "$VELMORA_APT_LOG" | paste -sd ';' | sed 's/;/; /g')
    echo "apt-get update could not fetch ${lists:-some package lists}; going on with the lists it has" >&2
}

# apt-get install of the arguments, quietly; its output stays in the log.
# Never removes a package, and waits for a dpkg lock another apt holds.
apt_install() {
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends --no-remove \
        -o DPkg::Lock::Timeout="$VELMORA_APT_LOCK_WAIT" "$@" >"$VELMORA_APT_LOG" 2>&1 </dev/null
}

# Why the last apt-get install failed, read from its log: lock, missing (a
# package the release does not have), fetch, unmet (dependencies) or other.
apt_failure() {
    local log=$VELMORA_APT_LOG
    if grep -qE '^E: (Could not get lock|Unable to acquire the dpkg)' "$log"; then echo lock
    elif grep -qE '^E: (Unable to locate package|Package .* has no installation candidate|Couldn.t find any package)' "$log"; then echo missing
    elif grep -qE '^E: (Failed to fetch|Unable to fetch)' "$log"; then echo fetch
    elif grep -qE '^E: (Unable to correct problems|Unmet dependencies|Unable to satisfy dependencies|Error, pkgProblemResolver)' "$log"; then
        echo unmet
    else echo other; fi
}

# Installs the named Debian packages that are not installed yet, all in one
# apt transaction; with all of them present it does nothing and touches no
# package list. Returns 1, having said why, when they cannot be installed.
ensure_packages() {
    local missing=() package added=
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
        VELMORA_APT_UPDATED= added=1
    fi
    VELMORA_APT_LOG=$(mktemp "${TMPDIR:-/tmp}/velmora-apt.XXXXXX") || return 1
    say "Installing ${missing[*]}"
    [ -n "${VELMORA_APT_UPDATED:-}" ] || apt_update
    VELMORA_APT_UPDATED=1
    if install_missing "$(release_codename)" "${missing[@]}"; then
        rm -f "$VELMORA_APT_LOG"
        return 0
    fi
    report_install_failure "$(release_codename)" "${missing[@]}"
    if [ -n "$added" ] && dpkg --remove-architecture i386; then
        echo "The i386 architecture added for this install is removed again." >&2
        VELMORA_APT_UPDATED=
    fi
    return 1
}

# Installs the packages $2... in one transaction, each step tried only after
# the failure it mends. A fresh update mends lists that changed under us (a
# registry mid-sync settling); preferring the release's suite $1 (-t) mends
# a Multi-Arch pair (zlib1g and zlib1g:i386) split across two suites while
# one architecture's lists lag. A lock, or a package the release lacks,
# stops at once. VELMORA_INSTALL_FAILURE says why the last step failed.
install_missing() {
    local suite=$1
    shift
    apt_install "$@" && return 0
    VELMORA_INSTALL_FAILURE=$(apt_failure)
    case $VELMORA_INSTALL_FAILURE in
    fetch | unmet)
        say "The install failed; updating the package lists and trying once more"
        apt_update
        apt_install "$@" && return 0
        VELMORA_INSTALL_FAILURE=$(apt_failure) ;;
    esac
    [ "$VELMORA_INSTALL_FAILURE" = unmet ] && [ -n "$suite" ] || return 1
    say "The install failed again; trying with $suite's own suite preferred (-t $suite)"
    apt_install -t "$suite" "$@" && return 0
    VELMORA_INSTALL_FAILURE=$(apt_failure)
    [ "$VELMORA_INSTALL_FAILURE" = unmet ] || return 1
    install_release_versions "$suite" "$@"
}

# The last step, for a library installed earlier from a newer suite (the
# security suite's amd64 half, by a command that needed no i386) that has no
# i386 twin of its version while those lists lag: the release $1's own
# versions are preferred above the installed ones. What that would take
# back to an older version is found in a simulation first, and installed
# only with the user's leave (VELMORA_ALLOW_DOWNGRADE=1).
install_release_versions() {
    local suite=$1 prefs status
    shift
    prefs=$(release_preferences "$suite") || return 1
    apt_install -s --allow-downgrades -o Dir::Etc::PreferencesParts="$prefs" "$@"
    status=$?
    VELMORA_INSTALL_DOWNGRADES=$(downgraded_packages)
    if [ $status -ne 0 ]; then
        VELMORA_INSTALL_FAILURE=$(apt_failure)
    elif [ -n "$VELMORA_INSTALL_DOWNGRADES" ] && [ "${VELMORA_ALLOW_DOWNGRADE:-0}" != 1 ]; then
        VELMORA_INSTALL_FAILURE=downgrade status=1
    else
        say "Trying with $suite's own versions${VELMORA_INSTALL_DOWNGRADES:+, older than some installed ones (VELMORA_ALLOW_DOWNGRADE=1)}"
        apt_install ${VELMORA_INSTALL_DOWNGRADES:+--allow-downgrades} -o Dir::Etc::PreferencesParts="$prefs" "$@"
        status=$?
        VELMORA_INSTALL_FAILURE=$(apt_failure)
        [ $status -ne 0 ] || [ -z "$VELMORA_INSTALL_DOWNGRADES" ] ||
            { echo "Taken back to $suite's own versions:"; echo "$VELMORA_INSTALL_DOWNGRADES"; } >&2
    fi
    rm -rf "$prefs"
    return $status
}

# A folder of apt preferences: the machine's own (linked, so they stay in
# force and come first), then the release $1's versions above everything.
# Given to apt as Dir::Etc::PreferencesParts; its name is printed.
release_preferences() {
    local dir file
    dir=$(mktemp -d "${TMPDIR:-/tmp}/velmora-prefs.XXXXXX") || return 1
    for file in /etc/apt/preferences.d/*; do
        [ -e "$file" ] && ln -s "$file" "$dir/"
    done
    printf 'Package: *\nPin: release n=%s\nPin-Priority: 1001\n' "$1" >"$dir/zz-velmora-release.pref"
    echo "$dir"
}

# The packages the last install took (or would take) back to an older
# version, one a line with the installed and the older version, read from
# apt's "Inst name [installed] (new ...)" lines (the same in apt 2 and 3).
downgraded_packages() {
    local name installed new
    sed -nE 's/^Inst ([^ ]+) \[([^]]+)\] \(([^ ]+) .*/\1 \2 \3/p' "$VELMORA_APT_LOG" |
        while read -r name installed new; do
            dpkg --compare-versions "$new" lt "$installed" && echo "    $name: installed $installed, older $new"
        done
}

# Says why the packages $2... could not be installed on the release $1,
# from VELMORA_INSTALL_FAILURE, with apt's own words; the log is kept.
report_install_failure() {
    local suite=$1
    shift
    {
        echo "Could not install: $*"
        case $VELMORA_INSTALL_FAILURE in
        missing)
            grep -E '^E: (Unable to locate|Package .* has no installation candidate|Couldn.t find)' "$VELMORA_APT_LOG"
            echo "Debian ${suite:-(this release)} has no such package. Nothing was installed." ;;
        lock)
            grep -m1 -E '^E: ' "$VELMORA_APT_LOG"
            echo "Another apt or dpkg held the lock for $VELMORA_APT_LOCK_WAIT s. Nothing was installed;" \
                 "run this script again once it is done." ;;
        downgrade)
            echo "Only taking installed packages back to $suite's own, older versions would let them in:"
            echo "$VELMORA_INSTALL_DOWNGRADES"
            echo "Nothing was installed or taken back. The registry's i386 lists probably lag its amd64 ones:" \
                 "run this script again once apt-get update fetches every list, or allow the downgrade" \
                 "by running it with VELMORA_ALLOW_DOWNGRADE=1."
            ;;
        *)
            echo "apt said:"
            grep -E '^(E:|W:| [^ ])' "$VELMORA_APT_LOG" | tail -n 8 | sed 's/^/    /'
            [ "$VELMORA_INSTALL_FAILURE" = unmet ] &&
                echo "Likely cause: the package registry is mid-sync, or lacks one architecture's lists" \
                     "(apt-get update names them)."
            echo "Nothing was installed; try again later with:"
            echo "    apt-get update && apt-get install --no-remove ${suite:+-t $suite }$*"
            echo "or run this script again." ;;
        esac
        echo "apt's output: $VELMORA_APT_LOG"
    } >&2
}
