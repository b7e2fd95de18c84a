#!/usr/bin/env bash
# Installs the build folder into a scratch DESTDIR with prefix /usr and checks
# the result: every program and library that was built is there (and no test
# program or stand-in library), each with RUNPATH $ORIGIN/../lib and nothing
# else; the headers; the unit and its environment file under /etc/default;
# and, with another prefix, everything inside that prefix.
# Usage: check_layout.sh BUILD_DIR CMAKE
set -euo pipefail
build=$1
cmake=$2
dest=$(mktemp -d /tmp/zorva-install.XXXXXX)
trap 'rm -rf "$dest"' EXIT

DESTDIR=$dest "$cmake" --install "$build" --prefix /usr >/dev/null

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

for p in uds_decrypt_server uds_decrypt_client encrypt_tool zorvm_keytool; do
  [ -e "$build/bin/$p" ] || continue
  [ -x "$dest/usr/bin/$p" ] || fail "/usr/bin/$p missing"
done
for l in libzorva.so libZORV.so libMUR.so libbounded.a; do
  [ -e "$build/lib/$l" ] || continue
  [ -f "$dest/usr/lib/$l" ] || fail "/usr/lib/$l missing"
done
[ -f "$dest/usr/include/zorva/bounded.h" ] || fail "headers missing from /usr/include/zorva"

stray=$(cd "$dest" && find . -name '*_test' -o -name 'bench_*' -o -path '*/doubles*')
[ -z "$stray" ] || fail "not to be installed: $stray"

for f in "$dest"/usr/bin/* "$dest"/usr/lib/*.so; do
  [ -e "$f" ] || continue
  # Until the real key store is built, the agent also looks beside it for
  # the tests' stand-ins.
  [ "${f##*/}" = libzorva.so ] && [ ! -e "$build/lib/libZORV.so" ] && continue
  rp=$(readelf -d "$f" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
  [ "$rp" = '$ORIGIN/../lib' ] || fail "RUNPATH of ${f#"$dest"} is '$rp'"
  ! readelf -d "$f" | grep -q '(RPATH)' || fail "${f#"$dest"} has an RPATH besides its RUNPATH"
done

if [ -e "$build/bin/uds_decrypt_server" ]; then
  unit=$dest/usr/lib/systemd/system/uds_decrypt_server.service
  [ -f "$unit" ] || fail "unit missing"
  grep -qx 'ListenStream=@uds_decrypt_server' "$dest/usr/lib/systemd/system/uds_decrypt_server.socket" ||
    fail "socket unit missing or not on @uds_decrypt_server"
  [ -f "$dest/etc/default/uds_decrypt_server" ] || fail "/etc/default/uds_decrypt_server missing"
  grep -qx 'ExecStart=/usr/bin/uds_decrypt_server' "$unit" || fail "unit does not start /usr/bin/uds_decrypt_server"
  grep -q '^DS_MINIO_UDS_NAME=' "$dest/etc/default/uds_decrypt_server" || fail "no DS_MINIO_UDS_NAME in the environment file"

  # Any other prefix keeps everything inside it, the unit's paths included.
  opt=$dest/opt-install
  DESTDIR=$opt "$cmake" --install "$build" --prefix /opt/zorva >/dev/null
  unit=$opt/opt/zorva/lib/systemd/system/uds_decrypt_server.service
  [ -f "$opt/opt/zorva/etc/default/uds_decrypt_server" ] || fail "prefix /opt/zorva: environment file not in the prefix"
  grep -qx 'ExecStart=/opt/zorva/bin/uds_decrypt_server' "$unit" || fail "prefix /opt/zorva: unit does not start the prefix's daemon"
  grep -qx 'EnvironmentFile=/opt/zorva/etc/default/uds_decrypt_server' "$unit" ||
    fail "prefix /opt/zorva: unit does not read the prefix's environment file"
  [ ! -e "$opt/etc" ] || fail "prefix /opt/zorva: files outside the prefix: $(cd "$opt" && find ./etc)"
fi

[ $failures -eq 0 ] || exit 1
echo "install layout ok: $(cd "$dest" && find . -type f | wc -l) files"
