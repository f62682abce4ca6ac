#!/usr/bin/env bash
# Makes the Windows release of a commit (default HEAD):
#   dist/velnor-start-<version>-win32.zip  start.exe, README.txt, LICENSE.txt,
#                                         THIRD-PARTY-NOTICES.txt, licenses/
#   dist/velnor-start-<version>-source.tar.gz
#                                         the commit's sources, which build it
#   dist/SHA256SUMS                       SHA-256 of both, as `sha256sum -c`
#                                         checks them beside the downloads
# The commit's source archive is made first (uncommitted changes don't
# count), and start.exe is set up for, built and staged from that archive
# unpacked, by the commit's own scripts, with the cached static QtCore that
# they build. Everything goes into a new folder, which takes dist/'s place
# only once complete: a failure at any step leaves dist/ as it was. One
# release at a time per checkout (a lock in build-release/).
# The archive and the zip are the same byte for byte on every run for the
# same commit, on any machine: git archive runs with fixed settings, whatever
# the releaser's git configuration says; the zip's entries are in a fixed
# order, with fixed permissions and the commit's time (or SOURCE_DATE_EPOCH).
# THIRD-PARTY-NOTICES.txt says where the launcher's sources are published:
# --source-url, or else the source archive published beside the zip.
# With --sign, start.exe is signed (Authenticode SHA-256, tools/sign.sh) before
# it is zipped; the password is the first line of --sign-password-file, or
# else the environment variable VELNOR_SIGN_PASSWORD. A certificate that
# can't be opened stops the release before the build, a failed signing before
# anything takes dist/'s place.
# The zip is written by Debian's own /usr/bin/python3 (the setup installs it),
# whose zlib is among the toolchain's packages: another's deflate differs.
usage='usage: bash tools/release.sh [--source-url URL] [--sign CERT.pfx
    [--sign-password-file FILE] [--timestamp URL]] [COMMIT]'
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
me="tools/release.sh"
wrong() { echo "$usage" >&2; echo "$me: $*" >&2; exit 2; }
source_url="" revision=""
# --- Signing options (tools/sign.sh) ---
sign=() password_file="" timestamp=""
while [ $# -gt 0 ]; do
    case $1 in
        -h|--help) echo "$usage"; exit 0 ;;
        --source-url|--sign|--sign-password-file|--timestamp)
            [ $# -ge 2 ] && [ -n "$2" ] || wrong "$1 needs a value"
            case $1 in
                --source-url) source_url=$2 ;; --sign) sign=(--pfx "$2") ;;
                --sign-password-file) password_file=$2 ;; --timestamp) timestamp=$2 ;;
            esac
            shift 2 ;;
        --) shift; [ $# -le 1 ] || wrong "one commit at a time"; revision=${1:-}; break ;;
        -*) wrong "unknown option $1" ;;
        *) [ -z "$revision" ] || wrong "one commit at a time, not $revision and $1"; revision=$1; shift ;;
    esac
done
# The password reaches tools/sign.sh alone, not the setup's apt and dpkg.
sign_env=()
if [ -n "${VELNOR_SIGN_PASSWORD+set}" ]; then
    sign_env=("VELNOR_SIGN_PASSWORD=$VELNOR_SIGN_PASSWORD")
    unset VELNOR_SIGN_PASSWORD
