#!/usr/bin/env bash
# Tries the Debian package as a user would, on a fresh Debian 12 booted
# with systemd in a container: `apt install ./kiv_*.deb`, `systemctl start
# kivd`, the demo playing to loopback, `systemctl stop kivd`, then purge,
# and lists whatever the package left behind. Exits non-zero on a failed
# check. Needs root; installs debootstrap and systemd-container.
#   scripts/package-check.sh [DEB]      (default: build-deb/kiv_*.deb)
# The container has a network of its own (loopback only) while kivd runs,
# so the demo's frames never reach this machine's 127.0.0.2.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
DEB=${1:-$(ls "$ROOT"/build-deb/kiv_*.deb 2>/dev/null | grep -v dbgsym | head -1)}
[ -f "$DEB" ] || { echo "package-check: no package; run scripts/package.sh first" >&2; exit 1; }
DEB=$(readlink -f "$DEB")

for p in debootstrap systemd-container; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "$p"
  fi
done

WORK=$ROOT/build-debian12
PRISTINE=$WORK/pristine
TREE=$WORK/root
mkdir -p "$WORK"
if [ ! -x "$PRISTINE/bin/systemctl" ]; then
  rm -rf "$PRISTINE"
  debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus,iproute2 bookworm "$PRISTINE" \
    http://deb.debian.org/debian
fi
rm -rf "$TREE"
cp -a "$PRISTINE" "$TREE"
cp "$DEB" "$TREE/root/"
pkg=/root/$(basename "$DEB")

fail=0
ok() { echo "package-check: ok: $*"; }
bad() { echo "package-check: FAILED: $*"; fail=1; }
nspawn() { systemd-nspawn -q --register=no --keep-unit -D "$TREE" "$@"; }

# The package's dependencies, fetched while the container may use the network.
nspawn --pipe sh -c "apt-get update -qq && apt-get install -y -qq --download-only $pkg" >/dev/null
listing() { (cd "$TREE" && find . -xdev \( -path ./proc -o -path ./sys -o -path ./dev -o -path ./run -o -path ./tmp \
  -o -path ./var/log -o -path ./var/cache -o -path ./var/lib/apt -o -path ./var/lib/dpkg -o -path ./var/lib/systemd \
  -o -path ./var/tmp \) -prune -o -print | sort); }
listing >"$WORK/before.txt"

systemd-nspawn -q --register=no --keep-unit -D "$TREE" --boot --private-network --console=read-only \
  >"$WORK/console.log" 2>&1 &
NSPAWN=$!
leader=""
# The container's init: a child of systemd-nspawn in a PID namespace of its
# own. Only that process is ever entered, so nothing here can reach this
# machine's own services.
container_init() {
  local c
  c=$(pgrep -P "$NSPAWN" | head -1 || true)
  [ -n "$c" ] && [ "$(cat /proc/"$c"/comm 2>/dev/null)" = systemd ] &&
    [ "$(readlink /proc/"$c"/ns/pid)" != "$(readlink /proc/self/ns/pid)" ] && echo "$c"
}
cleanup() {
  if [ -n "$leader" ] && [ "$(container_init)" = "$leader" ]; then
    nsenter -t "$leader" -a systemctl poweroff >/dev/null 2>&1 || true
  fi
  for _ in $(seq 1 30); do kill -0 "$NSPAWN" 2>/dev/null || return 0; sleep 1; done
  kill "$NSPAWN" 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 1 60); do
  leader=$(container_init || true)
  if [ -n "$leader" ] && nsenter -t "$leader" -a systemctl is-system-running 2>/dev/null | grep -qE 'running|degraded'; then
    break
  fi
  sleep 1
done
if [ -z "$leader" ]; then
  echo "package-check: the container did not boot (see $WORK/console.log)" >&2
  exit 1
fi
C=(nsenter -t "$leader" -a)

if "${C[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$pkg" >"$WORK/install.log" 2>&1; then
  ok "apt install $(basename "$DEB")"
else
  bad "apt install (see $WORK/install.log)"
fi
"${C[@]}" systemctl start kivd
sleep 3
[ "$("${C[@]}" systemctl is-active kivd)" = active ] && ok "systemctl start kivd: active" || bad "kivd is not active"
pid=$("${C[@]}" systemctl show kivd -p MainPID --value)
user=$("${C[@]}" sh -c "stat -c %U /proc/$pid")
[ "$user" = kiv ] && ok "runs as the system user kiv" || bad "runs as $user"
capeff=$("${C[@]}" sh -c "grep CapEff /proc/$pid/status | cut -f2")
[ "$capeff" = 0000000000002000 ] && ok "capabilities: CAP_NET_RAW only" || bad "capabilities $capeff"
mon=$("${C[@]}" kivmon -t 3 --plain | tail -3)
for proto in DDP E1.31 Art-Net; do
  fps=$(echo "$mon" | awk -v p="$proto" '$1 == p { print int($2) }')
  if [ -n "$fps" ] && [ "$fps" -ge 30 ]; then ok "demo plays: $proto $fps fps on 127.0.0.2"; else bad "$proto: '${fps}' fps"; fi
done
if "${C[@]}" journalctl -u kivd --no-pager | grep -q "Starting main processing loop"; then
  ok "log lines reach the journal"
else
  bad "no kivd lines in the journal"
fi
start=$(date +%s%N)
"${C[@]}" systemctl stop kivd
ms=$(( ($(date +%s%N) - start) / 1000000 ))
[ "$ms" -lt 1000 ] && ok "systemctl stop kivd took $ms ms" || bad "systemctl stop kivd took $ms ms"
status=$("${C[@]}" systemctl show kivd -p ExecMainStatus --value)
[ "$status" = 0 ] && ok "kivd exited with status 0" || bad "kivd exited with status $status"

"${C[@]}" env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq kiv >"$WORK/purge.log" 2>&1 && ok "apt purge kiv" ||
  bad "apt purge (see $WORK/purge.log)"
"${C[@]}" env DEBIAN_FRONTEND=noninteractive apt-get autoremove --purge -y -qq >>"$WORK/purge.log" 2>&1 || true
listing >"$WORK/after.txt"
left=$(comm -13 "$WORK/before.txt" "$WORK/after.txt" | grep -i kiv | grep -v '^\./var/lib/kiv/media/' |
  grep -vx -e './var/lib/kiv' -e './var/lib/kiv/media' || true)
if [ -z "$left" ]; then
  ok "nothing of the package left but the media directory /var/lib/kiv/media"
else
  bad "left behind: $left"
fi
echo "package-check: other files added by the dependencies' installation, kept by apt:" \
  "$(comm -13 "$WORK/before.txt" "$WORK/after.txt" | grep -vic kiv)"
exit $fail
