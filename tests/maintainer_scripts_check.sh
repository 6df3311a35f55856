#!/usr/bin/env bash
# The package's maintainer scripts on a copy of this machine's /etc and
# /var/lib, in a mount namespace of their own, so the machine's users stay as
# they are: configure creates the system user tarvel in lp, plugdev and gpio,
# a second configure (an upgrade) leaves it be, purge removes it, its state
# and the links that enabled the service (the single one, and each bench's).
#   maintainer_scripts_check.sh PACKAGING_DIR
set -euo pipefail
packaging=$(readlink -f "$1")
fail() { echo "FAIL: $*"; exit 1; }
if [[ ${TARVEL_MAINT_INSIDE:-} != 1 ]]; then
  [[ $(id -u) -eq 0 ]] || { echo "skipped: adduser needs root"; exit 77; }
  for tool in adduser deluser unshare; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
  done
  unshare --mount --fork true 2>/dev/null || { echo "skipped: no mount namespace here"; exit 77; }
  exec env TARVEL_MAINT_INSIDE=1 unshare --mount --fork -- bash "$0" "$@"
fi
copy=$(mktemp -d)
trap 'rm -rf "$copy"' EXIT
cp -a /etc "$copy/etc" && mount --bind "$copy/etc" /etc
mkdir "$copy/lib" && mount --bind "$copy/lib" /var/lib
getent passwd tarvel >/dev/null && fail "a user tarvel exists already"
getent group gpio >/dev/null || groupadd --system gpio  # as on Raspberry Pi OS
# Stand-ins that only record their calls: py3compile needs dpkg's record of
# the installed package, and the machine's udev and systemd are left alone.
mkdir "$copy/bin"
for tool in py3compile udevadm systemctl deb-systemd-invoke; do
  printf '#!/bin/sh\necho "%s $*" >>"%s/calls"\n' "$tool" "$copy" >"$copy/bin/$tool"
  chmod +x "$copy/bin/$tool"
done
export PATH="$copy/bin:$PATH"
export DPKG_MAINTSCRIPT_PACKAGE=tarvel  # deb-systemd-helper runs only from dpkg

# The unit where deb-systemd-helper finds it (the copy of /etc).
mkdir -p /etc/systemd/system
cp "$packaging/tarvel-serve.service" /etc/systemd/system/
sh -e "$packaging/postinst" configure
groups=$(id -nG tarvel)
for g in tarvel lp plugdev gpio; do grep -qw "$g" <<<"$groups" || fail "tarvel is not in $g: $groups"; done
IFS=: read -r _ _ uid _ _ home shell < <(getent passwd tarvel)
(( uid < 1000 )) || fail "tarvel is no system user (uid $uid)"
[[ $home == /var/lib/tarvel && $shell == */nologin ]] || fail "home $home, shell $shell"
sh -e "$packaging/postinst" configure 1.11 || fail "configure again (an upgrade) failed"
if [[ -d /run/udev ]]; then
  grep -q "^udevadm control --reload-rules" "$copy/calls" || fail "the udev rules were not reloaded"
fi
grep -q "enable" "$copy/calls" && fail "the service was enabled: $(cat "$copy/calls")"
mkdir -p /var/lib/tarvel && touch /var/lib/tarvel/bench.state
# What `systemctl enable tarvel-serve tarvel-serve@b1` leaves; removing the
# package removes the unit files.
wants=/etc/systemd/system/multi-user.target.wants
mkdir -p "$wants"
ln -sf /lib/systemd/system/tarvel-serve.service "$wants/tarvel-serve.service"
ln -sf /lib/systemd/system/tarvel-serve@.service "$wants/tarvel-serve@b1.service"
rm /etc/systemd/system/tarvel-serve.service
sh -e "$packaging/postrm" remove
getent passwd tarvel >/dev/null || fail "remove (not purge) took the user"
sh -e "$packaging/postrm" purge
getent passwd tarvel >/dev/null && fail "purge left the user"
[[ -e /var/lib/tarvel ]] && fail "purge left /var/lib/tarvel"
leftover=$(ls "$wants" | grep tarvel) && fail "purge left the links that enabled the service: $leftover"
echo "maintainer scripts checked"
