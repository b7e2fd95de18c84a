#!/usr/bin/env bash
# The two specified programs must run on any library stack that offers the
# agreed interface of libzorva, libZORV and libMUR and nothing more: every
# dynamic symbol they leave undefined and one of those three libraries
# defines must be on the committed list of that interface.
# Usage: check_interface_symbols.sh BUILD_DIR LIST [NM]
set -euo pipefail
build=$1
list=$2
nm=${3:-nm}

defined=$(for l in libzorva.so libZORV.so libMUR.so; do
  "$nm" -D --defined-only "$build/lib/$l" | awk '{ print $NF }'
done | sed 's/@.*//' | sort -u)

failures=0
for p in uds_decrypt_server encrypt_tool; do
  undefined=$("$nm" -D --undefined-only "$build/bin/$p" | awk '{ print $NF }' | sed 's/@.*//' | sort -u)
  from_ours=$(comm -12 <(echo "$undefined") <(echo "$defined"))
  extra=$(comm -23 <(echo "$from_ours") <(sort -u "$list"))
  if [ -n "$extra" ]; then
    echo "FAIL: $p needs symbols beyond the agreed interface:" $extra
    failures=$((failures + 1))
  fi
  [ -n "$from_ours" ] || { echo "FAIL: $p takes nothing from the three libraries: wrong build?"; failures=$((failures + 1)); }
done
exit $((failures != 0))
