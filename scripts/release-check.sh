#!/usr/bin/env bash
# Everything a release needs, one line per result: both packages built,
# lintian on each, each booted in a container (arm64 under emulation), the
# arm64 suite under emulation, and the unit's security exposure. Exits
# non-zero when any result fails. Needs root on Debian 12. Each step's
# output is kept in build-release/<step>.log.
#   scripts/release-check.sh
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
LOGS=$ROOT/build-release
mkdir -p "$LOGS"
HOST=$(dpkg --print-architecture)
version=$(dpkg-parsechangelog -l debian/changelog -S Version)

fail=0
result() {  # PASS|FAIL text...
  echo "release-check: $1 ${*:2}"
  [ "$1" = PASS ] || fail=1
}
# step NAME COMMAND...: runs it into build-release/NAME.log; prints nothing.
step() {
  local name=$1; shift
  local start=$SECONDS
  "$@" >"$LOGS/$name.log" 2>&1
  local rc=$?
  echo "$((SECONDS - start))" >"$LOGS/$name.seconds"
  return $rc
}
took() { echo "$(cat "$LOGS/$1.seconds") s"; }

for arch in "$HOST" arm64; do
  deb=$ROOT/build-deb/kiv_${version}_$arch.deb
  if step "package-$arch" bash scripts/package.sh "$arch" && [ -f "$deb" ]; then
    result PASS "$arch package built: build-deb/$(basename "$deb") ($(took "package-$arch"))"
  else
    result FAIL "$arch package not built (see $LOGS/package-$arch.log)"
    continue
  fi
  # package.sh ran lintian with --info: count what it reported by kind.
  tags=$(grep -E '^[EWIPX]: kiv' "$LOGS/package-$arch.log" || true)
  e=$(grep -c '^E:' <<<"$tags"); w=$(grep -c '^W:' <<<"$tags"); i=$(grep -c '^I:' <<<"$tags")
  if [ "$e" = 0 ] && [ "$w" = 0 ]; then
    result PASS "$arch lintian: 0 errors, 0 warnings, $i info tags"
  else
    result FAIL "$arch lintian: $e errors, $w warnings (see $LOGS/package-$arch.log)"
  fi
  if step "container-$arch" bash scripts/package-check.sh "$deb"; then
    result PASS "$arch package boots in a Debian 12 container$([ "$arch" = "$HOST" ] || echo " under emulation"):" \
      "$(grep -c ': ok:' "$LOGS/container-$arch.log") checks ok ($(took "container-$arch"))"
  else
    result FAIL "$arch package in a container: $(grep ': FAILED:' "$LOGS/container-$arch.log" | sed 's/.*FAILED: //' |
      paste -sd ';' -) (see $LOGS/container-$arch.log)"
  fi
done

if step suite-arm64 bash scripts/test-arm64.sh; then
  result PASS "arm64 suite under emulation: $(grep -E 'tests passed' "$LOGS/suite-arm64.log" | tail -1) ($(took suite-arm64))"
else
  result FAIL "arm64 suite under emulation: $(grep -E 'tests passed|tests failed' "$LOGS/suite-arm64.log" | tail -1)" \
    "(see $LOGS/suite-arm64.log)"
fi

# The unit as packaged, rated the way systemd rates installed units.
unit=$(mktemp -d)
dpkg-deb -x "$ROOT/build-deb/kiv_${version}_$HOST.deb" "$unit" 2>/dev/null
exposure=$(systemd-analyze security --offline=yes --root="$unit" kivd.service 2>/dev/null |
  sed -n 's/.*Overall exposure level for kivd.service: \([0-9.]*\).*/\1/p')
rm -rf "$unit"
if [ -n "$exposure" ] && awk -v e="$exposure" 'BEGIN { exit !(e <= 2.0) }'; then
  result PASS "security exposure of kivd.service: $exposure (at most 2.0)"
else
  result FAIL "security exposure of kivd.service: '${exposure}' (more than 2.0, or not rated)"
fi
exit $fail
