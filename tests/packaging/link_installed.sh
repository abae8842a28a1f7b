#!/usr/bin/env bash
# link_installed.sh CC SOURCE PREFIX LIBDIR OUT — compiles the C program SOURCE the
# way another program would use the installed libraries: only PREFIX's headers,
# linked against PREFIX's libkv and libzervcrypto, then runs it.
set -euo pipefail
cc=$1
source=$2
prefix=$3
libdir=$prefix/$4
out=$5

"$cc" -std=c11 -Wall -Wextra -Werror -DHAVE_ZERVCRYPTO -I"$prefix/include" -o "$out" "$source" \
  -L"$libdir" -lzervcrypto -lkv -lcrypto -lstdc++
# The program must load the installed library, not one from the build tree.
loaded=$(LD_LIBRARY_PATH=$libdir ldd "$out" | grep 'libkv\.so')
case "$loaded" in
  *"=> $libdir/"*) ;;
  *) echo "libkv resolved elsewhere: $loaded" >&2; exit 1 ;;
esac
LD_LIBRARY_PATH=$libdir "$out"
echo "linked and ran against $prefix"
