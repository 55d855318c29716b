#!/usr/bin/env bash
# Builds the Debian package kiv_<version>_<arch>.deb into ./build-deb and
# checks it with lintian. Needs root on Debian 12; installs what it needs.
#   scripts/package.sh            for this machine's architecture
#   scripts/package.sh arm64      cross-built for 64-bit ARM boards, in the
#                                 project's arm64 root (scripts/arm64-env.sh),
#                                 whatever this machine has installed
# The package is built from the files git tracks, as they are in the work
# tree, in a copy under build-deb/ (so nothing is written next to the
# checkout). DEB_BUILD_OPTIONS=nocheck is the default: the suite runs with
# scripts/test.sh and scripts/test-arm64.sh; set DEB_BUILD_OPTIONS= to run
# it inside the build too.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

ARCH=${1:-$(dpkg --print-architecture)}
export DEB_BUILD_OPTIONS=${DEB_BUILD_OPTIONS-nocheck}
if [ "$ARCH" != "$(dpkg --print-architecture)" ] && [ -z "${KIV_IN_ARM64_ENV:-}" ]; then
  [ "$ARCH" = arm64 ] || { echo "package: only arm64 is cross-built" >&2; exit 2; }
  # shellcheck source=scripts/arm64-env.sh
  source scripts/arm64-env.sh
  arm64_env_ensure
  # The demo's shows are made by the arm64 show generator, through the emulator.
  arm64_env_private_binfmt || { export KIV_BINFMT=global; trap 'arm64_env_binfmt_global off' EXIT; arm64_env_binfmt_global on; }
  arm64_env_run env KIV_IN_ARM64_ENV=1 DEB_BUILD_OPTIONS="$DEB_BUILD_OPTIONS" bash scripts/package.sh arm64
  exit
fi

if [ -z "${KIV_IN_ARM64_ENV:-}" ]; then
  bash scripts/setup.sh
  PACKAGES=(dpkg-dev debhelper fakeroot lintian pandoc)
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
fi

OUT=$ROOT/build-deb
version=$(dpkg-parsechangelog -l debian/changelog -S Version)
tree=$OUT/src
[ "$ARCH" = "$(dpkg --print-architecture)" ] || tree=$OUT/src-$ARCH
src=$tree/kiv-$version
rm -rf "$tree" "$OUT"/kiv*_"$ARCH".*
mkdir -p "$src"
git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$src"

profiles=nocheck
case " $DEB_BUILD_OPTIONS " in *" nocheck "*) ;; *) profiles= ;; esac
[ "$ARCH" != "$(dpkg --print-architecture)" ] && profiles=${profiles:+$profiles,}cross
(cd "$src" && dpkg-buildpackage -b --no-sign -a"$ARCH" ${profiles:+-P$profiles} -j"$(nproc)")
mv "$tree"/*.deb "$tree"/*.changes "$tree"/*.buildinfo "$OUT"/ 2>/dev/null || true
deb=$OUT/kiv_${version}_$ARCH.deb
echo "package: $deb"
# Errors and warnings both fail; the info tags are printed.
lintian --fail-on error,warning --info "$deb"
echo "package: lintian reports no error and no warning"
