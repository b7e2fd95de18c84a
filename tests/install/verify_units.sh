#!/usr/bin/env bash
# Checks the installed systemd units of the tree ROOT (a DESTDIR or an
# unpacked package, prefix /usr): systemd-analyze verify of the socket and
# the service, alone and with the TPM drop-in linked into the service's
# drop-in folder as the operator does, without a word of complaint; and the
# drop-in in effect: the TPM device allowed and a supplementary group.
# The service's program and environment file are pointed into ROOT, and
# man reads ROOT's manual pages (verify checks that the program and the
# pages named by Documentation= exist).
# Usage: verify_units.sh ROOT
set -euo pipefail
root=$1
command -v systemd-analyze >/dev/null || { echo "verify_units: systemd-analyze not installed" >&2; exit 77; }

units=$(mktemp -d /tmp/zorva-units.XXXXXX)
trap 'rm -rf "$units"' EXIT
sed -e "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" \
    -e "s|^EnvironmentFile=/etc/|EnvironmentFile=$root/etc/|" \
    "$root/usr/lib/systemd/system/uds_decrypt_server.service" >"$units/uds_decrypt_server.service"
cp "$root/usr/lib/systemd/system/uds_decrypt_server.socket" "$units/"

verify() {
  local out
  if ! out=$(cd "$units" && MANPATH=$root/usr/share/man systemd-analyze verify "$units/uds_decrypt_server.socket" \
               "$units/uds_decrypt_server.service" 2>&1) || [ -n "$out" ]; then
    echo "verify_units: systemd-analyze verify $1: $out" >&2
    exit 1
  fi
}
exposure() { systemd-analyze security --offline=true "$units/uds_decrypt_server.service" 2>&1; }

verify "of the service and socket units"
if exposure | grep -q '/dev/tpmrm0'; then
  echo "verify_units: the unit alone already allows the TPM device" >&2
  exit 1
fi

mkdir "$units/uds_decrypt_server.service.d"
ln -s "$root/usr/share/zorva/uds_decrypt_server-tpm2.conf" "$units/uds_decrypt_server.service.d/tpm2.conf"
verify "with the TPM drop-in"
report=$(exposure)
grep -q 'DeviceAllow=.*/dev/tpmrm0:rw' <<<"$report" &&
  grep -q 'SupplementaryGroups=.*runs with supplementary groups' <<<"$report" || {
  echo "verify_units: the TPM drop-in is not in effect:" >&2
  grep -E 'DeviceAllow=|SupplementaryGroups=|PrivateDevices=' <<<"$report" >&2
  exit 1
}
echo "units verified, alone and with the TPM drop-in ($(grep -o 'Overall exposure level.*' <<<"$report"))"
