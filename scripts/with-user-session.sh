#!/usr/bin/env bash
# Runs a command in a real desktop-like user session of the throwaway test
# user: a systemd user manager (with its socket-activated session bus), a
# systemd-journald, and the command inside the manager's cgroup tree, in a
# transient scope of its own as a terminal's command would be. Nothing
# outside a private mount namespace sees any of it: there /run/systemd,
# /run/log, /run/user and /var/log/journal are fresh tmpfs mounts (an empty
# /run/systemd/system makes systemd believe the machine was booted with it),
# and the user gets delegated cgroups "vorsel-session-<pid>.slice/user@<uid>.service",
# named the way the journal recognises a user manager's units.
#
# Afterwards the manager is stopped, every process left in the session's
# cgroups is killed by pid, the cgroups and the session's home are removed,
# and the namespace goes with its last process.
#
# Exit status: the command's; 77 (with the reason) when this machine cannot
# run a session: not root, systemd or dbus-user-session missing, no cgroup
# hierarchy to delegate, no mount namespaces. With VORSEL_SESSION_REQUIRED=1
# (CI) that is a failure instead.
#
# The command sees HOME (a fresh folder), XDG_DATA_HOME (in it: the session
# bus takes its home from the user database, where the test user's is
# /nonexistent, so the manager, the bus and the command are told where it is),
# XDG_RUNTIME_DIR, DBUS_SESSION_BUS_ADDRESS (the manager's bus),
# VORSEL_USER_SESSION (the session's slice) and the variables
# tests/as-test-user.sh passes on. It runs
# with the systemd-journal group added, so that journalctl reads what the
# session logged: the test user is a system user, whose entries the journal
# keeps in its system file rather than in a file of the user's own.
#
# Usage: scripts/with-user-session.sh [--check] [--] COMMAND [ARGS...]
#   --check   only tell whether this machine can run a session (0 or 77)
# The user is $VORSEL_TEST_USER (default vorsel-test), made if missing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
user=${VORSEL_TEST_USER:-vorsel-test}
manager=/lib/systemd/systemd
journald=/lib/systemd/systemd-journald

skip() {
  echo "with-user-session: skipped: $*" >&2
  [ "${VORSEL_SESSION_REQUIRED:-}" = 1 ] && { echo "with-user-session: a session is required here" >&2; exit 1; }
  exit 77
}

# The cgroup hierarchies a user manager needs: the named "systemd" one and
# the unified one on a hybrid layout, or the unified one alone.
hierarchies() {
  if [ -f /sys/fs/cgroup/cgroup.controllers ]; then
    echo /sys/fs/cgroup
  elif [ -f /sys/fs/cgroup/systemd/cgroup.procs ]; then
    echo /sys/fs/cgroup/systemd
    [ -f /sys/fs/cgroup/unified/cgroup.procs ] && echo /sys/fs/cgroup/unified
  fi
  return 0
}

# Kills every process in the cgroup trees given, by pid, until none is left,
# then removes the trees bottom up.
clear_cgroups() {
  local tree pids round
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    pids=$(for tree in "$@"; do
             [ -d "$tree" ] && find "$tree" -name cgroup.procs -exec cat {} + 2>/dev/null
           done | sort -u) || true
    [ -n "$pids" ] || break
    kill -KILL $pids 2>/dev/null || true
    sleep 0.1
  done
  for tree in "$@"; do
    [ -d "$tree" ] && find "$tree" -depth -type d -exec rmdir {} + 2>/dev/null || true
  done
}

