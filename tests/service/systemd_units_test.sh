#!/bin/sh
# brennmarkd's systemd units as systemd reads them: no warning from
# `systemd-analyze verify` (it exits 0 on unknown keys, so any output fails),
# and the system unit's exposure in `systemd-analyze security` at most 3.0.
# Usage: systemd_units_test.sh SOURCE_DIR BRENNMARKD
set -u
src=$1
bin=$(dirname "$2")
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
status=0
for kind in system user; do
    unit="$dir/brennmarkd-$kind.service"
    sed "s#@CMAKE_INSTALL_FULL_BINDIR@#$bin#" "$src/service/brennmarkd-$kind.service.in" > "$unit"
    out=$(systemd-analyze verify --man=no "$unit" 2>&1)
    if [ -n "$out" ]; then
        echo "FAIL verify $kind: $out"
        status=1
    else
        echo "ok   verify $kind"
    fi
done
# --threshold counts in tenths: 30 is an exposure of 3.0.
if systemd-analyze security --offline=true --threshold=30 "$dir/brennmarkd-system.service" > "$dir/security" 2>&1; then
    echo "ok   $(tail -n 1 "$dir/security")"
else
    cat "$dir/security"
    echo "FAIL exposure above 3.0"
    status=1
fi
exit $status
