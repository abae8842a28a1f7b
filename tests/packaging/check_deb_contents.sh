#!/usr/bin/env bash
# check_deb_contents.sh SOURCE OUT LIBDIR SONAME HAVE_APP HAVE_CLI BUILD APPSTREAM_ID
# Unpacks the package built into OUT and checks that it holds what a user and a
# developer need: both programs, libkv under its SONAME, the decryptor's archive,
# the headers as they stand
# in SOURCE, the desktop entry, icons (the drawing and its renderings in BUILD),
# the AppStream metadata, MIME definition, manual pages and the Debian documents; that no binary carries a library search path or debugging
# symbols; and that the control data holds computed dependencies and the version
# of the changelog's latest entry. Exits 77 (skipped) after every other check when
# a program is not built in this tree yet.
set -euo pipefail
source=$1
deb=$(echo "$2"/*.deb)
libdir=$3
soname=$4
have_app=$5
have_cli=$6
build=$7
appstream_id=$8

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
has_file() {
  [ -f "$root/$1" ]
}
need_file() {
  has_file "$1" || fail "missing /$1"
}
same_file() {
  if has_file "$2"; then
    cmp -s "$1" "$root/$2" || fail "/$2 differs from $1"
  else
    fail "missing /$2"
  fi
}
elf_clean() {
  has_file "$1" || return 0
  local dynamic sections
  dynamic=$(readelf -d "$root/$1")
  sections=$(readelf -S "$root/$1")
  ! grep -qE '\((RPATH|RUNPATH)\)' <<<"$dynamic" || fail "/$1 carries a library search path"
  ! grep -qE '\.(symtab|debug_info)' <<<"$sections" || fail "/$1 is not stripped"
}
# "WIDTH HEIGHT" of a PNG file, from its header.
png_size() {
  local bytes
  bytes=($(od -An -tu1 -j16 -N8 "$root/$1"))
  echo "$(((bytes[0] << 24) | (bytes[1] << 16) | (bytes[2] << 8) | bytes[3])) $(((bytes[4] << 24) | (bytes[5] << 16) | (bytes[6] << 8) | bytes[7]))"
}
manual_page() {
  local page=usr/share/man/man1/$1.1.gz text warnings
  if ! has_file "$page"; then
    fail "missing /$page"
    return 0
  fi
  text=$(zcat "$root/$page") || fail "/$page is not valid gzip"
  grep -q "^\.TH $2 1 " <<<"$text" || fail "/$page has no title line for $1(1)"
  ! grep -q '@[A-Z_]*@' <<<"$text" || fail "/$page has an unfilled placeholder"
  warnings=$(groff -man -ww -z <<<"$text" 2>&1)
  [ -z "$warnings" ] || fail "/$page: $warnings"
}

# The runtime library and the headers a program needs to link it.
need_file "usr/$libdir/$soname"
[ -L "$root/usr/$libdir/libkv.so" ] || fail "missing the link /usr/$libdir/libkv.so"
if has_file "usr/$libdir/$soname"; then
  grep -qF "Library soname: [$soname]" <<<"$(readelf -d "$root/usr/$libdir/$soname")" || fail "$soname has another SONAME"
fi
elf_clean "usr/$libdir/$soname"
need_file "usr/$libdir/libzervcrypto.a"
for header in "$source"/runtime/include/kv/*.h; do
  same_file "$header" "usr/include/kv/$(basename "$header")"
done
same_file "$source/engine/zervcrypto.h" usr/include/zervcrypto.h

# The Debian documents, and the control data.
need_file usr/share/doc/korvelcrypt/copyright
need_file usr/share/doc/korvelcrypt/changelog.Debian.gz
version=$(dpkg-deb -f "$deb" Version)
latest=$(zcat "$root/usr/share/doc/korvelcrypt/changelog.Debian.gz" | sed -n '1s/^korvelcrypt (\([^)]*\)).*/\1/p') || true
[ "$version" = "$latest" ] || fail "package version $version, latest changelog entry $latest"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
echo "$depends" | grep -qw libc6 || fail "Depends lacks libc6 (dependencies not computed?)"
grep -q "^libkv " <<<"$(dpkg-deb -I "$deb" shlibs)" || fail "no shlibs entry for libkv"

missing=()
if [ "$have_app" = 1 ]; then
  need_file usr/bin/korvelcrypt
  [ -x "$root/usr/bin/korvelcrypt" ] || fail "/usr/bin/korvelcrypt is not executable"
  elf_clean usr/bin/korvelcrypt
  same_file "$source/packaging/korvelcrypt.desktop" usr/share/applications/korvelcrypt.desktop
  for size in 16 32 48 64 128 256; do
    icon=usr/share/icons/hicolor/${size}x${size}/apps/korvelcrypt.png
    same_file "$build/packaging/icons/hicolor/${size}x${size}/apps/korvelcrypt.png" "$icon"
    if has_file "$icon"; then
      [ "$(png_size "$icon")" = "$size $size" ] || fail "/$icon is not $size x $size pixels"
    fi
  done
  same_file "$source/resources/svg/crypt.svg" usr/share/icons/hicolor/scalable/apps/korvelcrypt.svg
  metainfo=usr/share/metainfo/$appstream_id.metainfo.xml
  same_file "$source/packaging/$appstream_id.metainfo.xml" "$metainfo"
  # As a software centre reads the installed tree: the metadata, and the desktop
  # entry it names as its launchable.
  remarks=$(appstreamcli validate-tree --no-net --pedantic "$root" 2>&1) || fail "appstreamcli: $remarks"
  ! grep -qE '^ *[EWIP]: ' <<<"$remarks" || fail "appstreamcli: $remarks"
  same_file "$source/packaging/mime/korvelcrypt.xml" usr/share/mime/packages/korvelcrypt.xml
  manual_page korvelcrypt KORVELCRYPT
  for package in libqt6widgets6 libqt6dbus6 qt6-qpa-plugins libssl3; do
    echo "$depends" | grep -qw "$package" || fail "Depends lacks $package"
  done
  dpkg-deb -f "$deb" Recommends | grep -qw qt6-translations-l10n || fail "Recommends lacks qt6-translations-l10n"
else
  missing+=(korvelcrypt)
fi
if [ "$have_cli" = 1 ]; then
  need_file usr/bin/korvelcrypt-cli
  [ -x "$root/usr/bin/korvelcrypt-cli" ] || fail "/usr/bin/korvelcrypt-cli is not executable"
  elf_clean usr/bin/korvelcrypt-cli
  manual_page korvelcrypt-cli 'KORVELCRYPT\\-CLI'
  need_file usr/share/bash-completion/completions/korvelcrypt-cli
else
  missing+=(korvelcrypt-cli)
fi

if [ "$failures" -gt 0 ]; then
  echo "$failures checks failed"
  exit 1
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "SKIP: not built in this tree yet: ${missing[*]}"
  exit 77
fi
echo "package contents complete"
