#!/usr/bin/env bash
# The built Vorsel.app: one executable whose agent mode maps no GUI library,
# OpenSSL, GIO or X11 library, a window module that app mode loads from
# beside it, a signing module loaded when a signature must be checked, and a
# display module loaded while apps are closed on a display.
# Usage: BundleTest.sh PATH/Vorsel.app
set -uo pipefail
bundle=$1
failures=0
pass() { echo "ok: $*"; }
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

exe=$bundle/Contents/Linux/vorsel
module=$bundle/Contents/Linux/vorsel-app.so

needed=$(readelf -d "$exe" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
if grep -qE 'Qt6(Gui|Widgets|Svg)' <<<"$needed"; then fail "the executable needs a GUI library: $needed"
else pass "the executable needs no GUI library"; fi
if grep -qE 'libcrypto|libssl|libgio|libgobject' <<<"$needed"; then
  fail "the executable needs OpenSSL or GIO: $needed"
else pass "the executable needs neither OpenSSL nor GIO"; fi
if grep -qE 'libxcb|libX' <<<"$needed"; then fail "the executable needs an X11 library: $needed"
else pass "the executable needs no X11 library"; fi

# Its own copy of the logic stays private: nothing of ours but the entry.
exported=$(nm -D --defined-only "$module" | awk '{print $3}')
if grep -qx vorselRunApp <<<"$exported" && ! grep -q '_ZN6vorsel' <<<"$exported"; then
  pass "the module exports its entry and nothing else of ours"
else fail "the module exports: $exported"; fi
signing=$(nm -D --defined-only "$bundle/Contents/Linux/vorsel-signing.so" | awk '{print $3}')
if grep -qx vorselSigningSatisfies <<<"$signing" && grep -qx vorselSigningCallerGenuine <<<"$signing" \
   && ! grep -q '_ZN6vorsel' <<<"$signing"; then
  pass "the signing module exports its entries and nothing else of ours"
else fail "the signing module exports: $signing"; fi
for windows in vorsel-x11.so vorsel-wayland.so vorsel-gnome.so vorsel-kwin.so; do
  exported=$(nm -D --defined-only "$bundle/Contents/Linux/$windows" | awk '{print $3}')
  if grep -qx vorselWindowsOpen <<<"$exported" && ! grep -q '_ZN6vorsel' <<<"$exported"; then
    pass "the windows module $windows exports its entry and nothing else of ours"
  else fail "the windows module $windows exports: $exported"; fi
done

# Without its module, app mode says so and fails instead of crashing.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -a "$bundle" "$work/Vorsel.app"
rm "$work/Vorsel.app/Contents/Linux/vorsel-app.so"
out=$(HOME=$work XDG_DATA_HOME=$work/data QT_QPA_PLATFORM=offscreen \
      timeout 10 "$work/Vorsel.app/Contents/Linux/vorsel" 2>&1)
status=$?
if [ $status -eq 1 ] && grep -q "cannot load the window" <<<"$out"; then pass "a missing module is reported"
else fail "a missing module gave status $status: $out"; fi

# Without its signing module, agent mode says that no caller can pass.
rm "$work/Vorsel.app/Contents/Linux/vorsel-signing.so"
out=$(env -i HOME="$work" XDG_DATA_HOME="$work/data" \
      timeout 10 "$work/Vorsel.app/Contents/Linux/vorsel" --agent 2>&1)
if grep -q "found no .*vorsel-signing.so: no caller can be judged genuine" <<<"$out"; then
  pass "a missing signing module is reported"
else fail "a missing signing module gave: $out"; fi

echo "$((8 - failures)) passed, $failures failed"
[ $failures -eq 0 ]
