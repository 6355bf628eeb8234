#!/usr/bin/env bash
# Installing writes nothing outside DESTDIR, and a user installs into
# $HOME/.local/opt, desktop entry in $HOME/.local/share included, without
# root. Each install runs in a mount namespace of its own where every file
# system is read-only but the folders it may write, so that a stray write
# fails the install instead of passing unseen.
# Usage: InstallTest.sh BUILD_DIR   (as root, VORSEL_TEST_USER runs the user's install)
set -uo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
manifest=$build/install_manifest.txt
work=$(mktemp -d /tmp/vorsel-install.XXXXXX)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
failures=0
pass() { echo "ok: $*"; }
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

if [ "$(id -u)" -eq 0 ]; then ns=(unshare --mount --propagation private)
else ns=(unshare --map-root-user --mount --propagation private); fi
if ! "${ns[@]}" true 2>/dev/null; then
  echo "skipped: no mount namespace can be made here"
  exit 77
fi
# cmake writes its manifest into the build tree; each install writes to a
# file of its own mounted over it, so the build tree itself stays untouched.
[ -e "$manifest" ] || : >"$manifest"

# Makes every mount read-only but the given paths, each of which becomes a
# writable mount of its own.
seal() {
  local keep target options
  for keep in "$@"; do mount --bind "$keep" "$keep" || return 1; done
  while read -r target options; do
    target=$(printf '%b' "$target")
    for keep in "$@"; do [ "$target" = "$keep" ] && continue 2; done
    [[ ,$options, == *,ro,* ]] && continue
    # Flags that a user namespace locks must be repeated, or the kernel refuses.
    options=$(tr , '\n' <<<"$options" | grep -vx rw | paste -sd, -)
    mount -o "remount,bind,ro${options:+,$options}" "$target" 2>/dev/null
  done < <(findmnt -rn -o TARGET,VFS-OPTIONS)
  return 0
}

# sealed WRITABLE COMMAND...: runs COMMAND in a namespace of its own where
# only WRITABLE and the manifest can be written, after checking that the
# seal holds where a stray write would go.
sealed() {
  # shellcheck disable=SC2016
  local inner='
    set -e
    mount --bind "$4" "$2"
    seal "$1" "$2"
    for probe in /.vorsel-probe /tmp/.vorsel-probe "$3/.vorsel-probe"; do
      if touch "$probe" 2>/dev/null; then rm -f "$probe"; echo "the seal let $probe through"; exit 3; fi
    done
    shift 4
    exec "$@"'
  "${ns[@]}" bash -c "$(declare -f seal)$inner" _ "$1" "$manifest" "$build" "$work/manifest" "${@:2}"
}

# What an install wrote: every file and link below $1, as it will be seen
# once installed (below $2).
written() {
  (cd "$1" && find . \( -type f -o -type l \) -printf '%P\n') | while IFS= read -r file; do
    printf '%s/%s\n' "$2" "$file"
  done | sort
}

# Every file an install makes: the bundle in $1, the rest in the share folder
# $2, the link's client library beside it.
expected_files() {
  printf '%s\n' "$1/Vorsel.app/Contents/Info.plist" \
    "$1/Vorsel.app/Contents/Library/LaunchAgents/guard-agent.plist" \
    "$1/Vorsel.app/Contents/Linux/vorsel" "$1/Vorsel.app/Contents/Linux/vorsel-app.so" \
    "$1/Vorsel.app/Contents/Linux/vorsel-signing.so" "$1/Vorsel.app/Contents/Linux/vorsel-x11.so" \
    "$1/Vorsel.app/Contents/Linux/vorsel-wayland.so" \
    "$1/Vorsel.app/Contents/Linux/vorsel-gnome.so" "$1/Vorsel.app/Contents/Linux/vorsel-kwin.so" \
    "$1/Vorsel.app/Contents/Resources/anchors.pem" "$1/Vorsel.app/Contents/Resources/vorsel.svg" \
    "$2/applications/vorsel.desktop" "$2/dbus-1/interfaces/com.ordwyn.GuardLink.xml" \
    "$2/doc/vorsel/changelog.gz" "$2/doc/vorsel/copyright" \
    "$2/icons/hicolor/scalable/apps/vorsel.svg" \
    "$2/gnome-shell/extensions/vorsel-windows@ordwyn.com/extension.js" \
    "$2/gnome-shell/extensions/vorsel-windows@ordwyn.com/metadata.json" \
    "$2/gnome-shell/extensions/vorsel-windows-modules@ordwyn.com/extension.js" \
    "$2/gnome-shell/extensions/vorsel-windows-modules@ordwyn.com/metadata.json" \
    "$(dirname "$2")/include/vorsel/VorselLink.h" "$(dirname "$2")/lib/libvorsel-link.a" \
    "$(dirname "$2")/lib/pkgconfig/vorsel-link.pc"
}

