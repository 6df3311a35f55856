#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR and checks it as a desktop and
# a user would: every file where the desktop and man expect it, the desktop
# entry and metainfo valid, the man page rendering, and the installed program
# (not the build tree's) sending and reading back on the simulated bench from
# another working directory. It does so for the configured prefix and for
# another one given when installing, then checks that the Debian package made
# from the same build installs under /usr (and lintian passes it).
#   install_check.sh BUILD_DIR PREFIX LIBDIR DOCDIR
set -euo pipefail
build=$(cd "$1" && pwd) configured=$2 libdir=$3 docdir=$4
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
# A checker that is missing skips the test (status 77) instead of passing it
# unchecked; scripts/install-deps installs them all.
for tool in desktop-file-validate appstreamcli man lintian dpkg-deb file cpack sigrok-cli; do
  command -v "$tool" >/dev/null || { echo "$tool not installed: skipped"; exit 77; }
done

check_tree() {  # PREFIX: install there (below a DESTDIR) and check the tree
  local prefix=$1
  local stage="$dest/stage$prefix"
  DESTDIR="$stage" cmake --install "$build" --prefix "$prefix" >/dev/null
  local root="$stage$prefix"
  id=invalid.tarvel.control
  for f in bin/tarvel "$libdir/tarvel/libtarvel-gui.so" "share/applications/$id.desktop" \
           "share/metainfo/$id.metainfo.xml" share/man/man1/tarvel.1.gz \
           share/icons/hicolor/32x32/apps/tarvel.png share/icons/hicolor/48x48/apps/tarvel.png \
           share/icons/hicolor/256x256/apps/tarvel.png share/icons/hicolor/scalable/apps/tarvel.svg \
           "$docdir/UsersManual.PDF" "$docdir/copyright" share/tarvel/tarvel.pvs \
           share/libsigrokdecode/decoders/tarvel/{__init__,chips,pd}.py \
           lib/python3/dist-packages/tarvel_control/__init__.py; do
    [[ -f "$root/$f" ]] || fail "missing $prefix/$f"
  done

  desktop="$root/share/applications/$id.desktop"
  desktop-file-validate "$desktop" || fail "desktop entry"
  grep -qx "Path=$prefix/$docdir" "$desktop" || fail "the desktop entry does not start in $prefix/$docdir"
  grep -qx "Exec=tarvel" "$desktop" || fail "Exec"
  grep -qx "Icon=tarvel" "$desktop" || fail "Icon"
  appstreamcli validate --no-net "$root/share/metainfo/$id.metainfo.xml" >/dev/null || fail "metainfo"
  page=$(MANWIDTH=80 man -l "$root/share/man/man1/tarvel.1.gz" 2>/dev/null)
  for section in NAME SYNOPSIS "EXIT STATUS" ENVIRONMENT EXAMPLES TARVEL_PORT_DELAY_NS; do
    grep -q "$section" <<<"$page" || fail "the man page lacks $section"
  done
  for icon in 32 48 256; do
    file "$root/share/icons/hicolor/${icon}x${icon}/apps/tarvel.png" | grep -q "$icon x $icon" || fail "icon $icon"
  done

  # The installed program, from another working directory, on the simulated bench.
  work=$(mktemp -d "$dest/work.XXXXXX")
  cd "$work"
  export TARVEL_PORT="sim:$work/bench.state"
  unset DISPLAY WAYLAND_DISPLAY
  "$root/bin/tarvel" RX4410 21 34 || fail "send (status $?)"
  "$root/bin/tarvel" RX4410R || fail "read-back (status $?)"
  [[ $(cat TRVOutput.dat) == $'RX4410R, 21, 34\r' ]] || fail "read back: $(cat -A TRVOutput.dat)"
  if ldd "$root/bin/tarvel" | grep -qi qt; then fail "the program itself links Qt"; fi
  # sigrok finds the installed decoder below the data folder, and it reads
  # the installed program's trace as --decode does.
  TARVEL_TRACE="$work/trace.vcd" "$root/bin/tarvel" RX4410 21 34
  decoded=$(env -u SIGROKDECODE_DIR XDG_DATA_DIRS="$root/share" sigrok-cli -i "$work/trace.vcd" -P tarvel \
            -A tarvel=write:read:warning)
  [[ $decoded == $'tarvel-1: RX4410 Chan 1 write 21\ntarvel-1: RX4410 Chan 2 write 34' ]] ||
    fail "the installed decoder: $decoded"
  # The installed instrument imports with Debian's python3 and PyMeasure.
  module=$(PYTHONPATH="$root/lib/python3/dist-packages" /usr/bin/python3 -B -c \
           'import tarvel_control; print(tarvel_control.__file__)') || fail "the installed tarvel_control does not import"
  [[ $module == "$root/lib/python3/dist-packages/tarvel_control/__init__.py" ]] || fail "tarvel_control from $module"

  # Its windows load from the installed library folder, not the build tree.
  set +e
  QT_QPA_PLATFORM=offscreen timeout 5 "$root/bin/tarvel" >"$work/gui.txt" 2>&1
  status=$?
  set -e
  grep -q "cannot open the windows" "$work/gui.txt" && fail "$(cat "$work/gui.txt")"
  [[ $status -eq 124 ]] || fail "the window mode ended with status $status: $(cat "$work/gui.txt")"
  cd "$dest"
  echo "install tree checked under $prefix"
}

check_tree "$configured"
if [[ $configured == /usr ]]; then check_tree /usr/local; else check_tree /usr; fi

# The package: everything under /usr whatever the configured prefix.
(cd "$dest" && cpack --config "$build/CPackConfig.cmake" -G DEB -B "$dest/package" >/dev/null)
deb=$(ls "$dest"/package/tarvel_*.deb)
paths=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in bin/tarvel share/libsigrokdecode/decoders/tarvel/pd.py share/tarvel/tarvel.pvs \
         lib/python3/dist-packages/tarvel_control/__init__.py; do
  grep -q "^\./usr/$f\$" <<<"$paths" || fail "the package lacks /usr/$f"
done
# Besides /usr: the service's units, the udev rules and the modules loaded
# at boot where Debian 12 keeps a package's, and its settings, a conffile.
for f in lib/systemd/system/tarvel-serve.service lib/systemd/system/tarvel-serve@.service \
         lib/modules-load.d/tarvel.conf lib/udev/rules.d/60-tarvel.rules etc/default/tarvel; do
  grep -q "^\./$f\$" <<<"$paths" || fail "the package lacks /$f"
done
[[ $(dpkg-deb -f "$deb" Depends) == adduser,* ]] || fail "the package does not depend on adduser"
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles | grep -qx /etc/default/tarvel || fail "/etc/default/tarvel is no conffile"
allowed='^\./($|usr/|etc/$|etc/default/(tarvel)?$|lib/$|lib/systemd/$|lib/systemd/system/(tarvel-serve@?\.service)?$|lib/modules-load\.d/(tarvel\.conf)?$|lib/udev/$|lib/udev/rules\.d/(60-tarvel\.rules)?$)'
outside=$(grep -Ev "$allowed" <<<"$paths"; grep '^\./usr/local' <<<"$paths") || true
[[ -z $outside ]] || fail "the package installs outside /usr: $outside"
dpkg-deb -x "$deb" "$dest/unpacked"
grep -qx "Path=/usr/share/doc/tarvel" "$dest/unpacked/usr/share/applications/invalid.tarvel.control.desktop" ||
  fail "the packaged desktop entry does not start in /usr/share/doc/tarvel"
lintian --fail-on error,warning "$deb" || fail "lintian"
echo "package checked: $(basename "$deb") installs under /usr"
