#!/usr/bin/env bash
# Runs a test command as a throwaway unprivileged user when started as root, so
# that tests which signal processes or talk on a bus can never reach anything
# outside what they started themselves. As any other user, runs it as it is.
#
# The user is $VORSEL_TEST_USER (each build tree's CTest sets its own, so two
# suites on one machine never share one), else vorsel-test; it is made on
# first use (tests/test-user.sh).
#
# Usage: tests/as-test-user.sh COMMAND [ARGS...]
set -euo pipefail
user=${VORSEL_TEST_USER:-vorsel-test}

if [ "$(id -u)" -ne 0 ]; then
  exec "$@"
fi

program=$1
[ "${program#*/}" != "$program" ] || program=$(command -v "$program")
"$(dirname "$0")/test-user.sh" ensure "$user" "$(dirname "$(realpath -m "$program")")"
uid=$(id -u "$user")
gid=$(id -g "$user")
home=$(mktemp -d /tmp/vorsel-test-home.XXXXXX)
chown "$user:$user" "$home"
trap 'rm -rf "$home"' EXIT

# A clean environment: the test user's own home, no session bus, no display.
env -i PATH="$PATH" HOME="$home" USER="$user" LOGNAME="$user" LANG=C.UTF-8 \
    TMPDIR=/tmp QT_QPA_PLATFORM=offscreen VORSEL_TEST_USER="$user" ${GTEST_FILTER:+GTEST_FILTER="$GTEST_FILTER"} \
    ${VORSEL_LOAD_SECONDS:+VORSEL_LOAD_SECONDS="$VORSEL_LOAD_SECONDS"} \
    ${VORSEL_SETUP_REQUIRED:+VORSEL_SETUP_REQUIRED="$VORSEL_SETUP_REQUIRED"} \
    ${ASAN_OPTIONS:+ASAN_OPTIONS="$ASAN_OPTIONS"} ${UBSAN_OPTIONS:+UBSAN_OPTIONS="$UBSAN_OPTIONS"} \
    ${LSAN_OPTIONS:+LSAN_OPTIONS="$LSAN_OPTIONS"} \
    ${VORSEL_TEST_LINK_FLAGS:+VORSEL_TEST_LINK_FLAGS="$VORSEL_TEST_LINK_FLAGS"} \
    setpriv --reuid="$uid" --regid="$gid" --init-groups -- "$@"
