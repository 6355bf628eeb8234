#!/usr/bin/env bash
# Makes a throwaway certificate authority for development and tests, and a
# code-signing leaf issued by it. Never use these for anything shipped.
#
# Usage: scripts/throwaway-ca.sh DIR [TEAM]
#
# Writes into DIR (created when missing):
#   root.pem, root.key    the authority; put root.pem into Vorsel's anchors
#                         (Vorsel.app/Contents/Resources/anchors.pem)
#   leaf.pem, leaf.key    the signing certificate (extended key usage
#                         codeSigning, subject OU = TEAM, the developer-team
#                         marker extension 1.2.840.113635.100.6.1.9) and its key
#   entitlements.json     {"com.apple.security.app-sandbox": true,
#                          "com.apple.developer.team-identifier": TEAM}
#
# TEAM defaults to the empty text, which is what a build without a configured
# team expects. An empty OU cannot be encoded (a name attribute needs at least
# one character), so an empty team gives a leaf without any OU: such a leaf
# meets the team through the marker extension and the team-identifier
# entitlement, never through subject.OU.
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ] || [ -z "$1" ]; then
  echo "usage: $0 DIR [TEAM]" >&2
  exit 2
fi
dir=$1
team=${2-}
case "$team" in
  *[[:cntrl:]]*) echo "$0: the team may not hold control characters" >&2; exit 2 ;;
esac

mkdir -p "$dir"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Minimal configurations, so that the machine's openssl.cnf adds nothing.
cat >"$work/req.cnf" <<'CNF'
[req]
distinguished_name = dn
prompt = no
[dn]
CNF
cat >"$work/root.ext" <<'CNF'
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
CNF
cat >"$work/leaf.ext" <<'CNF'
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
1.2.840.113635.100.6.1.9 = ASN1:NULL
CNF

# -subj separates attributes with '/' and '+'; escape those and the escape.
escaped_team=$(printf '%s' "$team" | sed -e 's/[\\/+=]/\\&/g')
leaf_subject="/CN=Throwaway code signing"
[ -n "$team" ] && leaf_subject="/OU=${escaped_team}${leaf_subject}"

serial() { echo "0x7$(openssl rand -hex 15)"; }

umask 077
openssl req -config "$work/req.cnf" -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
  -subj "/CN=Vorsel throwaway authority $(openssl rand -hex 4)" \
  -keyout "$dir/root.key" -out "$work/root.csr" 2>/dev/null
openssl x509 -req -in "$work/root.csr" -signkey "$dir/root.key" -days 3650 \
  -set_serial "$(serial)" -extfile "$work/root.ext" -out "$dir/root.pem" 2>/dev/null

openssl req -config "$work/req.cnf" -utf8 -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
  -subj "$leaf_subject" -keyout "$dir/leaf.key" -out "$work/leaf.csr" 2>/dev/null
openssl x509 -req -in "$work/leaf.csr" -CA "$dir/root.pem" -CAkey "$dir/root.key" -days 825 \
  -set_serial "$(serial)" -extfile "$work/leaf.ext" -out "$dir/leaf.pem" 2>/dev/null
chmod 644 "$dir/root.pem" "$dir/leaf.pem"

# The team as a JSON string: escape the backslash and the double quote.
json_team=$(printf '%s' "$team" | sed -e 's/[\\"]/\\&/g')
printf '{"com.apple.security.app-sandbox": true, "com.apple.developer.team-identifier": "%s"}\n' \
  "$json_team" >"$dir/entitlements.json"
chmod 644 "$dir/entitlements.json"
