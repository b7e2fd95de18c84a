#!/usr/bin/env bash
# Installs the build folder into a scratch DESTDIR with prefix /usr (as the
# Debian packages do) and checks the result: every program that was built
# in bin/, the libraries in the private folder lib/<triplet>/zorva and
# nowhere else, and no test program or stand-in library; RUNPATH
# $ORIGIN/../lib/<triplet>/zorva on the programs that load the libraries,
# $ORIGIN on the libraries, none on the client; the manual pages and the
# keytool's completion; a caller built with zorva.pc runs; the units verify,
# with the TPM drop-in too; and, with another prefix, everything inside
# that prefix.
# Usage: check_layout.sh BUILD_DIR CMAKE TRIPLET C_COMPILER [EMULATOR]
# (ZORVA_CALLER_CFLAGS: more compiler options for the caller, e.g. a sanitizer's)
set -euo pipefail
build=$1
cmake=$2
triplet=$3
cc=$4
run=("${@:5}")
here=$(cd "$(dirname "$0")" && pwd)
dest=$(mktemp -d /tmp/zorva-install.XXXXXX)
trap 'rm -rf "$dest"' EXIT

DESTDIR=$dest "$cmake" --install "$build" --prefix /usr >/dev/null

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
runpath() { readelf -d "$1" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p'; }

private=/usr/lib/$triplet/zorva
for p in uds_decrypt_server uds_decrypt_client encrypt_tool zorvm_keytool; do
  [ -e "$build/bin/$p" ] || continue
  [ -x "$dest/usr/bin/$p" ] || fail "/usr/bin/$p missing"
  want='$ORIGIN/../lib/'$triplet/zorva
  [ $p = uds_decrypt_client ] && want=""
  [ "$(runpath "$dest/usr/bin/$p")" = "$want" ] || fail "RUNPATH of /usr/bin/$p is '$(runpath "$dest/usr/bin/$p")', not '$want'"
done
for l in libzorva.so libZORV.so libMUR.so libbounded.a; do
  [ -e "$build/lib/$l" ] || continue
  [ -f "$dest$private/$l" ] || fail "$private/$l missing"
  [[ $l == *.a ]] || [ "$(runpath "$dest$private/$l")" = '$ORIGIN' ] ||
    fail "RUNPATH of $private/$l is '$(runpath "$dest$private/$l")'"
done
public=$(cd "$dest" && find usr/lib -maxdepth 2 -name 'lib*' -type f)
[ -z "$public" ] || fail "libraries outside the private folder: $public"
! find "$dest" -type f -exec sh -c 'readelf -d "$1" 2>/dev/null | grep -q "(RPATH)"' _ {} \; -print | grep -q . ||
  fail "files with an RPATH besides their RUNPATH"
for h in zorva_main.h zorv.h mur.h bounded.h; do
  [ -f "$dest/usr/include/zorva/$h" ] || fail "/usr/include/zorva/$h missing"
done
stray=$(cd "$dest" && find . -name '*_test' -o -name 'bench_*' -o -path '*/doubles*')
[ -z "$stray" ] || fail "not to be installed: $stray"

# Manual pages and completion, without a complaint from man.
for page in man1/encrypt_tool.1 man1/uds_decrypt_client.1 man8/uds_decrypt_server.8 man8/zorvm_keytool.8; do
  f=$dest/usr/share/man/$page.gz
  [ -f "$f" ] || { fail "/usr/share/man/$page.gz missing"; continue; }
  complaints=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$f" 2>&1 >/dev/null || echo "man failed")
  [ -z "$complaints" ] || fail "$page: $complaints"
done
[ -f "$dest/usr/share/bash-completion/completions/zorvm_keytool" ] || fail "keytool completion missing"

# A C caller linked as zorva.pc says, with the bounded functions for the
# agent, runs from the installed tree.
if [ -e "$build/lib/libzorva.so" ] && [ -e "$build/lib/libZORV.so" ]; then
  cat >"$dest/caller.c" <<'CALLER'
#include <stdio.h>
#include <zorva_main.h>
int main(void)
{
    char *text = NULL;
    uint32_t length = 0;
    if (ZORVA_Base64Encode((const unsigned char *)"caller", 6, &text, &length) != 0) {
        return 1;
    }
    printf("%s\n", text);
    ZORVA_MemClearFree(text, length);
    return 0;
}
CALLER
  pc() { PKG_CONFIG_PATH="$dest/usr/lib/$triplet/pkgconfig" PKG_CONFIG_LIBDIR="" \
         pkg-config --define-variable=prefix="$dest/usr" "$@" zorva; }
  # shellcheck disable=SC2046
  if ! out=$("$cc" ${ZORVA_CALLER_CFLAGS:-} -o "$dest/caller" "$dest/caller.c" $(pc --cflags --libs) \
               $(pc --variable=bounded_libs) 2>&1); then
    fail "a caller does not build with zorva.pc: $out"
  elif [ "$("${run[@]}" "$dest/caller" 2>&1)" != Y2FsbGVy ]; then
    fail "a caller built with zorva.pc: $("${run[@]}" "$dest/caller" 2>&1)"
  fi
fi

if [ -e "$build/bin/uds_decrypt_server" ]; then
  unit=$dest/usr/lib/systemd/system/uds_decrypt_server.service
  [ -f "$unit" ] || fail "unit missing"
  grep -qx 'ListenStream=@uds_decrypt_server' "$dest/usr/lib/systemd/system/uds_decrypt_server.socket" ||
    fail "socket unit missing or not on @uds_decrypt_server"
  [ -f "$dest/etc/default/uds_decrypt_server" ] || fail "/etc/default/uds_decrypt_server missing"
  grep -qx 'ExecStart=/usr/bin/uds_decrypt_server' "$unit" || fail "unit does not start /usr/bin/uds_decrypt_server"
  grep -q '^DS_MINIO_UDS_NAME=' "$dest/etc/default/uds_decrypt_server" || fail "no DS_MINIO_UDS_NAME in the environment file"
  out=$("$here/verify_units.sh" "$dest" 2>&1) || [ $? -eq 77 ] || fail "$out"

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
echo "install layout ok: $(cd "$dest" && find . -path ./opt-install -prune -o -type f -print | wc -l) files"
