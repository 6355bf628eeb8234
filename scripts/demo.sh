#!/usr/bin/env bash
# Vorsel's main job, end to end, in one command: installs what is needed,
# builds, and runs the demo (scripts/demo-run.sh) in a real user session of a
# throwaway user when the machine can run one (as root: scripts/with-user-session.sh),
# else on a private session bus. As root it runs the demo as a throwaway
# user, because the demo quits apps of the user it runs as. The window's
# pictures are kept in build/demo/.
#
# Usage: scripts/demo.sh [build-folder]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

scripts/setup.sh
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target vorsel standin codesign guardctl

# /opt is the Linux Applications folder: a bundle there shows "on" in the
# window. Use a throwaway folder there when we may, else one under /tmp.
if [ -w /opt ]; then work=$(mktemp -d /opt/vorsel-demo.XXXXXX); else work=$(mktemp -d /tmp/vorsel-demo.XXXXXX); fi
chmod 0777 "$work"
trap 'rm -rf "$work"' EXIT

# In a real user session (a systemd user manager, its bus, a journal) where
# this machine can run one, else on a private session bus.
if why=$(scripts/with-user-session.sh --check 2>&1); then
  echo "demo: in a real user session (scripts/with-user-session.sh)"
  runner=(scripts/with-user-session.sh)
else
  echo "demo: on a private session bus; no real user session here (${why#with-user-session: })"
  runner=(tests/as-test-user.sh)
fi
status=0
"${runner[@]}" "$PWD/scripts/demo-run.sh" "$PWD/$build" "$work" || status=$?
mkdir -p "$build/demo"
cp "$work"/shots/*.png "$build/demo/" 2>/dev/null && echo "   window pictures kept in $build/demo/"
exit $status
