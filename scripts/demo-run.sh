#!/usr/bin/env bash
# The end-to-end demo, on a built tree: a throwaway certificate authority,
# the built Vorsel.app and a signed stand-in for the main app, and real
# processes that get quit and killed, either in the real user session it runs
# in (VORSEL_USER_SESSION set by scripts/with-user-session.sh: a systemd user
# manager, its session bus and a journal) or on a private session bus of its
# own. Narrates each step with the agent's own log lines, checks what really
# happened, and exits 0 only when every step did what it should.
#
# Usage: scripts/demo-run.sh BUILD-FOLDER WORK-FOLDER
# Run it through scripts/demo.sh, which builds first and, as root, runs this
# as a throwaway user (it quits apps of the user that runs it, so it must
# never run as a user with apps of their own open under --all-but rules).
set -uo pipefail

build=$(cd "$1" && pwd)
work=$2
source_dir=$(cd "$(dirname "$0")/.." && pwd)
started=$(date +%s)

bold=$'\e[1m'; dim=$'\e[2m'; green=$'\e[32m'; red=$'\e[31m'; plain=$'\e[0m'
[ -t 1 ] || { bold=; dim=; green=; red=; plain=; }

results=()
failed=0
step() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }
note() { printf '   %s\n' "$*"; }
check() {  # check "what" command...
  local what=$1; shift
  if "$@"; then results+=("${green}ok${plain}    $what"); printf '   %s✓ %s%s\n' "$green" "$what" "$plain"
  else results+=("${red}FAIL${plain}  $what"); printf '   %s✗ %s%s\n' "$red" "$what" "$plain"; failed=1; fi
}

# --- the world -------------------------------------------------------------
apps=$work/apps
session=${VORSEL_USER_SESSION:-}
export QT_QPA_PLATFORM=offscreen
if [ -n "$session" ]; then
  # The session's own folders: the manager, its bus and the agent it starts
  # all read them.
  data=$XDG_DATA_HOME
else
  data=$work/data
  export HOME=$work/home XDG_DATA_HOME=$data XDG_RUNTIME_DIR=$work/run
  mkdir -p "$HOME" "$XDG_RUNTIME_DIR"; chmod 700 "$XDG_RUNTIME_DIR"
fi
mkdir -p "$apps" "$data/dbus-1/services" "$work/bus" "$work/ca" "$work/shots"
agent_log=$work/agent.log
: >"$agent_log"

pids_to_kill=()
cleanup() {
  # Everything this demo started runs from inside $work; end all of it.
  kill "${pids_to_kill[@]}" 2>/dev/null
  for exe in /proc/[0-9]*/exe; do
    target=$(readlink "$exe" 2>/dev/null) || continue
    case "$target" in "$work"/*) pid=${exe#/proc/}; kill -9 "${pid%/exe}" 2>/dev/null ;; esac
  done
}
trap cleanup EXIT

team=$(sed -n '/<key>OWTeam<\/key>/{n;s/.*<string>\(.*\)<\/string>.*/\1/p}' \
  "$build/Vorsel.app/Contents/Info.plist")

if [ -n "$session" ]; then
  step "Setting up: a throwaway authority, the bundles, in a real user session"
else
  step "Setting up: a throwaway authority, the bundles, a private session bus"
fi
"$source_dir/scripts/throwaway-ca.sh" "$work/ca" "$team" >/dev/null || exit 1
cp -a "$build/Vorsel.app" "$apps/Vorsel.app"
cp "$work/ca/root.pem" "$apps/Vorsel.app/Contents/Resources/anchors.pem"
cp -a "$build/Ordwyn.app" "$apps/Ordwyn.app"
"$build/tools/codesign/codesign" --sign --cert "$work/ca/leaf.pem" --key "$work/ca/leaf.key" \
  --identifier com.ordwyn.app --entitlements "$work/ca/entitlements.json" "$apps/Ordwyn.app" \
  || exit 1
note "Vorsel.app at $apps/Vorsel.app, trusting only the throwaway authority"
note "Ordwyn.app (the stand-in main app) signed by that authority"

# Throwaway apps: bundles whose executable is a copy of sleep(1).
make_app() {  # make_app Name identifier
  local bundle=$apps/$1.app
  mkdir -p "$bundle/Contents/Linux"
  cp "$(command -v sleep)" "$bundle/Contents/Linux/$1"
  cat >"$bundle/Contents/Info.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>$2</string>
<key>CFBundleExecutable</key><string>$1</string>
</dict></plist>
PLIST
}
make_app Chat com.example.chat
make_app Game com.example.game
# A browser identifier from the fixed set that no Linux app carries, so the
# demo can never ask a browser of yours to quit.
make_app Browser com.apple.Safari

unit=com.ordwyn.guard.agent.service
if [ -n "$session" ]; then
  note "systemd user manager: $(systemctl --user is-system-running); its session bus at $DBUS_SESSION_BUS_ADDRESS"
  note "the agent logs to the journal: journalctl -t com.ordwyn.guard"
