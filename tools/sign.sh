#!/usr/bin/env bash
# Signs a Windows executable with Authenticode (SHA-256) through osslsigncode,
# with the certificate and key in a PKCS#12 file (.pfx):
#
#   sign.sh --pfx CERT.pfx [--password-file FILE] [--timestamp URL] [--time EPOCH] EXE
#   sign.sh --check --pfx CERT.pfx [--password-file FILE]
#
# The password is the first line of --password-file, or else the value of the
# environment variable VELNOR_SIGN_PASSWORD; never an argument, which any
# user's `ps` would show. It reaches openssl through its environment and
# osslsigncode through a pipe, no other command, and is never written to disk.
# --check only opens the .pfx with the password: a release stops on a bad
# certificate or a wrong password before it builds anything.
# --timestamp: an RFC 3161 time-stamping server, so that the signature stays
# valid after the certificate expires.
# --time: the signing time recorded in the signature (default now); a release
# gives its commit's time, so that one commit signed with one RSA key gives
# the same bytes on every run.
# EXE is replaced only by a complete signed file; on any failure it stays.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
me="tools/sign.sh"

check=0 pfx="" password_file="" timestamp="" time="" exe=""
while [ $# -gt 0 ]; do
    case $1 in
        --check) check=1; shift ;;
        --pfx|--password-file|--timestamp|--time)
            [ $# -ge 2 ] && [ -n "$2" ] || { echo "$me: $1 needs a value" >&2; exit 2; }
            case $1 in
                --pfx) pfx=$2 ;; --password-file) password_file=$2 ;;
                --timestamp) timestamp=$2 ;; --time) time=$2 ;;
            esac
            shift 2 ;;
        -*) echo "$me: unknown option $1" >&2; exit 2 ;;
        *) [ -z "$exe" ] || { echo "$me: one executable at a time" >&2; exit 2; }; exe=$1; shift ;;
    esac
done
[ -n "$pfx" ] || { echo "$me: no certificate: --pfx CERT.pfx" >&2; exit 2; }
[ "$check" = 1 ] || [ -n "$exe" ] || { echo "$me: no executable to sign" >&2; exit 2; }
[ -f "$pfx" ] && [ -r "$pfx" ] || { echo "$me: the certificate $pfx is not a readable file" >&2; exit 1; }
if [ -n "$password_file" ]; then
    [ -f "$password_file" ] && [ -r "$password_file" ] \
        || { echo "$me: the password file $password_file is not a readable file" >&2; exit 1; }
    # The file's first line, as openssl reads it.
    password=""
    IFS= read -r password <"$password_file" || true
    password=${password%$'\r'}
elif [ -n "${VELNOR_SIGN_PASSWORD+set}" ]; then
    password=$VELNOR_SIGN_PASSWORD
else
    echo "$me: no password for $pfx: give --password-file FILE or set VELNOR_SIGN_PASSWORD" >&2
    exit 2
fi
# Only openssl's environment and osslsigncode's pipe see it: not apt's, nor
# what dpkg runs as root.
unset VELNOR_SIGN_PASSWORD

source "$root/tools/packages.sh"
if ! command -v osslsigncode >/dev/null || ! command -v openssl >/dev/null; then
    echo "Installing osslsigncode and openssl for signing" >&2
    apt_update
    apt_install osslsigncode openssl
fi

# openssl tells a wrong password (the file's MAC) from a file that isn't
# PKCS#12. Certificates exported by older Windows use RC2, which OpenSSL 3
# reads only with its legacy provider.
opened=0
for legacy in "" -legacy; do
    if errors=$(VELNOR_SIGN_PASSWORD=$password openssl pkcs12 $legacy -noout -in "$pfx" \
        -passin env:VELNOR_SIGN_PASSWORD 2>&1); then
        opened=1
        break
    fi
    case $errors in *"invalid password"*) break ;; esac
done
if [ "$opened" = 0 ]; then
    case $errors in
        *"invalid password"*) echo "$me: wrong password for the certificate $pfx" >&2 ;;
        *)
            # OpenSSL's "<thread>:error:<code>:<library>:<function>:<reason>:..." in words.
            reason=$(head -n 1 <<<"$errors" | awk -F: '$2 == "error" && NF >= 6 { print $4 ": " $6; next } { print }')
            echo "$me: $pfx is not a PKCS#12 certificate file (.pfx) that can be opened ($reason)" >&2 ;;
    esac
    exit 1
fi
[ "$check" = 0 ] || exit 0

[ -f "$exe" ] || { echo "$me: $exe: no such file" >&2; exit 1; }
signed="$exe.signing"
trap 'rm -f "$signed"' EXIT
rm -f "$signed"
args=(sign -pkcs12 "$pfx" -h sha256)
[ -z "$time" ] || args+=(-time "$time")
[ -z "$timestamp" ] || args+=(-ts "$timestamp")
# -readpass takes a file name: a pipe keeps the password off disk (osslsigncode
# 2.5, Debian 12's, can't read it from standard input). It fails on an empty
# file, and without it an empty password is tried.
run_sign() {
    if [ -n "$password" ]; then
        osslsigncode "${args[@]}" -readpass <(printf '%s' "$password") -in "$exe" -out "$signed"
    else
        osslsigncode "${args[@]}" -in "$exe" -out "$signed"
    fi
}
if ! log=$(run_sign 2>&1) || [ ! -s "$signed" ]; then
    printf '%s\n' "$log" | sed '/^$/d; s/^/  osslsigncode: /' >&2
    echo "$me: signing $exe with $pfx failed${timestamp:+ (time-stamping server $timestamp)}" >&2
    exit 1
fi
mv -f "$signed" "$exe"
echo "Signed $exe with $pfx (Authenticode SHA-256${timestamp:+, time-stamped by $timestamp})" >&2
