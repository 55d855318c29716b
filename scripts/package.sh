#!/usr/bin/env bash
# Builds the Debian package kiv_<version>_<arch>.deb into ./build-deb and
# checks it with lintian. Needs root on Debian 12; installs what it needs.
#   scripts/package.sh            for this machine's architecture
#   scripts/package.sh arm64      cross-built for 64-bit ARM boards (the
#                                 arm64 libraries of scripts/test-arm64.sh)
# The package is built from the files git tracks, as they are in the work
# tree, in a copy under build-deb/ (so nothing is written next to the
# checkout). DEB_BUILD_OPTIONS=nocheck is the default: the suite runs with
# scripts/test.sh; set DEB_BUILD_OPTIONS= to run it inside the build too.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

ARCH=${1:-$(dpkg --print-architecture)}
bash scripts/setup.sh
PACKAGES=(dpkg-dev debhelper fakeroot lintian pandoc)
if [ "$ARCH" != "$(dpkg --print-architecture)" ]; then
  [ "$ARCH" = arm64 ] || { echo "package: only arm64 is cross-built" >&2; exit 2; }
  bash scripts/test-arm64.sh --setup-only
  PACKAGES+=(pkgconf:arm64)
fi
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "package: missing packages: ${missing[*]}; run this script as root" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=600 update -qq
  apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends --no-remove "${missing[@]}"
fi

OUT=$ROOT/build-deb
version=$(dpkg-parsechangelog -l debian/changelog -S Version)
src=$OUT/src/kiv-$version
rm -rf "$OUT/src" "$OUT"/kiv*_"$ARCH".*
mkdir -p "$src"
git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$src"

export DEB_BUILD_OPTIONS=${DEB_BUILD_OPTIONS-nocheck}
profiles=()
case " $DEB_BUILD_OPTIONS " in *" nocheck "*) profiles=(-Pnocheck) ;; esac
(cd "$src" && dpkg-buildpackage -b --no-sign -a"$ARCH" "${profiles[@]}" -j"$(nproc)")
mv "$OUT"/src/*.deb "$OUT"/src/*.changes "$OUT"/src/*.buildinfo "$OUT"/ 2>/dev/null || true
deb=$OUT/kiv_${version}_$ARCH.deb
echo "package: $deb"
# lintian exits non-zero on errors (warnings are printed, not fatal).
lintian --fail-on error --info "$deb"
echo "package: lintian reports no error"
