#!/usr/bin/env bash
# install_prefix.sh BUILD PREFIX — installs the build tree into an empty PREFIX and
# builds the MIME and desktop caches there, as the package's triggers do under /usr.
set -euo pipefail
build=$1
prefix=$2

rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix"
if [ -d "$prefix/share/mime/packages" ]; then
  update-mime-database "$prefix/share/mime"
fi
if [ -d "$prefix/share/applications" ]; then
  update-desktop-database "$prefix/share/applications"
fi