check_entry() {
  local entry=$1 exec=$2
  if grep -qxF "Exec=$exec" "$entry"; then pass "the entry runs $exec"
  else fail "the entry says $(grep '^Exec=' "$entry"), not Exec=$exec"; fi
  if out=$(desktop-file-validate "$entry" 2>&1); then pass "desktop-file-validate accepts it"
  else fail "desktop-file-validate: $out"; fi
}

# The default install, the Debian package's layout, into DESTDIR.
dest=$work/dest
mkdir "$dest"
: >"$work/manifest"
if out=$(sealed "$dest" env DESTDIR="$dest" cmake --install "$build" 2>&1); then
  pass "the DESTDIR install ran with nothing but DESTDIR writable"
  expected=$(expected_files /opt /usr/share | sort)
  if [ "$(written "$dest" "")" = "$expected" ]; then pass "it wrote the bundle in /opt and the rest in /usr/share"
  else fail "it wrote: $(written "$dest" "")"; fi
  if [ "$(sort "$work/manifest")" = "$expected" ]; then pass "the manifest lists exactly what it wrote"
  else fail "the manifest says: $(cat "$work/manifest")"; fi
  check_entry "$dest/usr/share/applications/vorsel.desktop" /opt/Vorsel.app/Contents/Linux/vorsel
  # The link's client library builds into a C program through its pkg-config file.
  # A socket pair stands in for the bus connection.
  printf '%s\n' '#include <stdio.h>' '#include <sys/socket.h>' '#include <vorsel/VorselLink.h>' \
    'int main(void) { VorselLinkProof p; int bus[2];' \
    '  if (socketpair(AF_UNIX, SOCK_STREAM, 0, bus)) return 1;' \
    '  if (vorselLinkProveCall(&p, bus[0], ":1.1", "Held", 0, 0)) return 1;' \
    '  puts(p.text); vorselLinkCloseProof(&p); return 0; }' >"$work/client.c"
  flags=$(PKG_CONFIG_PATH="$dest/usr/lib/pkgconfig" PKG_CONFIG_SYSROOT_DIR="$dest" \
    pkg-config --cflags --libs vorsel-link)
  # shellcheck disable=SC2086
  # A sanitized tree installs an instrumented library, which links only with
  # the sanitizers' runtime.
  if cc "$work/client.c" $flags ${VORSEL_TEST_LINK_FLAGS:-} -o "$work/client" &&
    "$work/client" | grep -q '^Held e3b0c442'; then
    pass "the client library links into a C program by its pkg-config file"
  else fail "the client library does not link by its pkg-config file ($flags)"; fi
else
  fail "the DESTDIR install: $out"
fi

# One user's install: no DESTDIR, a home whose name needs quoting, and as
# root the tree's throwaway user, so no root either.
home="$work/Ann's \$home 100%"
mkdir "$home"
: >"$work/manifest"
as=(env HOME="$home")
if [ "$(id -u)" -eq 0 ] && [ -n "${VORSEL_TEST_USER:-}" ]; then
  chown "$VORSEL_TEST_USER:" "$home" "$work/manifest"
  as=(setpriv --reuid="$VORSEL_TEST_USER" --regid="$(id -g "$VORSEL_TEST_USER")" --clear-groups "${as[@]}")
fi
if out=$(sealed "$home" "${as[@]}" cmake --install "$build" --prefix "$home/.local/opt" 2>&1); then
  pass "the user's install ran as $("${as[@]}" id -un) with nothing but its home writable"
  expected=$(expected_files "$home/.local/opt" "$home/.local/share" | sort)
  if [ "$(written "$home" "$home")" = "$expected" ]; then
    pass "it wrote the bundle in ~/.local/opt and the rest in ~/.local/share"
  else fail "it wrote: $(written "$home" "$home")"; fi
  if [ "$(sort "$work/manifest")" = "$expected" ]; then pass "the manifest lists exactly what it wrote"
  else fail "the manifest says: $(cat "$work/manifest")"; fi
  check_entry "$home/.local/share/applications/vorsel.desktop" \
    "\"$work/Ann's \\\\\$home 100%%/.local/opt/Vorsel.app/Contents/Linux/vorsel\""
else
  fail "the user's install: $out"
fi

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