else
  sed -e "s|@LISTEN_DIR@|$work/bus|" -e "s|@SERVICE_DIR@|$data/dbus-1/services|" \
    "$source_dir/tests/e2e/session.conf.in" >"$work/bus/session.conf"
  # Activated agents inherit the bus's standard error: that is their log here.
  dbus-daemon --config-file="$work/bus/session.conf" --nofork --print-address=3 \
    3>"$work/bus/address" 2>>"$agent_log" >/dev/null &
  pids_to_kill+=($!)
  for _ in $(seq 100); do [ -s "$work/bus/address" ] && break; sleep 0.05; done
  export DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$work/bus/address")
  note "private session bus at $DBUS_SESSION_BUS_ADDRESS"
fi

ordwyn=$apps/Ordwyn.app/Contents/Linux/ordwyn
guardctl() { "$build/tools/guardctl/guardctl" --bundle "$apps/Vorsel.app" "$@" 2>/dev/null; }
seen=0
agent_says() {  # prints the agent's log lines written since the last call
  local lines
  if [ -n "$session" ]; then
    # What the journal has received since the last look, as a user reads it.
    lines=$(journalctl -t com.ordwyn.guard -o short --no-pager --no-hostname \
      --cursor-file="$work/journal.cursor" 2>/dev/null | grep -v '^-- ')
    [ -n "$lines" ] && printf '%s\n' "$lines" | sed "s/^/   ${dim}journal│${plain} /"
    return 0
  fi
  lines=$(tail -n +"$((seen + 1))" "$agent_log" | grep -a ' Guard: ')
  seen=$(wc -l <"$agent_log")
  [ -n "$lines" ] && printf '%s\n' "$lines" | sed "s/^/   ${dim}agent│${plain} /"
  [ -e /run/systemd/journal/socket ] && [ -z "$lines" ] && \
    note "${dim}(this machine has a journal: journalctl -t com.ordwyn.guard shows the agent's lines)${plain}"
  return 0
}
agent_pid() { pgrep -u "$(id -u)" -f "^$apps/Vorsel.app/Contents/Linux/vorsel --agent" | head -n1; }
name_owned() {
  dbus-send --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner \
    "string:$bus_name" 2>/dev/null | grep -q 'boolean true'
}
alive() { [ -n "$1" ] && kill -0 "$1" 2>/dev/null && ! grep -q '^State:.*Z' "/proc/$1/status" 2>/dev/null; }
gone() { [ -n "$1" ] && ! alive "$1"; }
wait_for() {  # wait_for SECONDS command...
  local until=$(( $(date +%s%N) + ${1%.*} * 1000000000 )); shift
  while [ "$(date +%s%N)" -lt "$until" ]; do "$@" && return 0; sleep 0.1; done
  "$@"
}
now2001() { echo $(( $(date +%s) - 978307200 )); }
launch() {  # launch Name [ignore-term]
  if [ "${2:-}" = ignore-term ]; then
    bash -c "trap '' TERM; exec '$apps/$1.app/Contents/Linux/$1' 100000" </dev/null >/dev/null 2>&1 &
  else
    "$apps/$1.app/Contents/Linux/$1" 100000 </dev/null >/dev/null 2>&1 &
  fi
  echo $!
}

# --- 1. turning Vorsel on --------------------------------------------------
step "1. Turning Vorsel on, as the window's \"Turn on\" does"
note "before: the window says $(guardctl state)"
guardctl press | sed 's/^/   window│ /'
activation=$(ls "$data/dbus-1/services/"*.service 2>/dev/null | head -n1)
check "the activation file is written" test -n "$activation"
bus_name=$(sed -n 's/^Name=//p' "$activation" 2>/dev/null)
[ -n "$activation" ] && sed 's/^/   file│ /' "$activation"
if [ -n "$session" ]; then
  check "the user unit is written and the manager has loaded it" \
    test "$(systemctl --user show -p LoadState --value $unit)" = loaded
  sed 's/^/   unit│ /' "$data/systemd/user/$unit" 2>/dev/null
fi

# --- 2. a session that closes apps -----------------------------------------
step "2. The stand-in hands over a session that closes Chat, Game and a browser"
chat=$(launch Chat); game=$(launch Game ignore-term); browser=$(launch Browser ignore-term)
note "Chat (pid $chat) quits when asked; Game (pid $game) ignores SIGTERM;"
note "Browser (pid $browser, a browser identifier) ignores SIGTERM too, but browsers are only ever asked"
sleep 0.3
t0=$(date +%s%N)
"$ordwyn" session --close com.example.chat --close com.example.game --close com.apple.Safari \
  --until $(( $(now2001) + 12 )) | sed 's/^/   reply│ /'
