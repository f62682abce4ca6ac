# Sourced by the setup scripts: Debian's package tools as root (through sudo
# where the script isn't root), waiting for another apt's locks instead of
# failing, and the cache folder the Qt builds and probes live in.
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
# Through env: sudo would drop DEBIAN_FRONTEND from the environment.
apt_get() {
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 "$@"
}
# DPkg::Lock::Timeout covers dpkg's lock only: while another apt holds the
# lists' lock, `apt-get update` fails at once. Tried again for 15 minutes.
apt_update() {
    local output status waited=0
    while :; do
        status=0
        output=$(apt_get "$@" update -qq 2>&1) || status=$?
        [ -z "$output" ] || printf '%s\n' "$output" >&2
        if [ "$status" -ne 0 ] && grep -q 'Could not get lock' <<<"$output" && [ "$waited" -lt 900 ]; then
            [ "$waited" -gt 0 ] || echo "Waiting for another apt to let go of its lists" >&2
            sleep 5
            waited=$((waited + 5))
            continue
        fi
        return "$status"
    done
}
installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

velnor_cache="${VELNOR_CACHE:-/var/cache/velnor-launcher}"
# The cache is the user's own: a run as root followed by one as a user would
# otherwise find root's files in it.
prepare_cache() {
    "${sudo[@]}" mkdir -p "$velnor_cache"
    if [ ${#sudo[@]} -gt 0 ] && [ -n "$(find "$velnor_cache" ! -user "$(id -u)" -print -quit)" ]; then
        "${sudo[@]}" chown -R "$(id -u):$(id -g)" "$velnor_cache"
    fi
}

# Whether this kernel (or a handler registered earlier) runs 32-bit x86 code:
# a minimal i386 program that only exits, run from the cache folder (/tmp is
# often mounted noexec, which would look like an i386-less kernel).
i386_runs() {
    local probe status
    prepare_cache
    if findmnt -n -o OPTIONS --target "$velnor_cache" | tr , '\n' | grep -qx noexec; then
        echo "$velnor_cache is on a noexec mount: name another folder in VELNOR_CACHE" >&2
        exit 1
    fi
    probe=$(mktemp "$velnor_cache/i386-probe.XXXXXX")
    # ELF header, one loadable segment, then: mov eax, 1; xor ebx, ebx; int 0x80.
    printf '%b' \
        '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00' \
        '\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00' \
        '\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08' \
        '\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' \
        '\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' > "$probe"
    chmod 755 "$probe"
    status=0
    "$probe" 2>/dev/null || status=$?
    rm -f "$probe"
    return "$status"
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
    [ -e "$velnor_binfmt" ] || ! i386_runs
}
