#!/usr/bin/env bash
# Installs every Debian 12 package that building, testing and running Vorsel needs.
# Runs as root, or through sudo otherwise. Safe to run again.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config clang-format
  # libraries
  qt6-base-dev qt6-svg-dev libssl-dev libplist-dev libsystemd-dev
  nlohmann-json3-dev
  # tests and the demo
  libgtest-dev libgmock-dev libbenchmark-dev dbus-daemon dbus-bin desktop-file-utils openssl
  procps passwd util-linux
  # the Python example of docs/link.md, run against the agent
  python3
  # a real user session for tests and the demo (scripts/with-user-session.sh)
  systemd dbus-user-session
  # a throwaway X11 desktop for tests with real windows
  xvfb openbox libxcb1-dev x11-utils
  # X11 windows: close requests and minimising (libxcb-ewmh, libxcb-icccm)
  libxcb-ewmh-dev libxcb-icccm4-dev
  # Wayland: the wlroots compositors' windows (libwayland-client and its
  # scanner), the window drawn natively (qt6-wayland), and a headless sway
  # with XWayland for tests with Wayland windows, and typing into them (wtype)
  libwayland-dev qt6-wayland sway xwayland wtype
  # real desktop apps, the ways a desktop starts them, and typing into them
  # (tests/e2e/desktop)
  mousepad xterm galculator gnome-text-editor firefox-esr chromium libgtk-3-bin libglib2.0-bin xdotool
  # headless Wayland desktops whose windows the agent reaches over the session
  # bus (tests/support/HeadlessCompositor.h), with XWayland for X11 apps
  gnome-shell kwin-wayland xwayland
  # the Debian package check: judging it, and closing its window as a user would
  lintian file wmctrl
  # fuzzing and sanitizers
  clang libclang-rt-14-dev
)

if [ "$(id -u)" -eq 0 ]; then sudo=(); else sudo=(sudo); fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
