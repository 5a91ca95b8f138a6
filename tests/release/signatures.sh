#!/usr/bin/env bash
# Signing with release/sign.sh: a throwaway self-signed code-signing certificate (its key behind a
# password) signs copies of the built DLLs, programs and the installer package; each must verify as an
# Authenticode SHA-256 signature, a byte changed after signing must fail verification, and a signing
# that can't be done must fail loudly and leave the file as it was.
# Environment: VORN_SOURCE, VORN_BIN, VORN_MSI.
set -uo pipefail
: "${VORN_SOURCE:?}" "${VORN_BIN:?}" "${VORN_MSI:?}"
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
FAILED=0
fail() { echo "FAIL: $*"; FAILED=1; }
cd "$WORK" || exit 1

openssl req -x509 -newkey rsa:2048 -days 2 -subj "/CN=Vornlink test signer" \
    -addext "extendedKeyUsage=codeSigning" -keyout key.pem -out cert.pem -passout pass:test-secret \
    >openssl.log 2>&1 || { cat openssl.log; exit 1; }
export VORN_SIGN_CERT="$WORK/cert.pem" VORN_SIGN_KEY="$WORK/key.pem" VORN_SIGN_KEY_PASSWORD=test-secret
unset VORN_SIGN_TIMESTAMP_URL

files=(Vornlink.dll fullcal.exe Vorn.dll "$(basename "$VORN_MSI")")
cp "$VORN_BIN/Vornlink.dll" "$VORN_BIN/fullcal.exe" "$VORN_BIN/sim/Vorn.dll" "$VORN_MSI" .
bash "$VORN_SOURCE/release/sign.sh" "${files[@]}" || fail "sign.sh failed"

verify() { osslsigncode verify -CAfile "$WORK/cert.pem" -in "$1" >"$WORK/verify.log" 2>&1; }
for file in "${files[@]}"; do
    if ! verify "$file"; then
        fail "$file: signature does not verify: $(tail -n 5 verify.log)"
    elif ! grep -q "Signature verification: ok" verify.log || ! grep -q "digest algorithm *: SHA256" verify.log; then
        fail "$file: not a verified SHA-256 signature: $(cat verify.log)"
    fi
done

# A byte of the code changed after signing: the signature must no longer hold.
cp Vornlink.dll tampered.dll
printf '\x90' | dd of=tampered.dll bs=1 seek=4096 conv=notrunc status=none
verify tampered.dll && fail "a DLL changed after signing still verifies"

# Failures: no key, a wrong password. The file stays unsigned and unchanged.
cp "$VORN_BIN/fullcal.exe" unsigned.exe
(unset VORN_SIGN_KEY && bash "$VORN_SOURCE/release/sign.sh" unsigned.exe) >/dev/null 2>&1 &&
    fail "sign.sh without a key reported success"
VORN_SIGN_KEY_PASSWORD=wrong bash "$VORN_SOURCE/release/sign.sh" unsigned.exe >/dev/null 2>&1 &&
    fail "sign.sh with a wrong password reported success"
cmp -s unsigned.exe "$VORN_BIN/fullcal.exe" || fail "a failed signing changed the file"

[ "$FAILED" = 0 ] && echo "PASS: ${#files[@]} files signed and verified"
exit "$FAILED"
