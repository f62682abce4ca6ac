#!/usr/bin/env bash
# Makes the Windows release of a commit (default HEAD):
#   dist/velnor-start-<version>-win32.zip  start.exe, README.txt, LICENSE.txt,
#                                         THIRD-PARTY-NOTICES.txt, licenses/
#   dist/velnor-start-<version>-source.tar.gz
#                                         the commit's sources, which build it
#   dist/SHA256SUMS                       SHA-256 of both, as `sha256sum -c`
#                                         checks them beside the downloads
# The commit's files are exported into build-release/source (uncommitted
# changes don't count), built with the cached static QtCore into
# build-release/build and staged with `cmake --install`. The zip is the same
# byte for byte on every run for the same commit: its entries are in a fixed
# order, with fixed permissions and the commit's time (or SOURCE_DATE_EPOCH).
# THIRD-PARTY-NOTICES.txt says where the launcher's sources are published:
# --source-url, or else the URL of the checkout's remote "origin", or else
# the source archive published beside the zip.
# With --sign, start.exe is signed (Authenticode SHA-256, tools/sign.sh) before
# it is zipped; the password is the first line of --sign-password-file, or
# else the environment variable VELNOR_SIGN_PASSWORD. A certificate that
# can't be opened stops the release before the build, a failed signing before
# anything is written to dist/.
#   bash tools/release.sh [--source-url URL] [--sign CERT.pfx
#       [--sign-password-file FILE] [--timestamp URL]] [commit]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source_url=""
# --- Signing options (tools/sign.sh) ---
sign=() password_file="" timestamp=""
while [ $# -gt 0 ]; do
    case $1 in
        --source-url) source_url=${2:?"--source-url needs a URL"}; shift 2 ;;
        --sign) sign=(--pfx "${2:?"--sign needs a .pfx file"}"); shift 2 ;;
        --sign-password-file) password_file=${2:?"--sign-password-file needs a file"}; shift 2 ;;
        --timestamp) timestamp=${2:?"--timestamp needs a URL"}; shift 2 ;;
        *) break ;;
    esac
done
if [ ${#sign[@]} -gt 0 ]; then
    [ -z "$password_file" ] || sign+=(--password-file "$password_file")
    [ -z "$timestamp" ] || sign+=(--timestamp "$timestamp")
    bash "$root/tools/sign.sh" --check "${sign[@]}"
elif [ -n "$password_file$timestamp" ]; then
    echo "--sign-password-file and --timestamp go with --sign CERT.pfx" >&2
    exit 2
fi
# --- end of the signing options ---
commit=$(git -C "$root" rev-parse --verify "${1:-HEAD}^{commit}")
[ -n "$source_url" ] || source_url=$(git -C "$root" remote get-url origin 2>/dev/null || true)

qt_prefix="$(bash "$root/tools/setup-win32.sh")"
python=$(command -v python3)

if [ -n "$(git -C "$root" status --porcelain --untracked-files=no)" ]; then
    echo "Note: the working tree has uncommitted changes; the release is built from $commit alone." >&2
fi
epoch="${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct "$commit")}"

release="$root/build-release"
rm -rf "$release"
mkdir -p "$release/source"
git -C "$root" archive "$commit" | tar -x -C "$release/source"

cmake -S "$release/source" -B "$release/build" \
    -DCMAKE_TOOLCHAIN_FILE="$release/source/cmake/toolchain-i686-w64-mingw32.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_PREFIX_PATH="$qt_prefix" \
    -DQt5_DIR="$qt_prefix/lib/cmake/Qt5" -DQt5Core_DIR="$qt_prefix/lib/cmake/Qt5Core" \
    -DLAUNCHER_BUILD_TESTS=OFF -DLAUNCHER_PACKAGE_STRICT=ON -DLAUNCHER_SOURCE_URL="$source_url" >/dev/null
cmake --build "$release/build" -j"$(nproc)" --target start >"$release/build.log" 2>&1 \
    || { cat "$release/build.log" >&2; exit 1; }
cmake --install "$release/build" --prefix "$release/stage" >/dev/null

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$release/build/CMakeCache.txt")
[ -n "$version" ] || { echo "no project version in $release/build/CMakeCache.txt" >&2; exit 1; }
# Where the notices say the sources are, unless a URL was given.
source_archive="velnor-start-$version-source.tar.gz"

# What a user must find in the zip.
stage="$release/stage"
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

# Signed last, once everything else is checked, and before dist/ is touched.
[ ${#sign[@]} -eq 0 ] || bash "$root/tools/sign.sh" "${sign[@]}" --time "$epoch" "$stage/start.exe"

mkdir -p "$root/dist"
# git writes the commit's time into the archive and gzip no time of its own.
git -C "$root" archive --format=tar.gz --prefix="velnor-start-$version/" -o "$root/dist/$source_archive" "$commit"
zip_name="velnor-start-$version-win32.zip"
"$python" - "$stage" "$root/dist/$zip_name" "$epoch" <<'EOF'
import os, sys, time, zipfile

stage, target, epoch = sys.argv[1], sys.argv[2], int(sys.argv[3])
# Zip times are local times without a zone and start in 1980; UTC keeps them
# the same on every machine.
stamp = time.gmtime(max(epoch, 315532800))[:6]
names = sorted(os.path.relpath(os.path.join(folder, name), stage).replace(os.sep, "/")
               for folder, _, files in os.walk(stage) for name in files)
# start.exe first, then the rest in name order.
names.sort(key=lambda name: (name != "start.exe", name))
partial = target + ".part"
with zipfile.ZipFile(partial, "w") as archive:
    for name in names:
        entry = zipfile.ZipInfo(name, date_time=stamp)
        entry.create_system = 3
        entry.external_attr = (0o100755 if name.endswith(".exe") else 0o100644) << 16
        with open(os.path.join(stage, name), "rb") as source:
            archive.writestr(entry, source.read(), compress_type=zipfile.ZIP_DEFLATED, compresslevel=9)
os.replace(partial, target)
EOF

# Only what dist/ holds, so that the check passes where the files are downloaded.
(cd "$root/dist" && sha256sum "$zip_name" "$source_archive" >SHA256SUMS.part && mv SHA256SUMS.part SHA256SUMS \
    && sha256sum --quiet -c SHA256SUMS)
echo "dist/$zip_name ($(stat -c %s "$root/dist/$zip_name") bytes) from $commit, version $version:"
"$python" -m zipfile -l "$root/dist/$zip_name"
cat "$root/dist/SHA256SUMS"
