#!/usr/bin/env bash
# Signs Windows binaries and installer packages in place with Authenticode (SHA-256), using osslsigncode.
# usage: sign.sh <file>...
# The certificate and key come from the environment:
#   VORN_SIGN_CERT           the code-signing certificate: PEM or DER (a PEM file may carry the
#                            intermediates after it), or a PKCS#12 file (.pfx, .p12) holding the key too
#   VORN_SIGN_KEY            its private key (PEM or DER); not needed with PKCS#12
#   VORN_SIGN_KEY_PASSWORD   the password of the key or of the PKCS#12 file, when it has one
#   VORN_SIGN_TIMESTAMP_URL  an RFC 3161 time-stamp server; without one the signature carries no
#                            counter-signature and stops being trusted when the certificate expires
set -euo pipefail
: "${VORN_SIGN_CERT:?names the code-signing certificate}"

case "$VORN_SIGN_CERT" in
*.pfx | *.p12) options=(-pkcs12 "$VORN_SIGN_CERT") ;;
*) options=(-certs "$VORN_SIGN_CERT" -key "${VORN_SIGN_KEY:?names the private key}") ;;
esac
options+=(-h sha256 -n Vornlink)
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
if [ -n "${VORN_SIGN_KEY_PASSWORD:-}" ]; then
    # From a file, not the command line, where other users' process lists would show it.
    (umask 077 && printf '%s' "$VORN_SIGN_KEY_PASSWORD" >"$work/password")
    options+=(-readpass "$work/password")
fi
if [ -n "${VORN_SIGN_TIMESTAMP_URL:-}" ]; then
    options+=(-ts "$VORN_SIGN_TIMESTAMP_URL")
fi

for file in "$@"; do
    if ! osslsigncode sign "${options[@]}" -in "$file" -out "$work/signed" >"$work/log" 2>&1; then
        cat "$work/log" >&2
        echo "sign.sh: could not sign $file" >&2
        exit 1
    fi
    cat "$work/signed" >"$file" && rm -f "$work/signed"
done
