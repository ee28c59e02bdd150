#!/bin/sh
# Builds the release archives from scratch and lists what is in them: a tar.gz of the Linux build
# and a zip of the Windows build (CMake workflow presets package-posix and package-windows), each
# with the helper, the README and the sample application's source. They land in
# build/package-posix/packages and build/package-windows/packages.
#
#   scripts/package.sh [--sign CERTIFICATE.pfx [--password-file FILE] [--timestamp URL]]
#
# With --sign, the quillmoor-updater.exe in the zip is signed with Authenticode (osslsigncode) with
# the certificate and key in that PKCS#12 file, whose password is the first line of FILE, and time
# stamped by the RFC 3161 server at URL (cmake/sign.cmake does it, between CPack's strip and its
# archive). The same can be asked through the environment: QM_SIGN_PKCS12, QM_SIGN_PASSWORD_FILE,
# QM_SIGN_TIMESTAMP.
set -eu

usage() {
    echo "usage: scripts/package.sh [--sign CERTIFICATE.pfx [--password-file FILE] [--timestamp URL]]" >&2
    exit 2
}
absolute() { case $1 in /*) printf '%s' "$1" ;; *) printf '%s/%s' "$PWD" "$1" ;; esac }
while [ $# -gt 0 ]; do
    [ $# -ge 2 ] || usage
    case $1 in
    --sign) QM_SIGN_PKCS12=$(absolute "$2") ;;
    --password-file) QM_SIGN_PASSWORD_FILE=$(absolute "$2") ;;
    --timestamp) QM_SIGN_TIMESTAMP=$2 ;;
    *) usage ;;
    esac
    shift 2
done
if [ -n "${QM_SIGN_PKCS12:-}" ]; then
    [ -f "$QM_SIGN_PKCS12" ] || { echo "no certificate file $QM_SIGN_PKCS12" >&2; exit 1; }
    export QM_SIGN_PKCS12 QM_SIGN_PASSWORD_FILE QM_SIGN_TIMESTAMP
fi

cd "$(dirname "$0")/.."
./scripts/install-deps.sh

for preset in package-posix package-windows; do
    echo "== $preset"
    rm -rf "build/$preset"
    log="build/$preset.log"
    mkdir -p build
    if ! cmake --workflow --preset "$preset" >"$log" 2>&1; then
        cat "$log"
        exit 1
    fi
done

for archive in build/package-posix/packages/*.tar.gz build/package-windows/packages/*.zip; do
    echo
    echo "$archive"
    cmake -E tar tvf "$archive" | sed 's/^/    /'
done
if [ -n "${QM_SIGN_PKCS12:-}" ]; then
    echo
    echo "quillmoor-updater.exe in the zip is signed with $QM_SIGN_PKCS12 (build/package-windows.log)"
fi