# Sessions whose harness died (a test run killed on timeout) leave their
# cgroups behind: the harness's pid is in the slice's name.
clear_abandoned() {
  local base slice pid
  for base in $(hierarchies); do
    for slice in "$base"/vorsel-session-*.slice; do
      [ -d "$slice" ] || continue
      pid=${slice##*/vorsel-session-}; pid=${pid%.slice}
      kill -0 "$pid" 2>/dev/null && continue
      clear_cgroups "$slice"
    done
  done
}

as_user() {  # as_user GROUPS COMMAND...: the user, the session's environment
  local groups=$1; shift
  setpriv --reuid="$uid" --regid="$gid" --groups="$groups" -- \
    env -i PATH=/usr/local/bin:/usr/bin:/bin HOME="$home" XDG_DATA_HOME="$home/.local/share" \
    USER="$user" LOGNAME="$user" LANG=C.UTF-8 XDG_RUNTIME_DIR="$runtime" "$@"
}

# Moves the calling shell into the session's own cgroup in every hierarchy.
enter_session_cgroup() {
  local base
  for base in $(hierarchies); do echo "$BASHPID" >"$base/$cgroup/cgroup.procs"; done
}

inside() {  # runs in the private mount namespace, as root
  journal_gid=$(getent group systemd-journal | cut -d: -f3) || journal_gid=
  mount -t tmpfs -o mode=0755,nosuid,nodev tmpfs /run/systemd
  mkdir /run/systemd/system
  mount -t tmpfs -o mode=0755,nosuid,nodev tmpfs /run/log
  # journald writes here until asked to flush to /var/log/journal; readable by
  # the systemd-journal group, as systemd-tmpfiles makes it on a real system.
  install -d -m 2755 -g "${journal_gid:-0}" /run/log/journal
  mount -t tmpfs -o mode=0755,nosuid,nodev tmpfs /run/user
  # Where journald would keep its files on disk: the session's stay in memory,
  # readable by the systemd-journal group as on a real system.
  if [ -d /var/log/journal ]; then
    mount -t tmpfs -o "mode=2755,nosuid,nodev${journal_gid:+,gid=$journal_gid}" tmpfs /var/log/journal
  fi
  install -d -m 0700 -o "$uid" -g "$gid" "$runtime"

  "$journald" </dev/null >/dev/null 2>&1 &
  local journald_pid=$!
  local waited
  for waited in $(seq 100); do [ -S /run/systemd/journal/socket ] && break; sleep 0.05; done

  (enter_session_cgroup; exec setpriv --reuid="$uid" --regid="$gid" --init-groups -- \
    env -i PATH=/usr/local/bin:/usr/bin:/bin HOME="$home" XDG_DATA_HOME="$home/.local/share" \
    USER="$user" LOGNAME="$user" LANG=C.UTF-8 XDG_RUNTIME_DIR="$runtime" \
    "$manager" --user --log-target=journal \
    </dev/null >/dev/null 2>"$home/.manager.log") &
  local manager_pid=$!

  local state=
  for waited in $(seq 200); do
    state=$(as_user "$gid" systemctl --user is-system-running 2>/dev/null) || true
    case "$state" in running | degraded) break ;; esac
    kill -0 "$manager_pid" 2>/dev/null || break
    sleep 0.1
  done
  local status=0
  case "$state" in
    running | degraded)
      local groups
      groups=$(id -G "$user" | tr ' ' ',')${journal_gid:+,$journal_gid}
      # A terminal's command in a desktop runs in a scope of the manager's;
      # systemd-run may only move us there from inside the manager's tree.
      (enter_session_cgroup; exec setpriv --reuid="$uid" --regid="$gid" --groups="$groups" -- \
        env -i "${passed[@]}" systemd-run --user --scope --quiet --collect -- "$@") || status=$?
      ;;
    *)
      echo "with-user-session: the user manager did not come up (state: ${state:-none})" >&2
      cat "$home/.manager.log" >&2 2>/dev/null || true
      status=1
      ;;
  esac

  kill -TERM "$manager_pid" 2>/dev/null || true
  for _ in $(seq 100); do kill -0 "$manager_pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$manager_pid" 2>/dev/null || true
  wait "$manager_pid" 2>/dev/null || true
  local trees=() base
  for base in $(hierarchies); do trees+=("$base/$slice"); done
  clear_cgroups "${trees[@]}"
  kill -TERM "$journald_pid" 2>/dev/null || true
  wait "$journald_pid" 2>/dev/null || true
  return $status
}