check "the call started the agent (pid $(agent_pid))" test -n "$(agent_pid)"
if [ -n "$session" ]; then
  check "it runs as the user unit $unit" \
    test "$(systemctl --user show -p MainPID --value $unit)" = "$(agent_pid)"
  systemctl --user status --no-pager --lines=0 $unit 2>/dev/null | sed 's/^/   systemctl│ /'
fi
wait_for 2 gone "$chat"
check "Chat quit at the polite request" gone "$chat"
alive "$game" && note "Game is still running after the polite request…"
wait_for 8 gone "$game"
t1=$(date +%s%N)
check "Game was killed, $(( (t1 - t0) / 1000000 )) ms after the hand-over (no sooner than 3 s)" \
  test "$(gone "$game" && echo y)" = y -a $(( (t1 - t0) / 1000000 )) -ge 3000
sleep 1
check "the browser is still running: only asked, never killed" alive "$browser"
agent_says
kill -9 "$browser" 2>/dev/null

# --- 3. a Hardcore session ---------------------------------------------------
step "3. A Hardcore session: the stand-in asks to be kept open"
"$ordwyn" </dev/null >/dev/null 2>&1 &
app=$!
note "Ordwyn is running (pid $app)"
"$ordwyn" session --close com.example.game --hardcore --until $(( $(now2001) + 25 )) \
  | sed 's/^/   reply│ /'
memory=$data/com.ordwyn.guard/guard.json
check "the Hardcore session's rules are in the memory file" test -s "$memory"
note "killing Ordwyn (pid $app)…"
kill -9 "$app"; wait "$app" 2>/dev/null
ordwyn_pid() { pgrep -u "$(id -u)" -xf "$ordwyn" | head -n1; }
wait_for 4 test -n "$(ordwyn_pid)"
check "Ordwyn came back (pid $(ordwyn_pid))" test -n "$(ordwyn_pid)"
if [ -n "$session" ]; then
  wait_for 3 grep -q 'app-vorsel-' "/proc/$(ordwyn_pid)/cgroup"
  check "in a scope of its own, outside the agent's unit" grep -q 'app-vorsel-' "/proc/$(ordwyn_pid)/cgroup"
  systemctl --user list-units --no-pager --no-legend 'app-vorsel-*' | sed 's/^/   systemctl│ /'
fi
agent_says

# --- 4. the agent killed -----------------------------------------------------
step "4. The agent is killed; the next call starts it again with the session restored"
old=$(agent_pid)
kill -9 "$old"
wait_for 3 gone "$old"
# The bus drops a dead agent's name a moment after the process ends.
wait_for 3 eval '! name_owned'
note "agent (pid $old) killed"
reply=$("$ordwyn" held)
printf '   reply│ %s\n' "$reply"
check "a new agent (pid $(agent_pid)) answered" test -n "$(agent_pid)" -a "$(agent_pid)" != "$old"
check "it restored the Hardcore session from its memory file" grep -q '"keepOpen"' <<<"$reply"
agent_says

# --- 5. turning off refused ----------------------------------------------------
step "5. Turning Vorsel off during the Hardcore session"
guardctl shot "$work/shots/hardcore.png" press shot "$work/shots/refused.png" \
  | tee "$work/off.txt" | sed 's/^/   window│ /'
check "turning off is refused while the session runs" \
  grep -q 'notice: A Hardcore session is running. Vorsel can be turned off when it ends.' "$work/off.txt"
check "the registration stays" test -e "$activation"

# --- 6. the end ---------------------------------------------------------------
step "6. The session ends; the agent leaves 20 s after"
ending=$(( $(sed 's/.*"until":\([0-9.e+-]*\).*/\1/' "$memory" | cut -d. -f1) - $(now2001) ))
note "waiting ${ending}s for the session to end, then 20 s for the agent to leave…"
pid=$(agent_pid)
wait_for $(( ending + 5 )) test ! -e "$memory"
check "the memory file is gone when nothing holds" test ! -e "$memory"
wait_for 25 gone "$pid"
check "the agent left (pid $pid)" gone "$pid"
if [ -n "$session" ]; then
  wait_for 3 test "$(systemctl --user show -p ActiveState --value $unit)" = inactive
  left=$(systemctl --user show -p ActiveState -p Result -p NRestarts $unit | sort | tr '\n' ' ')
  check "its unit is inactive, not failed, and not restarted ($left)" \
    test "$left" = "ActiveState=inactive NRestarts=0 Result=success "
fi
agent_says
guardctl press | sed 's/^/   window│ /'
check "now Vorsel turns off" test -z "$(ls "$data/dbus-1/services/" 2>/dev/null)"

# --- summary ------------------------------------------------------------------
if [ -n "$session" ]; then
  step "Summary, in a real user session ($(( $(date +%s) - started )) s)"
else
  step "Summary, on a private session bus ($(( $(date +%s) - started )) s)"
fi
printf '   %s\n' "${results[@]}"
note "window pictures: hardcore.png (before pressing) and refused.png (after)"
exit $failed
