#!/usr/bin/env bash
# The Debian package, end to end on this machine: builds it from a built tree,
# lets lintian judge it (only the /opt tags, overridden in the package with
# their reason, may remain), installs it with dpkg, opens the installed app
# once on a throwaway X display and closes its window as a user would, then
# removes and purges it and checks that nothing of it stays behind.
#
# It installs a package system-wide, so it needs root (or sudo), and it keeps
# away from a machine where Vorsel is installed already: it then skips, or
# under CI fails.
# Usage: scripts/package-check.sh [build-folder]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
if [ "$(id -u)" -eq 0 ]; then sudo=(); else sudo=(sudo); fi

say() { printf 'package-check: %s\n' "$*"; }
# Failures go to standard output with the rest, so that a log that keeps only
# one stream still says why; a command that fails unforeseen names its line.
die() { say "FAILED: $*"; exit 1; }
trap 'say "FAILED at line $LINENO: $BASH_COMMAND"' ERR
leave_alone() {
  if [ "${CI:-}" = "true" ]; then die "$*"; fi
  say "skipped: $*"
  exit 0
}

work=$(mktemp -d /tmp/vorsel-package.XXXXXX)
chmod 755 "$work"
installed=""  # set once this run has installed the package, so that it goes again
pulled=()     # the packages that apt-get brought in for it
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [ -n "$installed" ]; then "${sudo[@]}" dpkg --purge vorsel >/dev/null 2>&1 || true; fi
  if [ ${#pulled[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get purge -y -qq -o DPkg::Lock::Timeout=600 \
      "${pulled[@]}" >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# --- build ------------------------------------------------------------------
cmake --build "$build" --target vorsel vorsel_changelog >/dev/null
if ! (cd "$build" && cpack -G DEB -B "$work/cpack") >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  die "cpack could not build the package"
fi
deb=$(ls "$work"/cpack/vorsel_*.deb)
say "built $(basename "$deb")"

# --- lintian ----------------------------------------------------------------
# Errors and warnings fail, overridden ones aside; informational tags are
# shown for a reader. Lintian's own status counts overridden tags as well, so
# its verdict is read from what it prints.
lintian_status=0
lintian --display-info --show-overrides "$deb" >"$work/lintian" 2>&1 || lintian_status=$?
grep -v -e '^running with root privileges' -e '^N: ' "$work/lintian" | sed 's/^/  /' || true
[ "$lintian_status" -le 2 ] || die "lintian could not check the package (status $lintian_status)"
if grep -q -e '^E: ' -e '^W: ' "$work/lintian"; then die "lintian found fault with the package"; fi
if grep '^O: ' "$work/lintian" | grep -qv ' dir-or-file-in-opt '; then
  die "the package overrides a lintian tag other than dir-or-file-in-opt"
fi
say "lintian: no errors or warnings but the overridden /opt ones"

# --- install ----------------------------------------------------------------
dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -e 's|^\./|/|' -e 's|/$||' | grep -v '^$' >"$work/listed"
if dpkg-query -W -f='${db:Status-Status}' vorsel 2>/dev/null | grep -qv '^not-installed$'; then
  leave_alone "a vorsel package is installed on this machine already; it is not this check's to remove"
fi
while IFS= read -r path; do
  if [ -e "$path" ] && [ ! -d "$path" ]; then
    leave_alone "$path exists already (an install of Vorsel by hand?); removing the package would take it"
  fi
done <"$work/listed"
[ -e /opt/Vorsel.app ] && leave_alone "/opt/Vorsel.app exists already; removing the package would take it"

dpkg-query -W -f='${Package}\n' | sort >"$work/before"
installed=yes
if ! "${sudo[@]}" dpkg -i "$deb" >"$work/dpkg" 2>&1; then
  # A fresh machine may lack what the package depends on: dpkg leaves it
  # unconfigured, and apt-get brings the rest and finishes the install.
  grep -q 'dependency problems' "$work/dpkg" || { cat "$work/dpkg"; die "dpkg -i failed"; }
  say "fetching what the package depends on"
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -f -y -qq -o DPkg::Lock::Timeout=600 \
    >"$work/apt" 2>&1 || { cat "$work/apt"; die "apt-get install -f failed"; }
fi
mapfile -t pulled < <(dpkg-query -W -f='${Package}\n' | sort | comm -13 "$work/before" - | grep -vx vorsel || true)
[ "$(dpkg-query -W -f='${db:Status-Status}' vorsel)" = installed ] || die "vorsel is not installed after dpkg -i"
say "installed${pulled[*]:+, with ${pulled[*]}}"

# --- open the installed app once ----------------------------------------------
exec_line=$(sed -n 's/^Exec=//p' /usr/share/applications/vorsel.desktop)
[ "$exec_line" = /opt/Vorsel.app/Contents/Linux/vorsel ] || die "the desktop entry runs '$exec_line'"
mkdir -m 700 "$work/home" "$work/run"
exec 3>"$work/display"
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 >"$work/xvfb.log" 2>&1 &
pids+=($!)
exec 3>&-
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || die "Xvfb did not start: $(cat "$work/xvfb.log")"
display=:$(head -1 "$work/display")
# The app's own environment: a home of its own, no session bus to reach.
desktop=(env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_RUNTIME_DIR="$work/run" DISPLAY="$display"
  LANG=C.UTF-8 DBUS_SESSION_BUS_ADDRESS="unix:path=$work/run/no-bus" QT_QPA_PLATFORM=xcb)
"${desktop[@]}" openbox --sm-disable >"$work/openbox.log" 2>&1 &
pids+=($!)
wm=""
for _ in $(seq 200); do "${desktop[@]}" wmctrl -m >/dev/null 2>&1 && wm=yes && break; sleep 0.1; done
[ -n "$wm" ] || die "no window manager came up on $display: $(cat "$work/openbox.log")"

"${desktop[@]}" "$exec_line" >"$work/app.log" 2>&1 &
app=$!
pids+=("$app")
window=""
# A machine busy building may take a while to show it.
for _ in $(seq 600); do
  window=$("${desktop[@]}" wmctrl -l -p 2>/dev/null | awk -v pid="$app" '$3 == pid && $5 == "Vorsel" {print $1}' || true)
  [ -n "$window" ] && break
  kill -0 "$app" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$window" ]; then
  if kill -0 "$app" 2>/dev/null; then how="it still runs"; else how="it ended"; fi
  die "the installed app showed no window ($how); the windows: $("${desktop[@]}" wmctrl -l -p 2>&1 || true); its output: $(cat "$work/app.log")"
fi
say "the installed app shows its window"
"${desktop[@]}" wmctrl -i -c "$window"
for _ in $(seq 100); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
kill -0 "$app" 2>/dev/null && die "the app was still running 10 s after its window was closed"
status=0
wait "$app" || status=$?
[ "$status" -eq 0 ] || die "the app ended with status $status: $(cat "$work/app.log")"
say "closing its window ended it"
# The package puts the bundle where the window accepts it: not "misplaced".
if [ -x "$build/tools/guardctl/guardctl" ]; then
  state=$("${desktop[@]}" QT_QPA_PLATFORM=offscreen "$build/tools/guardctl/guardctl" --bundle /opt/Vorsel.app state)
  [ "$state" = off ] || die "the window says '$state' for /opt/Vorsel.app, not off"
  say "its window reads the installed bundle as off, in its place"
fi

# --- remove -------------------------------------------------------------------
"${sudo[@]}" dpkg -r vorsel >/dev/null
"${sudo[@]}" dpkg --purge vorsel >/dev/null 2>&1 || true
installed=""
if dpkg-query -W -f='${db:Status-Status}' vorsel 2>/dev/null | grep -qv '^not-installed$'; then
  die "dpkg still knows vorsel after the purge: $(dpkg-query -W -f='${db:Status-Abbrev}' vorsel)"
fi
[ -e /opt/Vorsel.app ] && die "/opt/Vorsel.app is still there"
while IFS= read -r path; do
  [ -e "$path" ] || continue
  if [ ! -d "$path" ]; then die "$path is still there"; fi
  # A folder may stay when it is not empty or another package has it too.
  if [ -z "$(ls -A "$path")" ] && ! dpkg-query -S "$path" >/dev/null 2>&1; then
    die "the empty folder $path is still there"
  fi
done <"$work/listed"
say "removed and purged: nothing of it is left"
