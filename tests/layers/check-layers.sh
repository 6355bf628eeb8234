#!/usr/bin/env bash
# Checks the layer rule: every #include of the project's C++ files against
# the rules in layers.rules beside this script. Fails, naming the file, the
# line and the rule, on an include a rule forbids; fails as well when a rule
# binds no file (a folder renamed under it) or would not see its own example
# (a rule that cannot fail).
# Usage: check-layers.sh [source-root]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=${1:-$here/../..}
rules=$here/layers.rules
cd "$root"

folders=()
for folder in Guard Main Platform tools tests bench fuzz; do
  [ -d "$folder" ] && folders+=("$folder")
done
[ ${#folders[@]} -gt 0 ] || { echo "no sources under $root" >&2; exit 1; }

grep -rnE --include='*.h' --include='*.hpp' --include='*.cpp' \
  '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]' "${folders[@]}" |
awk -v rules="$rules" '
function fail(text) { print text; failed = 1 }
# Whether rule r binds the file at path.
function binds(r, path,   i) {
  if (path !~ files[r]) return 0
  for (i = 1; i <= nexcept[r]; i++) if (path ~ excepts[r, i]) return 0
  return 1
}
# Whether rule r forbids the include name (with its brackets or quotes).
function forbids(r, name,   i, allowed) {
  for (i = 1; i <= nnever[r]; i++) if (name ~ nevers[r, i]) return 1
  if (nonly[r] == 0) return 0
  for (i = 1; i <= nonly[r]; i++) if (name ~ onlys[r, i]) return 0
  return 1
}
BEGIN {
  while ((getline line < rules) > 0) {
    if (line ~ /^[[:space:]]*(#|$)/) continue
    key = line; sub(/[[:space:]].*/, "", key)
    value = line; sub(/^[^[:space:]]+[[:space:]]+/, "", value); sub(/[[:space:]]+$/, "", value)
    if (key == "rule") { n++; why[n] = value; continue }
    if (n == 0) { print "layers.rules: " key " before any rule"; broken = 1; exit 2 }
    if (key == "files") files[n] = value
    else if (key == "except") excepts[n, ++nexcept[n]] = value
    else if (key == "never") nevers[n, ++nnever[n]] = value
    else if (key == "only") onlys[n, ++nonly[n]] = value
    else if (key == "example") example[n] = value
    else { print "layers.rules: unknown key " key; broken = 1; exit 2 }
  }
  for (r = 1; r <= n; r++)
    if (files[r] == "" || example[r] == "" || nnever[r] + nonly[r] == 0) {
      print "layers.rules: rule \"" why[r] "\" needs files, example and never or only"
      broken = 1
      exit 2
    }
}
{
  # path:line:text
  path = $0; sub(/:.*/, "", path)
  rest = substr($0, length(path) + 2)
  number = rest; sub(/:.*/, "", number)
  text = substr(rest, length(number) + 2)
  if (!match(text, /[<"][^>"]+[>"]/)) next
  name = substr(text, RSTART, RLENGTH)
  checked++
  for (r = 1; r <= n; r++) {
    if (!binds(r, path)) continue
    if (!(r in first)) first[r] = path
    if (forbids(r, name)) fail(path ":" number ": includes " name ": " why[r])
  }
}
END {
  if (broken || n == 0) exit 2
  for (r = 1; r <= n; r++) {
    if (!(r in first)) { fail("rule binds no file: " why[r]); continue }
    if (!forbids(r, example[r])) fail("rule would not see its example " example[r] ": " why[r])
  }
  if (failed) exit 1
  printf "%d includes, %d rules: the layers hold\n", checked, n
}'
