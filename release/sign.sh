#!/usr/bin/env bash
# Signs Windows executables in place with Authenticode (SHA-256) through
# osslsigncode:
#   sign.sh FILE...
# The key and the time-stamp server come from the environment:
#   VARNEL_SIGN_PFX, VARNEL_SIGN_PASSWORD_FILE: a PKCS#12 file with the key
#     and its certificate chain, and a file holding its password;
#   or VARNEL_SIGN_PKCS11_MODULE, VARNEL_SIGN_PKCS11_KEY, VARNEL_SIGN_CERT:
#     the token's PKCS#11 module, the key's pkcs11: URI and the certificate
#     chain (PEM); VARNEL_SIGN_PASSWORD_FILE, if set, holds the token's PIN;
#   VARNEL_SIGN_TIMESTAMP_URL: the RFC 3161 time-stamp server, or "none" to
#     sign without a time stamp (the signature then lapses with the
#     certificate: for tests only).
set -euo pipefail
fail() { echo "sign: $*" >&2; exit 1; }

key=()
if [ -n "${VARNEL_SIGN_PFX:-}" ]; then
  key=(-pkcs12 "$VARNEL_SIGN_PFX")
elif [ -n "${VARNEL_SIGN_PKCS11_MODULE:-}" ]; then
  [ -n "${VARNEL_SIGN_PKCS11_KEY:-}" ] && [ -n "${VARNEL_SIGN_CERT:-}" ] ||
    fail "VARNEL_SIGN_PKCS11_MODULE needs VARNEL_SIGN_PKCS11_KEY and VARNEL_SIGN_CERT"
  key=(-pkcs11module "$VARNEL_SIGN_PKCS11_MODULE" -key "$VARNEL_SIGN_PKCS11_KEY" -certs "$VARNEL_SIGN_CERT")
else
  fail "neither VARNEL_SIGN_PFX nor VARNEL_SIGN_PKCS11_MODULE is set"
fi
if [ -n "${VARNEL_SIGN_PASSWORD_FILE:-}" ]; then
  key+=(-readpass "$VARNEL_SIGN_PASSWORD_FILE")
elif [ -n "${VARNEL_SIGN_PFX:-}" ]; then
  fail "VARNEL_SIGN_PFX needs VARNEL_SIGN_PASSWORD_FILE"
fi
case "${VARNEL_SIGN_TIMESTAMP_URL:-}" in
  "") fail "VARNEL_SIGN_TIMESTAMP_URL is not set (\"none\" signs without a time stamp)" ;;
  none) stamp=() ;;
  *) stamp=(-ts "$VARNEL_SIGN_TIMESTAMP_URL") ;;
esac

for file in "$@"; do
  # osslsigncode writes a new file; the signed one replaces the original
  # only when signing succeeded.
  osslsigncode sign "${key[@]}" "${stamp[@]}" -h sha256 -n Varnel -in "$file" -out "$file.signed" >/dev/null ||
    { rm -f "$file.signed"; fail "could not sign $file"; }
  mv -f "$file.signed" "$file"
done
