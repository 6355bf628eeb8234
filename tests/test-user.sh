#!/usr/bin/env bash
# Creates or removes the throwaway unprivileged user that tests run as when
# started as root (tests/as-test-user.sh). Creating is idempotent and
# serialised through a lock, so that test binaries started in parallel, or two
# suites on one machine, never race useradd for the same name. As any other
# user it does nothing: tests then run as that user.
#
# Usage: tests/test-user.sh ensure|remove [NAME]   (default: $VORSEL_TEST_USER, else vorsel-test)
set -euo pipefail
action=${1:?usage: $0 ensure|remove [NAME]}
user=${2:-${VORSEL_TEST_USER:-vorsel-test}}
case "$user" in
  vorsel-test | vorsel-test-[a-z0-9]*) ;;
  *) echo "$0: refusing to touch user '$user': not a throwaway test user" >&2; exit 2 ;;
esac
[ "$(id -u)" -eq 0 ] || exit 0

exec 9>/run/lock/vorsel-test-users.lock
flock 9

case "$action" in
  ensure)
    # X servers of unprivileged users put their sockets here, and only root
    # may make it as it must be.
    [ -d /tmp/.X11-unix ] || install -d -m 1777 -o root -g root /tmp/.X11-unix
    id -u "$user" >/dev/null 2>&1 && exit 0
    useradd --system --user-group --no-create-home --home-dir /nonexistent \
            --shell /usr/sbin/nologin "$user"
    ;;
  remove)
    uid=$(id -u "$user" 2>/dev/null) || exit 0
    # Whatever a test left running as that user goes first, by pid.
    for _ in 1 2 3; do
      pids=$(ps -e -o pid= -o uid= | awk -v uid="$uid" '$2 == uid {print $1}')
      [ -n "$pids" ] || break
      kill -KILL $pids 2>/dev/null || true
      sleep 0.2
    done
    userdel "$user" 2>/dev/null || true
    ;;
  *) echo "usage: $0 ensure|remove [NAME]" >&2; exit 2 ;;
esac
