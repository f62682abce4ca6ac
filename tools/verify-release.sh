#!/usr/bin/env bash
# Answers whether a release zip is what a source archive builds:
#
#   bash tools/verify-release.sh [--ca CA.pem] [--build-dir DIR] ZIP [SOURCE-ARCHIVE]
#
# SOURCE-ARCHIVE defaults to the velnor-start-<version>-source.tar.gz beside
# ZIP. Run it as a normal user, after the toolchain is set up as root
# (bash tools/setup-win32.sh, which also builds the pinned static QtCore): it
# runs nothing as root and installs nothing. The archive is unpacked into a
# throw-away folder, asked which QtCore it pins (its tools/build-qt.sh
# --print-prefix, as this user), and its start.exe built and packaged there
# with this script's own configure line. Then, by this script's own code:
# - the zip's entries, with case folded, must be exactly the files the
#   release packages, each once;
# - an unsigned start.exe must be the rebuilt file, byte for byte;
# - a signed one must have the rebuilt file's Authenticode digest (the hash
#   of everything but the PE checksum, the certificate table's directory
#   entry and the table itself), hold nothing but signatures in that table,
#   with no unauthenticated attributes but time stamps and nested
#   signatures, and every signature must be made for that digest and verify
#   (osslsigncode verify) against this machine's certificate authorities or
#   those in --ca.
# The last line says which, in words. Exit status: 0 built from the archive,
# 1 not, 2 could not be checked (any unexpected failure among them).
# --build-dir keeps the rebuild in DIR, which must be empty or one this
# script made; a later run with the same archive and the same Qt reuses it
# (for checking several zips against one archive).
set -euo pipefail
me="verify-release.sh"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
usage() {
    echo "usage: $0 [--ca CA.pem] [--build-dir DIR] ZIP [SOURCE-ARCHIVE]" >&2
    exit 2
}
fail() { echo "$me: $*" >&2; exit 2; }
trap 'echo "$me: unexpected failure at line $LINENO: the zip could not be checked" >&2; exit 2' ERR
setup_first="set up first, as root: bash tools/setup-win32.sh"

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
[ "$(id -u)" -ne 0 ] || fail "run this as a normal user: it builds code from the archive ($setup_first)"
[ -f "$zip" ] || fail "$zip: no such file"
[ -f "$source_archive" ] || fail "$source_archive: no such file (name the source archive after the zip)"
[ -z "$ca" ] || [ -f "$ca" ] || fail "$ca: no such file"
python=/usr/bin/python3
[ -x "$python" ] || fail "$python is needed: $setup_first"
osslsigncode=$(command -v osslsigncode) || fail "osslsigncode is needed: $setup_first"

mark=".velnor-verify-release"
if [ -n "$build_dir" ]; then
    mkdir -p "$build_dir"
    work=$(cd "$build_dir" && pwd)
    if [ ! -f "$work/$mark" ]; then
        [ -z "$(ls -A "$work")" ] || fail "$build_dir holds files of its own: name an empty folder for --build-dir"
        : >"$work/$mark"
    fi
else
    work=$(mktemp -d "${TMPDIR:-/tmp}/velnor-verify.XXXXXX")
    trap 'rm -rf "$work"' EXIT
fi
# Nothing the archive runs gets root through sudo.
mkdir -p "$work/no-sudo"
printf '#!/bin/sh\necho "%s runs nothing as root" >&2\nexit 1\n' "$me" >"$work/no-sudo/sudo"
chmod 755 "$work/no-sudo/sudo"
as_user() { PATH="$work/no-sudo:$PATH" "$@"; }

# --- The sources, unpacked afresh unless this folder holds this archive's ---
archive_sum=$(sha256sum <"$source_archive" | cut -d' ' -f1)
if [ "$(cat "$work/archive.sha256" 2>/dev/null)" != "$archive_sum" ]; then
    rm -rf "$work/unpacked" "$work/build" "$work/stage" "$work/archive.sha256" "$work/built-with"
    mkdir "$work/unpacked"
    tar -xzf "$source_archive" -C "$work/unpacked" --no-same-owner --no-same-permissions \
        || fail "$source_archive is not a readable .tar.gz"
    echo "$archive_sum" >"$work/archive.sha256"
