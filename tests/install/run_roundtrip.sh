#!/usr/bin/env bash
# Installs the build folder into a scratch DESTDIR with prefix /usr, puts
# the package's postinst beside it, and runs scripts/package-roundtrip on it
# in a private mount namespace: the main job as root, as the service user
# zorva, and a TPM store under that user with and without group tss.
# Usage: run_roundtrip.sh SOURCE_DIR BUILD_DIR CMAKE [EMULATOR]
set -euo pipefail
src=$1
build=$2
cmake=$3
dest=$(mktemp -d /tmp/zorva-install.XXXXXX)
trap 'rm -rf "$dest"' EXIT
DESTDIR=$dest "$cmake" --install "$build" --prefix /usr >/dev/null
install -D -m 0755 "$src/packaging/postinst" "$dest/DEBIAN/postinst"
chmod 0755 "$dest" # the daemon runs as zorva, the client as user id 1000
"$src/tests/isolated.sh" "$src/scripts/package-roundtrip" "$dest" "${@:4}"
