#!/usr/bin/env bash
# Releases made by tools/release.sh, signed and unsigned, and what
# tools/verify-release.sh says of them and of altered ones. Runs in a
# throw-away repository holding the working tree's sources (the checkout's
# dist/ stays as it is), with a certificate authority and a code-signing
# certificate made here. Exits 77 (skipped) where osslsigncode can't be
# installed.
#   signed_and_verified.sh <source folder>
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 <source folder>" >&2; exit 2; }
source=$(cd "$1" && pwd)
source "$source/tools/packages.sh"
if ! command -v osslsigncode >/dev/null || ! command -v openssl >/dev/null; then
    { apt_update && apt_install osslsigncode openssl; } >/dev/null 2>&1 \
        || { echo "osslsigncode can't be installed here: skipped"; exit 77; }
fi

unset VELNOR_SIGN_PASSWORD SOURCE_DATE_EPOCH
work=$(mktemp -d /tmp/velnor-release-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
# expect <what> <exit status> <text the last line holds> <command...>
expect() {
    local what=$1 status=$2 text=$3 actual=0
    shift 3
    "$@" >"$work/out" 2>&1 || actual=$?
    if [ "$actual" = "$status" ] && tail -n 1 "$work/out" | grep -qF -- "$text"; then
        echo "ok: $what: $(tail -n 1 "$work/out")"
    else
        echo "FAIL: $what: exit $actual (expected $status and '$text' in the last line):"
        sed 's/^/    /' "$work/out"
        failures=$((failures + 1))
    fi
}

# --- A certificate authority and a code-signing certificate of its own ---
cd "$work"
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -days 2 -subj "/CN=Velnor Test CA" \
    -addext basicConstraints=critical,CA:true -addext keyUsage=critical,keyCertSign >/dev/null 2>&1
openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/CN=Velnor Test Signer" >/dev/null 2>&1
printf 'basicConstraints=critical,CA:false\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >signer.ext
openssl x509 -req -in signer.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -extfile signer.ext \
    -out signer.crt >/dev/null 2>&1
printf 'correct horse\n' >password
printf 'wrong horse\n' >wrong-password
openssl pkcs12 -export -inkey signer.key -in signer.crt -certfile ca.crt -passout file:password -out signer.pfx
head -c 600 signer.pfx >corrupt.pfx

# --- The working tree's sources as commit A; commit B another version ---
source "$source/tests/release/copy_sources.sh"
copy_sources "$source" repo
cd repo
export GIT_AUTHOR_NAME=test GIT_AUTHOR_EMAIL=test@example.invalid GIT_COMMITTER_NAME=test \
    GIT_COMMITTER_EMAIL=test@example.invalid GIT_AUTHOR_DATE=@1765000000 GIT_COMMITTER_DATE=@1765000000
git init -q && git add -A && git commit -qm A
# release <folder> [options]: a release, its dist/ moved to <folder>.
release() {
    local folder=$1
    shift
    bash tools/release.sh "$@" && mv dist "$work/$folder"
}
no_zip() {
    if ls dist/*.zip dist/*.tar.gz 2>/dev/null; then return 1; fi
    echo "dist/ holds no zip and no source archive"
}

# --- release.sh: a wrong password, a corrupt certificate and a failed signing
# stop it, with no zip; without --sign and with it a release each ---
expect "wrong password" 1 "wrong password for the certificate" \
    bash tools/release.sh --sign "$work/signer.pfx" --sign-password-file "$work/wrong-password"
expect "no zip after a wrong password" 0 "holds no zip" no_zip
expect "corrupt .pfx" 1 "is not a PKCS#12 certificate file" \
    env VELNOR_SIGN_PASSWORD="correct horse" bash tools/release.sh --sign "$work/corrupt.pfx"
expect "no zip after a corrupt .pfx" 0 "holds no zip" no_zip
expect "signing that fails after the build (no time-stamping server)" 1 "failed (time-stamping server" \
    bash tools/release.sh --sign "$work/signer.pfx" --sign-password-file "$work/password" --timestamp http://127.0.0.1:9/
expect "no zip after a failed signing" 0 "holds no zip" no_zip
# Every argument counts: an option after the commit, a typo, --help.
expect "--sign after the commit" 1 "not a readable file" bash tools/release.sh HEAD --sign "$work/missing.pfx"
expect "an unknown option" 2 "unknown option --sgin" bash tools/release.sh --sgin "$work/signer.pfx"
expect "two commits" 2 "one commit at a time" bash tools/release.sh HEAD HEAD
expect "--help" 0 "[COMMIT]" bash tools/release.sh --help
expect "no zip after refused arguments" 0 "holds no zip" no_zip
expect "unsigned release" 0 "source.tar.gz" release unsigned
VELNOR_SIGN_PASSWORD="correct horse" expect "signed release, password from the environment" 0 "source.tar.gz" \
    release signed --sign "$work/signer.pfx"
expect "the signed start.exe verifies against the test authority" 0 "Succeeded" bash -c \
    "cd '$work' && python3 -m zipfile -e signed/*.zip signed-zip && osslsigncode verify -CAfile ca.crt -in signed-zip/start.exe"
expect "SHA256SUMS of the signed release" 0 ": OK" bash -c "cd '$work/signed' && sha256sum -c SHA256SUMS"
expect "the signed start.exe is the unsigned one signed, as on every run" 0 "identical" bash -c \
    "cd '$work' && python3 -m zipfile -e unsigned/*.zip resigned && bash repo/tools/sign.sh --pfx signer.pfx \
     --password-file password --time 1765000000 resigned/start.exe && cmp resigned/start.exe signed-zip/start.exe \
     && echo identical"

sed -i -E '0,/^project\(/s/^(project\([A-Za-z]+ VERSION )[0-9.]+/\199.0.0/' CMakeLists.txt
git commit -qam B
expect "release of another commit" 0 "source.tar.gz" release other
cd "$work"
unsigned_zip=$(echo unsigned/*-win32.zip) signed_zip=$(echo signed/*-win32.zip) other_zip=$(echo other/*-win32.zip)
source_a=$(echo unsigned/*-source.tar.gz)

# --- Altered zips: a byte of code changed, another build's signature, data
# hidden in the certificate table ---
python3 -m zipfile -e "$other_zip" other-zip
bash repo/tools/sign.sh --pfx signer.pfx --password-file password other-zip/start.exe 2>/dev/null
# A signature carrying data of its own, outside what it signs.
python3 -m zipfile -e "$unsigned_zip" blob-zip
osslsigncode sign -pkcs12 signer.pfx -pass "correct horse" -h sha256 -addUnauthenticatedBlob \
    -in blob-zip/start.exe -out blob-zip/start.signed >/dev/null
python3 - "$unsigned_zip" "$signed_zip" other-zip/start.exe <<'EOF'
import os, struct, sys, zipfile

unsigned_zip, signed_zip, other_signed = sys.argv[1:4]


def read(path):
    with zipfile.ZipFile(path) as archive:
        return bytearray(archive.read("start.exe"))


def write(data, from_zip, name):
    """from_zip with start.exe replaced, in altered/name."""
    os.makedirs("altered", exist_ok=True)
    with zipfile.ZipFile(from_zip) as source, zipfile.ZipFile(f"altered/{name}", "w") as target:
        for entry in source.infolist():
            target.writestr(entry, bytes(data) if entry.filename == "start.exe" else source.read(entry))


def security(data):
    optional = struct.unpack_from("<I", data, 0x3C)[0] + 24
    return optional + 96 + 4 * 8  # PE32


def code_byte_changed(data):
    head = struct.unpack_from("<I", data, 0x3C)[0]
    count, optional_size = struct.unpack_from("<H12xH", data, head + 6)
    for index in range(count):
        entry = head + 24 + optional_size + 40 * index
        if data[entry:entry + 8].rstrip(b"\0") == b".text":
            size, start = struct.unpack_from("<II", data, entry + 16)
            data[start + size // 2] ^= 0x01
            return data
    sys.exit("no .text section")


write(code_byte_changed(read(unsigned_zip)), unsigned_zip, "unsigned-code-byte.zip")
write(code_byte_changed(read(signed_zip)), signed_zip, "signed-code-byte.zip")
# The other commit's signature on this commit's start.exe.
unsigned, other = read(unsigned_zip), open(other_signed, "rb").read()
table, size = struct.unpack_from("<II", other, security(other))
unsigned += bytes(-len(unsigned) % 8)
struct.pack_into("<II", unsigned, security(unsigned), len(unsigned), size)
write(unsigned + other[table:table + size], unsigned_zip, "foreign-signature.zip")
# Eight bytes more in the certificate table, inside its one entry.
signed = read(signed_zip)
table, size = struct.unpack_from("<II", signed, security(signed))
struct.pack_into("<II", signed, security(signed), table, size + 8)
struct.pack_into("<I", signed, table, size + 8)
write(signed + b"payload!", signed_zip, "hidden-data.zip")
with zipfile.ZipFile(unsigned_zip) as source, zipfile.ZipFile("altered/no-start-exe.zip", "w") as target:
    target.writestr("README.txt", source.read("README.txt"))
write(open("blob-zip/start.signed", "rb").read(), unsigned_zip, "unsigned-blob.zip")


def with_more(name, *entries):
    """The unsigned zip with further entries, each (name, content)."""
    with zipfile.ZipFile(unsigned_zip) as source, zipfile.ZipFile(f"altered/{name}", "w") as target:
        for entry in source.infolist():
            target.writestr(entry, source.read(entry))
        for entry, content in entries:
            target.writestr(entry, content)


# Windows unpacks START.EXE over start.exe.
with_more("case-twin.zip", ("START.EXE", b"MZ another program"))
with_more("extra-entry.zip", ("velnor.exe", b"MZ another program"))
# start.exe stored with Deflate64 (method 9), which Python's zipfile can't read.
with zipfile.ZipFile(unsigned_zip) as source, zipfile.ZipFile("altered/deflate64.zip", "w") as target:
    for entry in source.infolist():
        target.writestr(entry, source.read(entry), compress_type=zipfile.ZIP_STORED)
data = bytearray(open("altered/deflate64.zip", "rb").read())
for signature, offset in ((b"PK\x03\x04", 8), (b"PK\x01\x02", 10)):
    at = data.find(signature)  # start.exe is the first entry
    struct.pack_into("<H", data, at + offset, 9)
open("altered/deflate64.zip", "wb").write(bytes(data))
EOF

# --- verify-release.sh: one rebuild of commit A serves every check ---
# As a normal user, as the verifier asks; the checks read the files here.
chmod 755 "$work"
mkdir rebuild && chown 65534:65534 rebuild
as_user() { setpriv --reuid=65534 --regid=65534 --clear-groups env HOME="$work" "$@"; }
verify() { as_user bash "$work/repo/tools/verify-release.sh" --build-dir "$work/rebuild" "$@"; }
expect "as root" 2 "run this as a normal user" bash "$work/repo/tools/verify-release.sh" "$unsigned_zip"
expect "--build-dir that holds files" 2 "holds files of its own" \
    as_user bash "$work/repo/tools/verify-release.sh" --build-dir "$work/unsigned" "$unsigned_zip"
expect "unsigned release, source archive beside it" 0 "is built from" verify "$unsigned_zip"
expect "signed release" 0 "is built from" verify --ca ca.crt "$signed_zip" "$source_a"
expect "signed release, authority unknown here" 1 "does not verify" verify "$signed_zip" "$source_a"
expect "unsigned, a code byte changed" 1 "NOT built from" verify altered/unsigned-code-byte.zip "$source_a"
expect "signed, a code byte changed" 1 "NOT built from" verify --ca ca.crt altered/signed-code-byte.zip "$source_a"
expect "another build's signature" 1 "signature was made for another file" \
    verify --ca ca.crt altered/foreign-signature.zip "$source_a"
expect "data hidden in the certificate table" 1 "holds more than signatures" \
    verify --ca ca.crt altered/hidden-data.zip "$source_a"
expect "another commit's zip" 1 "NOT built from" verify "$other_zip" "$source_a"
expect "a zip without start.exe" 2 "can't be checked" verify altered/no-start-exe.zip "$source_a"
expect "an entry that differs from start.exe only in case" 1 "differ only in case: START.EXE, start.exe" \
    verify altered/case-twin.zip "$source_a"
expect "an entry the release doesn't package" 1 "not packaged: velnor.exe" verify altered/extra-entry.zip "$source_a"
expect "an unauthenticated data blob in the signature" 1 "carries unsigned data" \
    verify --ca ca.crt altered/unsigned-blob.zip "$source_a"
expect "start.exe compressed with Deflate64" 2 "can't be checked" verify altered/deflate64.zip "$source_a"

[ "$failures" = 0 ] || { echo "$failures checks failed"; exit 1; }
