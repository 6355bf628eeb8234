#!/usr/bin/env bash
# Creates or removes the throwaway unprivileged user that tests run as when
# started as root (tests/as-test-user.sh). Creating is idempotent and
# serialised through a lock, so that test binaries started in parallel, or two
# suites on one machine, never race useradd for the same name. As any other
# user it does nothing: tests then run as that user.
#
# `ensure` also checks that the user may enter each FOLDER given (the build
# and source trees): a clone under root's own 0700 home cannot be reached by
# any other user, and every test run as that user would fail obscurely.
#
# Usage: tests/test-user.sh ensure|remove [NAME [FOLDER...]]
#        (NAME defaults to $VORSEL_TEST_USER, else vorsel-test)
set -euo pipefail
action=${1:?usage: $0 ensure|remove [NAME]}
user=${2:-${VORSEL_TEST_USER:-vorsel-test}}
shift $(($# < 2 ? $# : 2))
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
    id -u "$user" >/dev/null 2>&1 ||
      useradd --system --user-group --no-create-home --home-dir /nonexistent \
              --shell /usr/sbin/nologin "$user"
    for folder in "$@"; do
      setpriv --reuid="$user" --regid="$user" --clear-groups test -x "$folder" && continue
      # Name the first folder on the way that keeps the user out.
      blocking=$folder
      part=/
      for piece in $(realpath -m "$folder" | tr / ' '); do
        part=${part%/}/$piece
        if ! setpriv --reuid="$user" --regid="$user" --clear-groups test -x "$part"; then
          blocking=$part
          break
        fi
      done
      echo "$0: the throwaway test user $user cannot enter $blocking ($(stat -c %A "$blocking" 2>/dev/null)), so it cannot reach $folder." >&2
      echo "Clone and build where other users may enter (for example under /srv), or run the tests as an ordinary user." >&2
      exit 1
    done
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