fi
# The archive's one top folder (velnor-start-<version>/), or its root.
source="$work/unpacked"
tops=("$work/unpacked"/*)
[ ${#tops[@]} -ne 1 ] || [ ! -d "${tops[0]}" ] || source=${tops[0]}
[ -f "$source/CMakeLists.txt" ] && [ -f "$source/tools/build-qt.sh" ] \
    || fail "$source_archive holds no launcher sources (no CMakeLists.txt and tools/build-qt.sh)"

# --- start.exe rebuilt with the Qt the archive pins, and packaged ---
qt_prefix=$(as_user bash "$source/tools/build-qt.sh" win32 --print-prefix 2>/dev/null) \
    || fail "the archive's tools/build-qt.sh names no Qt"
[ -f "$qt_prefix/.stamp" ] || fail "the QtCore this archive pins is not built here ($qt_prefix): $setup_first, with the archive's tools/qt-pin.txt"
if [ "$(cat "$work/built-with" 2>/dev/null)" != "$qt_prefix" ] || [ ! -f "$work/build/start.exe" ]; then
    rm -rf "$work/build" "$work/stage" "$work/built-with"
    echo "Building start.exe from $source_archive (Qt: $qt_prefix)" >&2
    as_user bash "$here/configure-win32.sh" "$source" "$work/build" "$qt_prefix" \
        -DLAUNCHER_BUILD_TESTS=OFF -DLAUNCHER_PACKAGE_STRICT=OFF >"$work/configure.log" 2>&1 \
        || { cat "$work/configure.log" >&2; fail "the sources in $source_archive don't configure"; }
    # Which files the release packages can't be told without every one of them.
    ! grep 'Windows package:' "$work/configure.log" >&2 \
        || fail "this machine lacks files the release packages (above): $setup_first"
    as_user cmake --build "$work/build" -j"$(nproc)" --target start >"$work/build.log" 2>&1 \
        || { cat "$work/build.log" >&2; fail "the sources in $source_archive don't build"; }
    cmake --install "$work/build" --prefix "$work/stage" >"$work/install.log" 2>&1 \
        || { cat "$work/install.log" >&2; fail "the sources in $source_archive don't package"; }
    echo "$qt_prefix" >"$work/built-with"
fi
(cd "$work/stage" && find . -type f | sed 's|^\./||' | LC_ALL=C sort) >"$work/packaged"

# This machine's authorities, and those given.
bundle="$work/authorities.pem"
cat /etc/ssl/certs/ca-certificates.crt ${ca:+"$ca"} >"$bundle" 2>/dev/null || cat ${ca:+"$ca"} /dev/null >"$bundle"

status=0
"$python" - "$zip" "$source_archive" "$work/build/start.exe" "$osslsigncode" "$bundle" "$work/packaged" <<'EOF' || status=$?
import hashlib, os, re, struct, subprocess, sys, tempfile, zipfile

zip_path, archive_path, rebuilt_path, osslsigncode, bundle, packaged_path = sys.argv[1:7]
zip_name, archive_name = os.path.basename(zip_path), os.path.basename(archive_path)


def could_not(message):
    print(f"{message}: start.exe in {zip_name} can't be checked against {archive_name}.")
    sys.exit(2)


def unexpected(kind, value, trace):
    print(f"{kind.__name__}: {value}: start.exe in {zip_name} can't be checked against {archive_name}.")
    sys.stdout.flush()
    os._exit(2)


sys.excepthook = unexpected


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
# Windows unpacks START.EXE over start.exe: names compare with case folded.
with open(packaged_path, encoding="utf-8") as file:
    packaged = {line.rstrip("\n").casefold(): line.rstrip("\n") for line in file if line.strip()}
folded = [name.casefold() for name in names]
twins = sorted({name for name in names if folded.count(name.casefold()) > 1})
if twins:
    differs([f"it holds entries whose names differ only in case: {', '.join(twins)}"])
extra = sorted(name for name in names if name.casefold() not in packaged)
missing = sorted(name for key, name in packaged.items() if key not in folded)
if extra or missing:
    differs(["its entries are not the release's: "
             + "; ".join(filter(None, [extra and "not packaged: " + ", ".join(extra),
                                       missing and "missing: " + ", ".join(missing)]))])
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


# Unauthenticated attributes that signing tools add and Windows expects:
# anything else there (a data blob, say) travels unsigned.
UNSIGNED_ALLOWED = {"1.2.840.113549.1.9.6", "1.3.6.1.4.1.311.3.3.1", "1.3.6.1.4.1.311.2.4.1"}
NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"


def der_items(data, start=0, end=None):
    """(tag, start, content start, end) of each DER item in data[start:end]."""
    end = len(data) if end is None else end
    while start < end:
        tag, size, content = data[start], data[start + 1], start + 2
        if size & 0x80:
            size, content = int.from_bytes(data[content:content + (size & 0x7F)], "big"), content + (size & 0x7F)
        if content + size > end:
            raise ValueError("a DER item runs past its end")
        yield tag, start, content, content + size
        start = content + size


def oid_text(data):
    arcs, value = [min(data[0] // 40, 2), data[0] - 40 * min(data[0] // 40, 2)], 0
    for byte in data[1:]:
        value = value << 7 | byte & 0x7F
        if not byte & 0x80:
            arcs.append(value)
            value = 0
    return ".".join(map(str, arcs))


def unsigned_attributes(signature):
    """The OIDs of every signer's unauthenticated attributes in a PKCS#7
    ContentInfo, those of nested signatures included."""
    _, _, start, end = next(der_items(signature))
    _, _, start, end = list(der_items(signature, start, end))[1]  # [0] EXPLICIT
    (_, _, start, end), = der_items(signature, start, end)  # SignedData
    *_, (_, _, start, end) = der_items(signature, start, end)  # signerInfos
    found = []
    for _, _, signer, signer_end in der_items(signature, start, end):
        for tag, _, first, last in der_items(signature, signer, signer_end):
            if tag != 0xA1:
                continue
            for _, _, attribute, attribute_end in der_items(signature, first, last):
                (_, _, oid, oid_end), (_, _, values, values_end) = list(der_items(signature, attribute, attribute_end))
                found.append(oid_text(signature[oid:oid_end]))
                if found[-1] == NESTED_SIGNATURE:
                    for _, item, _, item_end in der_items(signature, values, values_end):
                        found += unsigned_attributes(signature[item:item_end])
    return found


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
        try:
            others = sorted(set(unsigned_attributes(der[:der_length])) - UNSIGNED_ALLOWED)
        except (ValueError, IndexError):
            others = ["(a signature that can't be read)"]
        if others:
            reasons.append(f"its signature carries unsigned data: unauthenticated attributes {', '.join(others)}")
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
exit "$status"