check_only=0
if [ "${1:-}" = --inside ]; then
  shift
  uid=$1 gid=$2 home=$3 slice=$4; shift 4
  runtime=/run/user/$uid
  cgroup=$slice/user@$uid.service
  passed=()
  while [ "$1" != -- ]; do passed+=("$1"); shift; done
  shift
  inside "$@"
  exit $?
fi
[ "${1:-}" = --check ] && { check_only=1; shift; }
[ "${1:-}" = -- ] && shift
[ $check_only = 1 ] || [ $# -gt 0 ] || { echo "usage: $0 [--check] [--] COMMAND [ARGS...]" >&2; exit 2; }

[ "$(id -u)" -eq 0 ] || skip "needs root, to mount a private /run and delegate cgroups"
[ -x "$manager" ] && [ -x "$journald" ] || skip "systemd is not installed (scripts/setup.sh installs it)"
[ -f /usr/lib/systemd/user/dbus.socket ] || skip "dbus-user-session is not installed (scripts/setup.sh installs it)"
for tool in unshare setpriv systemd-run systemctl journalctl; do
  command -v "$tool" >/dev/null || skip "$tool is missing"
done
[ -n "$(hierarchies)" ] || skip "no cgroup hierarchy a user manager could use under /sys/fs/cgroup"
unshare -m --propagation private true 2>/dev/null || skip "mount namespaces are not available"
slice=vorsel-session-$$.slice
for base in $(hierarchies); do
  mkdir -p "$base/$slice" 2>/dev/null || { clear_cgroups "$base/$slice"; skip "no cgroup can be made in $base"; }
done
if [ $check_only = 1 ]; then
  for base in $(hierarchies); do rmdir "$base/$slice"; done
  exit 0
fi

made=()
for base in $(hierarchies); do made+=("$base/$slice"); done
program=$1
[ "${program#*/}" != "$program" ] || program=$(command -v "$program" || echo /)
"$here/../tests/test-user.sh" ensure "$user" "$here/.." "$(dirname "$(realpath -m "$program")")" ||
  { clear_cgroups "${made[@]}"; exit 1; }
uid=$(id -u "$user")
gid=$(id -g "$user")
clear_abandoned
home=$(mktemp -d /tmp/vorsel-session-home.XXXXXX)
chown "$uid:$gid" "$home"
chmod 0700 "$home"
trees=()
for base in $(hierarchies); do
  mkdir -p "$base/$slice/user@$uid.service"
  chown -R "$uid:$gid" "$base/$slice/user@$uid.service"
  trees+=("$base/$slice")
done
cleanup() { clear_cgroups "${trees[@]}"; rm -rf "$home"; }
trap cleanup EXIT

passed=(PATH=/usr/local/bin:/usr/bin:/bin HOME="$home" XDG_DATA_HOME="$home/.local/share"
        USER="$user" LOGNAME="$user" LANG=C.UTF-8
        TMPDIR=/tmp XDG_RUNTIME_DIR="/run/user/$uid" DBUS_SESSION_BUS_ADDRESS="unix:path=/run/user/$uid/bus"
        QT_QPA_PLATFORM=offscreen VORSEL_TEST_USER="$user" VORSEL_USER_SESSION="$slice")
for name in GTEST_FILTER ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS VORSEL_BENCH_LAUNCHES VORSEL_SETUP_REQUIRED; do
  [ -n "${!name:-}" ] && passed+=("$name=${!name}")
done

status=0
unshare -m --propagation private "$0" --inside "$uid" "$gid" "$home" "$slice" "${passed[@]}" -- "$@" || status=$?
exit $status
