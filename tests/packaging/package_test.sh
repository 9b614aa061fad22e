#!/usr/bin/env bash
# Builds the Debian package from this build tree with CPack (into a temporary
# folder) and checks its file list and its control fields.
#   package_test.sh BUILD_DIR
set -euo pipefail
build="$1"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
deb=$(ls "$out"/brennmark_*.deb)
files=$(dpkg-deb -c "$deb" | awk '{print $NF}')
status=0
for f in ./usr/bin/brennmark ./usr/bin/brennmark-cli ./usr/bin/brennmarkd ./usr/bin/ridaziv-sim \
         ./usr/lib/systemd/user/brennmarkd.service ./usr/lib/systemd/system/brennmarkd.service \
         ./usr/share/man/man1/brennmarkd.1 \
         ./usr/share/applications/brennmark.desktop \
         ./usr/share/icons/hicolor/128x128/apps/brennmark.png \
         ./usr/share/man/man1/brennmark.1 ./usr/share/man/man1/brennmark-cli.1 \
         ./usr/share/man/man1/ridaziv-sim.1 \
         ./usr/share/bash-completion/completions/brennmark-cli; do
  if ! grep -qx "$f" <<<"$files"; then
    echo "missing from the package: $f"
    status=1
  fi
done
# Nothing outside /usr, no test programs.
if grep -v '^\./usr' <<<"$files" | grep -v '^\./$' | grep -q .; then
  echo "files outside /usr:"; grep -v '^\./usr' <<<"$files" | grep -v '^\./$'
  status=1
fi
if grep -q -- '_test\|_tests\|bench-' <<<"$files"; then
  echo "test programs in the package"; status=1
fi

[ "$(dpkg-deb -f "$deb" Package)" = brennmark ] || { echo "wrong Package"; status=1; }
depends=$(dpkg-deb -f "$deb" Depends)
for p in libqt6core6 libqt6widgets6 libqt6gui6 libstdc++6 libc6; do
  if ! grep -q "\b$p\b" <<<"$depends"; then
    echo "Depends lacks $p: $depends"
    status=1
  fi
done
# The desktop entry starts the installed program with the installed icon.
desktop=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/applications/brennmark.desktop)
grep -qx 'Exec=brennmark' <<<"$desktop" || { echo "desktop entry: Exec"; status=1; }
grep -qx 'Icon=brennmark' <<<"$desktop" || { echo "desktop entry: Icon"; status=1; }
man=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/man/man1/brennmark-cli.1)
grep -q '^\.SS restore' <<<"$man" || { echo "man page lacks the restore command"; status=1; }
# The system unit shares the socket with the serial devices' group.
unit=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/lib/systemd/system/brennmarkd.service)
grep -qx 'Group=dialout' <<<"$unit" || { echo "system unit: Group"; status=1; }
grep -q 'ExecStart=/usr/bin/brennmarkd --socket /run/brennmark/brennmarkd.sock --socket-mode 0660' <<<"$unit" ||
  { echo "system unit: ExecStart"; status=1; }
[ $status = 0 ] && echo "package ok: $(basename "$deb")"
exit $status
