#!/usr/bin/env bash
# Makes releases of the sources under test, committed in a repository of its
# own whose releaser has a git configuration and an uncommitted change that
# must not reach the release, and checks:
#   - a release whose zip step fails leaves dist/ as it was;
#   - a release that succeeds replaces dist/ with exactly its three files,
#     built by the commit's own scripts, whose notices name the source
#     archive (no remote URL, no path of the build machine);
#   - the source archive has git's default line ends and permissions;
#   - unpacked, the archive passes its own checks: the same start.exe comes
#     out of it (tests/windows/reproducible.sh, with the Qt copied elsewhere),
#     and `tools/test.sh --linux` passes in it.
#   release_folder.sh <source folder> <toolchain file> <Qt5Core_DIR>
set -uo pipefail
[ $# -eq 3 ] || { echo "usage: $0 <source folder> <toolchain file> <Qt5Core_DIR>" >&2; exit 2; }
source=$1 toolchain=$2 qt_core_dir=$3
work=$(mktemp -d /tmp/velnor-release.XXXXXX)
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
ok() { echo "ok   $*"; }

# The sources under test as one commit, with a releaser's configuration that
# would change the archive if git archive followed it, and a remote.
repo="$work/repo"
source "$(dirname "${BASH_SOURCE[0]}")/copy_sources.sh"
copy_sources "$source" "$repo" || { echo "no sources copied from $source"; exit 1; }
(
    cd "$repo" && git init -q && git add -A &&
    GIT_AUTHOR_NAME=t GIT_AUTHOR_EMAIL=t@t GIT_COMMITTER_NAME=t GIT_COMMITTER_EMAIL=t@t \
        GIT_AUTHOR_DATE=@1796601600 GIT_COMMITTER_DATE=@1796601600 git commit -q -m release &&
    git remote add origin https://git.example.invalid/private/velnor-launcher.git &&
    git config core.autocrlf true && git config tar.umask 0077 && git config tar.tar.gz.command "gzip -c1"
) || { echo "no repository made"; exit 1; }
version=$(sed -n 's/^project(VelnorLauncher VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")
# The working tree's setup script is not the commit's: a release must not run it.
sed -i '2i echo "the working tree'"'"'s setup script ran" >&2; exit 1' "$repo/tools/setup-win32.sh"
mkdir "$repo/dist"
echo "an earlier release" > "$repo/dist/earlier.txt"
listing() { (cd "$1" && find . -type f -printf '%p %s\n' | sort && cat ./* 2>/dev/null | sha256sum); }
before=$(listing "$repo/dist")

# --- The zip step fails (a time a zip can't hold, after 2107): dist/ stays as it was ---
status=0
output=$(cd "$repo" && SOURCE_DATE_EPOCH=4354819200 bash tools/release.sh 2>&1) || status=$?
if [ "$status" -eq 0 ] || ! grep -q "the zip could not be written" <<<"$output" || [ "$(listing "$repo/dist")" != "$before" ]; then
    fail "failed zip step (exit $status): dist/ now $(listing "$repo/dist" | tr '\n' ' '); output:"
    tail -n 20 <<<"$output"
else
    ok "failed zip step: dist/ as it was"
fi

# --- A release ---
status=0
output=$(cd "$repo" && bash tools/release.sh 2>&1) || status=$?
zip="$repo/dist/velnor-start-$version-win32.zip"
archive="$repo/dist/velnor-start-$version-source.tar.gz"
got=$(cd "$repo/dist" 2>/dev/null && ls | tr '\n' ' ')
want="SHA256SUMS $(basename "$archive") $(basename "$zip") "
if [ "$status" -ne 0 ] || [ "$got" != "$want" ] || ! (cd "$repo/dist" && sha256sum --quiet -c SHA256SUMS); then
    fail "release (exit $status): dist/ holds '$got', expected '$want'; output:"
    tail -n 30 <<<"$output"
    echo "$failures check(s) failed"
    exit 1
fi
if grep -q "setup script ran" <<<"$output"; then
    fail "release ran the working tree's setup script"
else
    ok "release: dist/ replaced, built by the commit's own scripts"
fi
notices=$(python3 -c 'import sys, zipfile; sys.stdout.write(zipfile.ZipFile(sys.argv[1]).read("THIRD-PARTY-NOTICES.txt").decode("utf-8-sig"))' "$zip")
cache=$(dirname "$(cd "$qt_core_dir/../../.." && pwd -P)")
problems=""
grep -qF "velnor-start-$version-source.tar.gz, published beside this zip" <<<"$notices" || problems+=" no source archive named;"
! grep -qF "example.invalid" <<<"$notices" || problems+=" the remote's URL;"
for path in "$work" "$cache" "$source"; do
    ! grep -qF "$path" <<<"$notices" || problems+=" $path;"
done
[ -z "$problems" ] && ok "notices: the source archive, no URL or path of the machine" || fail "notices:$problems"

# --- The source archive: what git's defaults give, not the releaser's
# configuration (CR LF, other permissions, another compression) ---
git clone -q "$repo" "$work/pristine"
reference=$(cd "$work/pristine" && HOME="$work" GIT_CONFIG_NOSYSTEM=1 git archive --format=tar.gz \
    --prefix="velnor-start-$version/" HEAD | sha256sum | cut -d' ' -f1)
if [ "$(sha256sum <"$archive" | cut -d' ' -f1)" != "$reference" ]; then
    fail "source archive: not what git archive gives with its defaults ($(tar -tvzf "$archive" | awk '{ print $1 }' | sort -u | tr '\n' ' '))"
else
    ok "source archive: as git's defaults make it"
fi

# --- Unpacked, the archive passes its own checks ---
mkdir "$work/unpacked"
tar -xzf "$archive" -C "$work/unpacked"
unpacked="$work/unpacked/velnor-start-$version"
python3 -c 'import sys, zipfile; open(sys.argv[2], "wb").write(zipfile.ZipFile(sys.argv[1]).read("start.exe"))' \
    "$zip" "$work/start.exe"
if output=$(bash "$unpacked/tests/windows/reproducible.sh" "$work/start.exe" "$unpacked" "$toolchain" MinSizeRel "$qt_core_dir" 2>&1); then
    ok "from the source archive: the release's start.exe again, byte for byte"
else
    fail "from the source archive, start.exe differs:"
    tail -n 15 <<<"$output"
fi
if output=$(cd "$unpacked" && bash tools/test.sh --linux 2>&1); then
    ok "from the source archive: tools/test.sh --linux passes ($(grep -o '[0-9]*% tests passed.*' <<<"$output" | head -n1))"
else
    fail "from the source archive, tools/test.sh --linux fails:"
    tail -n 30 <<<"$output"
fi

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
