#!/usr/bin/env bash
# Answers whether the start.exe in a release zip is what a source archive
# builds:
#
#   bash tools/verify-release.sh [--ca CA.pem] [--build-dir DIR] ZIP [SOURCE-ARCHIVE]
#
# SOURCE-ARCHIVE defaults to the velnor-start-<version>-source.tar.gz beside
# ZIP. The archive's own tools/setup-win32.sh sets up the cross compiler and
# the static QtCore it asks for, and start.exe is built from the archive as
# tools/release.sh builds it. Then:
# - an unsigned start.exe must be the rebuilt file, byte for byte;
# - a signed one must have the rebuilt file's Authenticode digest (the hash
#   of everything but the PE checksum, the certificate table's directory
#   entry and the table itself), hold nothing but signatures in that table,
#   and every signature must be made for that digest and verify
#   (osslsigncode verify) against this machine's certificate authorities or
#   those in --ca.
# The last line says which, in words. Exit status: 0 built from the archive,
# 1 not, 2 could not be checked.
# --build-dir keeps the rebuild there; a later run with the same archive and
# the same Qt reuses it (for checking several zips against one archive).
# The rebuild runs the archive's scripts and CMake code: check an archive you
# would build anyway, as a user who may install packages (root or sudo) the
# first time.
set -euo pipefail
me="verify-release.sh"
usage() {
    echo "usage: $0 [--ca CA.pem] [--build-dir DIR] ZIP [SOURCE-ARCHIVE]" >&2
    exit 2
}
fail() { echo "$me: $*" >&2; exit 2; }

ca="" build_dir=""
while [ $# -gt 0 ]; do
    case $1 in
        --ca) [ -n "${2:-}" ] || usage; ca=$2; shift 2 ;;
        --build-dir) [ -n "${2:-}" ] || usage; build_dir=$2; shift 2 ;;
        --) shift; break ;;
        -*) usage ;;
        *) break ;;
    esac
done
[ $# -ge 1 ] && [ $# -le 2 ] || usage
zip=$1
if [ $# -eq 2 ]; then
    source_archive=$2
else
    case $zip in
        *-win32.zip) source_archive="${zip%-win32.zip}-source.tar.gz" ;;
        *) fail "$zip is not named velnor-start-<version>-win32.zip: name the source archive too" ;;
    esac
fi
[ -f "$zip" ] || fail "$zip: no such file"
[ -f "$source_archive" ] || fail "$source_archive: no such file (name the source archive after the zip)"
[ -z "$ca" ] || [ -f "$ca" ] || fail "$ca: no such file"
python=$(command -v python3) || fail "python3 is needed"

if [ -n "$build_dir" ]; then
    mkdir -p "$build_dir"
    work=$(cd "$build_dir" && pwd)
else
    work=$(mktemp -d /tmp/velnor-verify.XXXXXX)
    trap 'rm -rf "$work"' EXIT
fi

# --- The sources, unpacked afresh unless this folder holds this archive's ---
archive_sum=$(sha256sum <"$source_archive" | cut -d' ' -f1)
if [ "$(cat "$work/archive.sha256" 2>/dev/null)" != "$archive_sum" ]; then
    rm -rf "$work/unpacked" "$work/build" "$work/archive.sha256" "$work/built-with"
    mkdir "$work/unpacked"
    tar -xzf "$source_archive" -C "$work/unpacked" --no-same-owner \
        || fail "$source_archive is not a readable .tar.gz"
    echo "$archive_sum" >"$work/archive.sha256"