fi
if [ ${#sign[@]} -gt 0 ]; then
    [ -z "$password_file" ] || sign+=(--password-file "$password_file")
    [ -z "$timestamp" ] || sign+=(--timestamp "$timestamp")
    env "${sign_env[@]}" bash "$root/tools/sign.sh" --check "${sign[@]}"
elif [ -n "$password_file$timestamp" ]; then
    wrong "--sign-password-file and --timestamp go with --sign CERT.pfx"
fi
# --- end of the signing options ---
commit=$(git -C "$root" rev-parse --verify --quiet "${revision:-HEAD}^{commit}") \
    || wrong "${revision:-HEAD} names no commit of $root"

# --- One release at a time, in a folder of its own ---
work="$root/build-release"
mkdir -p "$work"
exec 9>"$work/lock"
flock -n 9 || { echo "Waiting for another release in $root to finish" >&2; flock 9; }
run="$work/run"
# A run stopped between the two renames at its end left dist/ aside.
if [ -d "$work/previous-dist" ] && [ ! -e "$root/dist" ]; then
    mv -T "$work/previous-dist" "$root/dist"
fi
rm -rf "$run" "$work/previous-dist"
mkdir -p "$run/dist"

if [ -n "$(git -C "$root" status --porcelain --untracked-files=no)" ]; then
    echo "Note: the working tree has uncommitted changes; the release is built from $commit alone." >&2
fi
epoch="${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct "$commit")}"
case "$epoch" in ''|*[!0-9]*) echo "SOURCE_DATE_EPOCH is not a number of seconds: $epoch" >&2; exit 1 ;; esac
version=$(git -C "$root" show "$commit:CMakeLists.txt" | sed -n 's/^project(VelnorLauncher VERSION \([0-9.]*\).*/\1/p')
[ -n "$version" ] || { echo "no project version in $commit:CMakeLists.txt" >&2; exit 1; }

# --- The source archive, with settings of its own ---
# Line ends, permissions and compression as git has them by default, whatever
# the releaser's configuration says; no attributes but the commit's own.
attributes=$(git -C "$root" rev-parse --git-path info/attributes)
if [ -f "$attributes" ] && grep -qv '^[[:space:]]*\(#\|$\)' "$attributes"; then
    echo "$attributes would change what git archive writes: move it away for the release" >&2
    exit 1
fi
source_archive="velnor-start-$version-source.tar.gz"
GIT_ATTR_NOSYSTEM=1 git -C "$root" -c core.autocrlf=false -c core.eol=lf -c core.attributesFile=/dev/null \
    -c tar.umask=0002 -c tar.tar.gz.command="git archive gzip" \
    archive --format=tar.gz --prefix="velnor-start-$version/" -o "$run/dist/$source_archive" "$commit"
tar -xzf "$run/dist/$source_archive" -C "$run"
source="$run/velnor-start-$version"

# --- start.exe and its package, by the commit's own scripts ---
qt_prefix="$(bash "$source/tools/setup-win32.sh")"
python=/usr/bin/python3
[ -x "$python" ] || { echo "$me: $python is needed (Debian's python3)" >&2; exit 1; }
bash "$source/tools/configure-win32.sh" "$source" "$run/build" "$qt_prefix" -DLAUNCHER_BUILD_TESTS=OFF -DLAUNCHER_PACKAGE_STRICT=ON -DLAUNCHER_SOURCE_URL="$source_url" >/dev/null
cmake --build "$run/build" -j"$(nproc)" --target start >"$run/build.log" 2>&1 \
    || { cat "$run/build.log" >&2; exit 1; }
stage="$run/stage"
cmake --install "$run/build" --prefix "$stage" >/dev/null

# What a user must find in the zip.
for file in start.exe README.txt LICENSE.txt THIRD-PARTY-NOTICES.txt; do
    [ -s "$stage/$file" ] || { echo "the package lacks $file" >&2; exit 1; }
done
[ -n "$(find "$stage/licenses" -type f -size +0 2>/dev/null)" ] || { echo "the package has no licence texts" >&2; exit 1; }
if grep -l '@[A-Z0-9_]\+@' "$stage"/*.txt; then
    echo "a placeholder is left in the files above" >&2
    exit 1
fi
if grep -lv $'\r$' "$stage/README.txt"; then
    echo "README.txt has a line without CR LF" >&2
    exit 1
fi

# ---------------------------------------------------------------------------
# start.exe in $stage may be changed here (a signature, say): what is zipped
# below is the stage as it is now.
# ---------------------------------------------------------------------------
# Signed last, once everything else is checked.
[ ${#sign[@]} -eq 0 ] || env "${sign_env[@]}" bash "$root/tools/sign.sh" "${sign[@]}" --time "$epoch" "$stage/start.exe"

zip_name="velnor-start-$version-win32.zip"
"$python" - "$stage" "$run/dist/$zip_name" "$epoch" <<'EOF'
import os, struct, sys, time, zipfile

stage, target, epoch = sys.argv[1], sys.argv[2], int(sys.argv[3])
# Zip times are local times without a zone and start in 1980; UTC keeps them
# the same on every machine.
stamp = time.gmtime(max(epoch, 315532800))[:6]
names = sorted(os.path.relpath(os.path.join(folder, name), stage).replace(os.sep, "/")
               for folder, _, files in os.walk(stage) for name in files)
# start.exe first, then the rest in name order.
names.sort(key=lambda name: (name != "start.exe", name))
try:
    with zipfile.ZipFile(target, "w") as archive:
        for name in names:
            entry = zipfile.ZipInfo(name, date_time=stamp)
            entry.create_system = 3
            entry.external_attr = (0o100755 if name.endswith(".exe") else 0o100644) << 16
            with open(os.path.join(stage, name), "rb") as source:
                archive.writestr(entry, source.read(), compress_type=zipfile.ZIP_DEFLATED, compresslevel=9)
except (OSError, ValueError, struct.error) as error:
    sys.exit(f"the zip could not be written: {error}")
EOF

# Only what dist/ holds, so that the check passes where the files are downloaded.
(cd "$run/dist" && sha256sum "$zip_name" "$source_archive" >SHA256SUMS && sha256sum --quiet -c SHA256SUMS)

# --- The complete release takes dist/'s place ---
[ ! -e "$root/dist" ] || mv -T "$root/dist" "$work/previous-dist"
mv -T "$run/dist" "$root/dist"
rm -rf "$work/previous-dist" "$run"

echo "dist/$zip_name ($(stat -c %s "$root/dist/$zip_name") bytes) from $commit, version $version:"
"$python" -m zipfile -l "$root/dist/$zip_name"
cat "$root/dist/SHA256SUMS"
