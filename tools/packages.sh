# Sourced by the setup scripts: Debian's package tools as root (through sudo
# where the script isn't root), waiting for another apt's locks instead of
# failing; the project's cache folder; and the record of what the setup
# changed on the machine, which tools/clean-machine.sh takes back.
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
# Through env: sudo would drop DEBIAN_FRONTEND from the environment.
apt_get() {
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive ${apt_locale:+LC_ALL=$apt_locale} \
        apt-get -o DPkg::Lock::Timeout=900 "$@"
}
# DPkg::Lock::Timeout covers dpkg's lock only: while another apt holds the
# lists' lock, `apt-get update` fails at once. Tried again for 15 minutes.
# An index that can't be fetched fails the update (apt would only warn and
# go on with old lists or none). LC_ALL=C: the lock message is read.
#   update_lists <apt-get command and options...>
update_lists() {
    local output status waited=0 apt_locale=C
    while :; do
        status=0
        output=$("$@" update -qq --error-on=any 2>&1) || status=$?
        [ -z "$output" ] || printf '%s\n' "$output" >&2
        if [ "$status" -ne 0 ] && grep -q 'Could not get lock' <<<"$output" && [ "$waited" -lt 900 ]; then
            [ "$waited" -gt 0 ] || echo "Waiting for another apt to let go of its lists" >&2
            sleep 5
            waited=$((waited + 5))
            continue
        fi
        if [ "$status" -ne 0 ] && grep -qE '^(W|E): (Failed to fetch|Some index files failed)' <<<"$output"; then
            echo "apt could not fetch its package lists (offline, or a mirror or proxy that doesn't answer): see above." >&2
        fi
        return "$status"
    done
}
apt_update() { update_lists apt_get "${machine_apt_opts[@]}" "$@"; }
# The machine's apt configuration; VELNOR_APT_ETC names another one, its
# lists in lists/, and no package cache written anywhere (tests).
machine_apt_etc="${VELNOR_APT_ETC:-/etc/apt}"
machine_apt_opts=()
if [ -n "${VELNOR_APT_ETC:-}" ]; then
    machine_apt_opts=(-o "Dir::Etc=$machine_apt_etc" -o "Dir::State::Lists=$machine_apt_etc/lists"
        -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=)
fi

# Source packages and backports come through apt state of the project's own
# in the cache: its sources, lists and downloads. The machine's apt never
# sees them, and the user's own account updates them.
velnor_apt() {
    env ${apt_locale:+LC_ALL=$apt_locale} apt-get "${velnor_apt_opts[@]}" "$@"
}
velnor_apt_update() { update_lists velnor_apt; }
installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# --- The record of system changes: one line per change, "kind name" ---
velnor_state="${VELNOR_STATE:-/var/lib/velnor-launcher}"
velnor_added="$velnor_state/added"
record_added() { # kind name
    grep -qxF "$1 $2" "$velnor_added" 2>/dev/null && return 0
    "${sudo[@]}" mkdir -p "$velnor_state"
    printf '%s %s\n' "$1" "$2" | "${sudo[@]}" tee -a "$velnor_added" >/dev/null
}
installed_packages() {
    dpkg-query -W -f='${db:Status-Abbrev} ${binary:Package}\n' 2>/dev/null | awk '$1 ~ /^[ih]i/ { print $2 }' | sort
}
# Installs packages (and apt options before them), never removing one, and
# records each package that wasn't installed before, dependencies included.
apt_install() {
    local before after package
    before=$(installed_packages)
    apt_get install -y -qq --no-install-recommends --no-remove "$@" >/dev/null
    after=$(installed_packages)
    while IFS= read -r package; do
        [ -z "$package" ] || record_added package "$package"
    done < <(comm -13 <(printf '%s\n' "$before") <(printf '%s\n' "$after"))
}