fi
# The archive's one top folder (velnor-start-<version>/), or its root.
source="$work/unpacked"
tops=("$work/unpacked"/*)
[ ${#tops[@]} -ne 1 ] || [ ! -d "${tops[0]}" ] || source=${tops[0]}
[ -f "$source/CMakeLists.txt" ] && [ -f "$source/tools/setup-win32.sh" ] \
    || fail "$source_archive holds no launcher sources (no CMakeLists.txt and tools/setup-win32.sh)"

# --- start.exe rebuilt with the archive's own toolchain file and Qt ---
qt_prefix=$(bash "$source/tools/setup-win32.sh") || fail "the archive's tools/setup-win32.sh failed"
[ -d "$qt_prefix" ] || fail "the archive's tools/setup-win32.sh named no Qt folder"
if [ "$(cat "$work/built-with" 2>/dev/null)" != "$qt_prefix" ] || [ ! -f "$work/build/start.exe" ]; then
    rm -rf "$work/build" "$work/built-with"
    echo "Building start.exe from $source_archive (Qt: $qt_prefix)" >&2
    # As tools/release.sh configures it; the zip's other files are not
    # compared, so a packaging problem on this machine doesn't stop the check.
    cmake -S "$source" -B "$work/build" \
        -DCMAKE_TOOLCHAIN_FILE="$source/cmake/toolchain-i686-w64-mingw32.cmake" \
        -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_PREFIX_PATH="$qt_prefix" \
        -DQt5_DIR="$qt_prefix/lib/cmake/Qt5" -DQt5Core_DIR="$qt_prefix/lib/cmake/Qt5Core" \
        -DLAUNCHER_BUILD_TESTS=OFF -DLAUNCHER_PACKAGE_STRICT=OFF >"$work/configure.log" 2>&1 \
        || { cat "$work/configure.log" >&2; fail "the sources in $source_archive don't configure"; }
    cmake --build "$work/build" -j"$(nproc)" --target start >"$work/build.log" 2>&1 \
        || { cat "$work/build.log" >&2; fail "the sources in $source_archive don't build"; }
    echo "$qt_prefix" >"$work/built-with"
fi

# --- A signature is checked by osslsigncode, installed where missing ---
signed=$("$python" - "$zip" <<'EOF'
import struct, sys, zipfile
try:
    data = zipfile.ZipFile(sys.argv[1]).read("start.exe")
    head = struct.unpack_from("<I", data, 0x3C)[0]
    optional = head + 24
    directories = optional + {0x10B: 96, 0x20B: 112}[struct.unpack_from("<H", data, optional)[0]]
    print(1 if struct.unpack_from("<I", data, directories + 4 * 8 + 4)[0] else 0)
except Exception:
    print(0)  # the comparison below says what is wrong with it
EOF
)
osslsigncode=""
if [ "$signed" = 1 ]; then
    if ! command -v osslsigncode >/dev/null; then
        echo "Installing osslsigncode to check the signature" >&2
        source "$source/tools/packages.sh" 2>/dev/null || fail "osslsigncode is needed to check a signed start.exe"
        { apt_get update -qq && apt_get install -y -qq --no-install-recommends osslsigncode >/dev/null; } \
            || fail "osslsigncode is needed to check a signed start.exe"
    fi
    osslsigncode=$(command -v osslsigncode)
fi
# This machine's authorities, and those given.
bundle="$work/authorities.pem"
cat /etc/ssl/certs/ca-certificates.crt ${ca:+"$ca"} >"$bundle" 2>/dev/null || cat ${ca:+"$ca"} /dev/null >"$bundle"

"$python" - "$zip" "$source_archive" "$work/build/start.exe" "$osslsigncode" "$bundle" <<'EOF'
import hashlib, os, re, struct, subprocess, sys, tempfile, zipfile

zip_path, archive_path, rebuilt_path, osslsigncode, bundle = sys.argv[1:6]
zip_name, archive_name = os.path.basename(zip_path), os.path.basename(archive_path)


def could_not(message):
    print(f"{message}: start.exe in {zip_name} can't be checked against {archive_name}.")
    sys.exit(2)


def differs(reasons, content_matches=False):
    for reason in reasons:
        print(f"- {reason}")
    if content_matches:
        print(f"start.exe in {zip_name} has the Authenticode digest of what {archive_name} builds, "
              f"but {reasons[0]}")
    else:
        print(f"start.exe in {zip_name} is NOT built from {archive_name}: {reasons[0]}")
    sys.exit(1)


try:
    with zipfile.ZipFile(zip_path) as archive:
        names = [entry.filename for entry in archive.infolist()]
        if names.count("start.exe") != 1:
            could_not(f"{zip_name} holds {names.count('start.exe')} files named start.exe, not one")
        exe = archive.read("start.exe")
except (zipfile.BadZipFile, OSError) as error:
    could_not(f"{zip_name} is no readable zip ({error})")
with open(rebuilt_path, "rb") as file:
    rebuilt = file.read()


class Pe:
    """Where the fields that signing changes lie, and the sections."""

    def __init__(self, data, what):
        try:
            if data[:2] != b"MZ":
                raise ValueError
            head = struct.unpack_from("<I", data, 0x3C)[0]
            if data[head:head + 4] != b"PE\0\0":
                raise ValueError
            count, optional_size = struct.unpack_from("<H12xH", data, head + 6)
            optional = head + 24
            magic = struct.unpack_from("<H", data, optional)[0]
            directories = optional + {0x10B: 96, 0x20B: 112}[magic]
            if struct.unpack_from("<I", data, directories - 4)[0] <= 4:
                raise ValueError
            self.headers = struct.unpack_from("<I", data, optional + 60)[0]
            self.checksum = optional + 64
            self.security = directories + 4 * 8
            self.table, self.table_size = struct.unpack_from("<II", data, self.security)
            self.sections = []
            for index in range(count):
                entry = optional + optional_size + 40 * index
                name = data[entry:entry + 8].rstrip(b"\0").decode("ascii", "replace")
                size, start = struct.unpack_from("<II", data, entry + 16)
                self.sections.append((start, start + size, name))
        except (ValueError, KeyError, struct.error):
            could_not(f"{what} is no Windows executable")
        self.data = data

    def covered(self):
        """The bytes the Authenticode digest covers, the two signing fields
        zeroed: up to the certificate table, or for an unsigned file all of
        it with the zeros that signing pads it with to 8 bytes."""
        data = bytearray(self.data[:self.table] if self.table_size else
                         self.data + bytes(-len(self.data) % 8))
        data[self.checksum:self.checksum + 4] = bytes(4)
        data[self.security:self.security + 8] = bytes(8)
        return bytes(data)

    def digest(self, algorithm="sha256"):
        covered = self.covered()
        return hashlib.new(algorithm, covered[:self.checksum] + covered[self.checksum + 4:self.security]
                           + covered[self.security + 8:]).hexdigest()

    def where(self, offset):
        if offset < self.headers:
            return "the headers"
        for start, end, name in self.sections:
            if start <= offset < end:
                return f"section {name}"
        return "no section"


def difference(ours, zip_bytes, rebuilt_bytes):
    """What differs between two byte strings, in words."""
    if len(zip_bytes) != len(rebuilt_bytes):
        return f"it is {len(zip_bytes)} bytes long, the rebuilt file {len(rebuilt_bytes)}"
    offsets = [i for i, (a, b) in enumerate(zip(zip_bytes, rebuilt_bytes)) if a != b]
    first = offsets[0]
    return (f"{len(offsets)} byte{'s' if len(offsets) != 1 else ''} differ{'s' if len(offsets) == 1 else ''} "
            f"from the rebuilt file, the first at offset 0x{first:x} in {ours.where(first)}")


ours, theirs = Pe(exe, f"start.exe in {zip_name}"), Pe(rebuilt, "the rebuilt start.exe")
if theirs.table_size:
    could_not("the rebuilt start.exe is signed")

if not ours.table_size:
    if exe == rebuilt:
        print(f"start.exe in {zip_name} is built from {archive_name}: "
              f"the same {len(exe)} bytes, SHA-256 {hashlib.sha256(exe).hexdigest()}.")
        sys.exit(0)
    differs([f"unsigned, and {difference(ours, exe, rebuilt)}"])

# Signed: the covered bytes first, then the certificate table, then the signatures.
reasons = []
digest, rebuilt_digest = ours.digest(), theirs.digest()
if digest != rebuilt_digest:
    reasons.append(f"its Authenticode SHA-256 is {digest}, the rebuilt file's {rebuilt_digest}: "
                   + difference(ours, ours.covered(), theirs.covered()))
table = exe[ours.table:]
if ours.table % 8 or ours.table + ours.table_size != len(exe):
    reasons.append("its certificate table is not where signing puts it, at the file's end")
else:
    # WIN_CERTIFICATE entries, each padded to 8 bytes: PKCS#7 signed data only,
    # and nothing after each one's DER but zeros.
    position = 0
    while position < len(table):
        try:
            length, revision, kind = struct.unpack_from("<IHH", table, position)
            der = table[position + 8:position + length]
            size_bytes = der[1] & 0x7F if der[1] & 0x80 else 0
            der_length = 2 + size_bytes + (int.from_bytes(der[2:2 + size_bytes], "big") if size_bytes else der[1])
        except (struct.error, IndexError):
            length = 0
        if length < 8 or revision != 0x200 or kind != 2 or der[:1] != b"\x30" or der_length > len(der) \
                or any(table[position + 8 + der_length:position + length + (-length % 8)]):
            reasons.append("its certificate table holds more than signatures")
            break
        position += length + (-length % 8)

# osslsigncode: the digest each signature was made for, and whether it verifies.
with tempfile.NamedTemporaryFile(suffix=".exe") as copy:
    copy.write(exe)
    copy.flush()
    result = subprocess.run([osslsigncode, "verify", "-CAfile", bundle, "-in", copy.name],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
output = result.stdout.decode("utf-8", "replace")
signed = re.findall(r"^Message digest algorithm\s*:\s*(\S+)\s*\nCurrent message digest\s*:\s*([0-9A-Fa-f]+)",
                    output, re.M)
if not signed:
    reasons.append("osslsigncode finds no signature in it")
for algorithm, value in signed:
    algorithm = algorithm.lower()
    if algorithm not in hashlib.algorithms_available or value.lower() != ours.digest(algorithm):
        reasons.append(f"its signature was made for another file: the signed {algorithm.upper()} digest is "
                       f"{value.lower()}, the file's {ours.digest(algorithm) if algorithm in hashlib.algorithms_available else '?'}")
subject = re.search(r"^\s*Subject:\s*(.*)", output, re.M)
subject = subject.group(1).strip() if subject else ""
if result.returncode != 0 and not any("made for another file" in reason for reason in reasons):
    # osslsigncode's own "Error: ..." lines, or OpenSSL's "...Verify error: ...".
    errors = list(dict.fromkeys(match.group(1).strip() for match in
                                re.finditer(r"(?:^\s*Error:|Verify error:)\s*(.*)", output, re.M)))
    reasons.append(f"its signature{f' ({subject})' if subject else ''} does not verify: "
                   + ("; ".join(errors[:2]) or "osslsigncode verify failed")
                   + " (for an authority of your own: --ca FILE)")
if reasons:
    differs(reasons, content_matches=digest == rebuilt_digest)
print(f"start.exe in {zip_name} is built from {archive_name}: signed by {subject or 'an unnamed signer'}, its Authenticode SHA-256 "
      f"{digest} is the rebuilt file's and the one its signature was made for.")
EOF
