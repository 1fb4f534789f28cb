#!/usr/bin/env bash
# Writes the Debian package of setup_packer and the launchers from an installed tree:
#
#   bash scripts/make_deb.sh INSTALLED VERSION OUTPUT.deb
#
# INSTALLED is what `cmake --install BUILD --prefix INSTALLED` of the release build wrote (with
# both launchers). The package installs it under /usr, with the manual page compressed, and puts
# the READMEs and the copyright file (LICENSE, then THIRD-PARTY-NOTICES) in
# /usr/share/doc/setup-launcher/. The same inputs give the same bytes: every entry is dated
# SOURCE_DATE_EPOCH (which must be set), owned by root, with fixed modes, in name order.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
installed=$(realpath "${1:?installed tree}")
version=${2:?version}
output=$(realpath -m "${3:?output .deb}")
[[ ${SOURCE_DATE_EPOCH:-} =~ ^[0-9]+$ ]] || {
    echo "make_deb.sh: SOURCE_DATE_EPOCH must be set to a number of seconds" >&2
    exit 1
}
package=setup-launcher
stage=$(mktemp -d)
trap 'rm -rf "$stage" "$output.partial"' EXIT
tree=$stage/$package

install -d "$tree/DEBIAN" "$tree/usr"
cp -a "$installed/bin" "$installed/share" "$tree/usr/"
docs=$tree/usr/share/doc/$package
install -d "$docs"
# The documents as the installed tree holds them (package.sh's stage has the READMEs beside
# bin/, so that every package takes them from the same copy); else from the sources.
document() {
    if [[ -f $installed/$1 ]]; then echo "$installed/$1"; else echo "$root/$2"; fi
}
cat "$(document share/doc/setup_launcher/LICENSE LICENSE)" - \
    "$(document share/doc/setup_launcher/THIRD-PARTY-NOTICES THIRD-PARTY-NOTICES)" \
    >"$docs/copyright" <<'TEXT'


TEXT
rm -rf "$tree/usr/share/doc/setup_launcher"
install -m 0644 "$(document README.md README.md)" "$docs/README.md"
install -m 0644 "$(document README-setup_packer.md executables/tools/setup_packer/README.md)" \
    "$docs/README-setup_packer.md"
gzip -9n "$tree/usr/share/man/man1/setup_packer.1"

# The libraries setup_packer needs, as Debian's own tool reads them from its imports.
mkdir -p "$stage/shlibs/debian"
printf 'Source: %s\n\nPackage: %s\nArchitecture: amd64\n' "$package" "$package" \
    >"$stage/shlibs/debian/control"
depends=$(cd "$stage/shlibs" && dpkg-shlibdeps -O "$tree/usr/bin/setup_packer" 2>/dev/null |
    sed -n 's/^shlibs:Depends=//p')
[[ -n $depends ]] || {
    echo "make_deb.sh: dpkg-shlibdeps found no dependencies of setup_packer" >&2
    exit 1
}
cat >"$tree/DEBIAN/control" <<CONTROL
Package: $package
Version: $version
Architecture: amd64
Maintainer: Setup Launcher maintainers <maintainers@setup-launcher.invalid>
Installed-Size: $(du -sk --exclude=DEBIAN "$tree" | cut -f1)
Depends: $depends
Section: devel
Priority: optional
Description: builds Windows setup files: a setup launcher and its packer
 setup_packer appends a payload of files and commands to a small Windows
 GUI launcher (i686 and x86-64, installed in /usr/share/setup_launcher/),
 with the vendor's own icon and version details, and lists, verifies and
 extracts such setup files. The launcher unpacks the payload into a fresh
 temporary directory, verifies every file, runs the commands and cleans up.
 A CMake package (find_package(SetupLauncher)) makes setup files part of a
 build.
CONTROL

# Fixed modes whatever the umask, and every date SOURCE_DATE_EPOCH.
chmod -R u=rwX,go=rX "$tree"
chmod 0755 "$tree/usr/bin/setup_packer"
find "$tree" -exec touch --no-dereference --date="@$SOURCE_DATE_EPOCH" {} +
dpkg-deb --root-owner-group -Zxz --build "$tree" "$output.partial" >/dev/null
mv -f "$output.partial" "$output"