# --- The project's cache: velnor-launcher/ in VELNOR_CACHE (default
# /var/cache), marked as the project's, the only folder chowned or removed ---
velnor_cache="${VELNOR_CACHE:-/var/cache}/velnor-launcher"
velnor_cache_mark=".velnor-launcher-cache"
velnor_apt_dir="$velnor_cache/apt"
# Locales of the project's own (LOCPATH): the Wine tests' Russian one.
velnor_locales="$velnor_cache/locale"
velnor_apt_opts=(-o "Dir::Etc::sourcelist=/dev/null" -o "Dir::Etc::sourceparts=$velnor_apt_dir/sources.list.d"
    -o "Dir::State::Lists=$velnor_apt_dir/lists" -o "Dir::Cache=$velnor_apt_dir/cache")
# What earlier versions of the setup kept there, before the folder had a mark.
cache_is_unmarked_ours() {
    local entry
    for entry in "$velnor_cache"/* "$velnor_cache"/.[!.]*; do
        [ -e "$entry" ] || continue
        case "${entry##*/}" in
            qt5-*|work-*|mingw-bin|i386-probe.*|apt|locale) ;;
            *) return 1 ;;
        esac
    done
}
# The cache is the user's own: a run as root followed by one as a user would
# otherwise find root's files in it.
prepare_cache() {
    if [ ! -d "$velnor_cache" ]; then
        "${sudo[@]}" mkdir -p "$velnor_cache"
        "${sudo[@]}" touch "$velnor_cache/$velnor_cache_mark"
    elif [ ! -f "$velnor_cache/$velnor_cache_mark" ]; then
        cache_is_unmarked_ours || {
            echo "$velnor_cache holds files this project didn't make: name another folder in VELNOR_CACHE" >&2
            exit 1
        }
        "${sudo[@]}" touch "$velnor_cache/$velnor_cache_mark"
    fi
    if [ ${#sudo[@]} -gt 0 ] && [ -n "$(find "$velnor_cache" ! -user "$(id -u)" -print -quit)" ]; then
        "${sudo[@]}" chown -R "$(id -u):$(id -g)" "$velnor_cache"
    fi
}

# Whether this kernel (or a handler registered earlier) runs 32-bit x86 code:
# a minimal i386 program that only exits, run from the cache folder (/tmp is
# often mounted noexec, which would look like an i386-less kernel). Exit 0:
# runs; 1: doesn't (ENOEXEC: the shell's 126); a probe that couldn't be made
# or run ends the script.
i386_runs() {
    local probe status
    prepare_cache
    if findmnt -n -o OPTIONS --target "$velnor_cache" | tr , '\n' | grep -qx noexec; then
        echo "$velnor_cache is on a noexec mount: name another folder in VELNOR_CACHE" >&2
        exit 1
    fi
    probe=$(mktemp "$velnor_cache/i386-probe.XXXXXX") || { echo "can't make the i386 probe in $velnor_cache" >&2; exit 1; }
    # ELF header, one loadable segment, then: mov eax, 1; xor ebx, ebx; int 0x80.
    printf '%b' \
        '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00' \
        '\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00' \
        '\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08' \
        '\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' \
        '\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' > "$probe" && chmod 755 "$probe" \
        || { rm -f "$probe"; echo "can't write the i386 probe in $velnor_cache" >&2; exit 1; }
    status=0
    "$probe" 2>/dev/null || status=$?
    rm -f "$probe"
    case "$status" in
        0) return 0 ;;
        126) return 1 ;;
        *) echo "the i386 probe ended with status $status: can't tell whether i386 programs run" >&2; exit 1 ;;
    esac
}
# The binfmt handler through which qemu runs i386 programs for Wine.
velnor_binfmt=/proc/sys/fs/binfmt_misc/velnor-i386
# qemu (from bookworm-backports) is needed where i386 code runs only through
# our handler or not at all. VELNOR_NEED_QEMU=0/1 decides instead, for tests.
qemu_needed() {
    case "${VELNOR_NEED_QEMU:-}" in
        1) return 0 ;;
        0) return 1 ;;
    esac
    [ -e "$velnor_binfmt" ] && return 0
    if i386_runs; then return 1; fi
    return 0
}

# One test or demonstration run at a time per checkout: they share its build
# folders and Wine prefix.
lock_checkout() { # checkout folder
    mkdir -p "$1/build"
    exec 8>"$1/build/.checkout.lock"
    flock -n 8 || { echo "Waiting for another test or demonstration run in $1 to finish" >&2; flock 8; }
}
