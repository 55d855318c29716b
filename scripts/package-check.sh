#!/usr/bin/env bash
# Tries the Debian package as a user would, on a fresh Debian 12 booted
# with systemd in a container: `apt install ./kiv_*.deb` (which starts
# kivd), the demo playing to loopback with its music, file modes, what the
# service sees of the board's devices, its security exposure, `systemctl
# stop kivd`, then purge, and lists whatever the package left behind.
# Exits non-zero on a failed check. Needs root; installs mmdebstrap and
# systemd-container.
#   scripts/package-check.sh [DEB]      (default: build-deb/kiv_*_<this arch>.deb)
# An arm64 package boots an arm64 Debian under qemu-user: the emulator of
# the project's arm64 root (scripts/arm64-env.sh) is registered in this
# machine's binfmt_misc for the length of the check.
# The container has a network of its own (loopback only) while kivd runs,
# so the demo's frames never reach this machine's 127.0.0.2.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
DEB=${1:-$(ls "$ROOT"/build-deb/kiv_*_"$(dpkg --print-architecture)".deb 2>/dev/null | head -1)}
[ -f "$DEB" ] || { echo "package-check: no package; run scripts/package.sh first" >&2; exit 1; }
DEB=$(readlink -f "$DEB")
ARCH=$(dpkg-deb -f "$DEB" Architecture)

for p in mmdebstrap systemd-container; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "$p"
  fi
done

WORK=$ROOT/build-debian12
# What the board's daemon may take longer for under the emulator.
slow=1
if [ "$ARCH" != "$(dpkg --print-architecture)" ]; then
  [ "$ARCH" = arm64 ] || { echo "package-check: no emulator for $ARCH" >&2; exit 2; }
  WORK=$ROOT/build-debian12-$ARCH
  slow=5
  # shellcheck source=scripts/arm64-env.sh
  source scripts/arm64-env.sh
  arm64_env_ensure
  # Taken away however the check ends; cleanup below does it too.
  trap 'arm64_env_binfmt_global off' EXIT
  arm64_env_binfmt_global on
fi
PRISTINE=$WORK/pristine
TREE=$WORK/root
mkdir -p "$WORK"
if [ ! -x "$PRISTINE/bin/systemctl" ]; then
  rm -rf "$PRISTINE"
  mmdebstrap --quiet --variant=minbase --architectures="$ARCH" --include=systemd,systemd-sysv,dbus,iproute2 \
    bookworm "$PRISTINE" "deb http://deb.debian.org/debian bookworm main" \
    "deb http://deb.debian.org/debian-security bookworm-security main"
fi
rm -rf "$TREE"
cp -a "$PRISTINE" "$TREE"
cp "$DEB" "$TREE/root/"
pkg=/root/$(basename "$DEB")

# The sound card's stand-in for this check: SDL's disk driver, so the
# audio thread runs under the unit's sandbox and system call filter.
mkdir -p "$TREE/etc/systemd/system/kivd.service.d"
printf '[Service]\nEnvironment=SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=%s\n' /var/cache/kiv/sound.raw \
  >"$TREE/etc/systemd/system/kivd.service.d/check-sound.conf"
# Device nodes like a board's (sound card, DRM, frame buffer, GPIO chip),
# bound into the container; the unit must let kivd see them.
DEVICES=$WORK/devices
rm -rf "$DEVICES"
mkdir -p "$DEVICES/snd" "$DEVICES/dri"
mknod -m 0660 "$DEVICES/snd/controlC0" c 116 0
mknod -m 0660 "$DEVICES/dri/card0" c 226 0
mknod -m 0660 "$DEVICES/fb0" c 29 0
mknod -m 0660 "$DEVICES/gpiochip0" c 254 0
BINDS=(--bind="$DEVICES/snd:/dev/snd" --bind="$DEVICES/dri:/dev/dri" --bind="$DEVICES/fb0:/dev/fb0"
       --bind="$DEVICES/gpiochip0:/dev/gpiochip0")

fail=0
ok() { echo "package-check: ok: $*"; }
bad() { echo "package-check: FAILED: $*"; fail=1; }
nspawn() { systemd-nspawn -q --register=no --keep-unit -D "$TREE" "$@"; }

# The package's dependencies, fetched while the container may use the network.
nspawn --pipe sh -c "apt-get update -qq && apt-get install -y -qq --download-only $pkg" >/dev/null
listing() { (cd "$TREE" && find . -xdev \( -path ./proc -o -path ./sys -o -path ./dev -o -path ./run -o -path ./tmp \
  -o -path ./var/log -o -path ./var/cache/apt -o -path ./var/cache/debconf -o -path ./var/cache/ldconfig \
  -o -path ./var/lib/apt -o -path ./var/lib/dpkg -o -path ./var/lib/systemd -o -path ./var/tmp \) -prune -o -print |
  sort); }
listing >"$WORK/before.txt"

systemd-nspawn -q --register=no --keep-unit -D "$TREE" --boot --private-network --console=read-only "${BINDS[@]}" \
  >"$WORK/console.log" 2>&1 &
NSPAWN=$!
leader=""
# The container's init: a child of systemd-nspawn in a PID namespace of its
# own. Only that process is ever entered, so nothing here can reach this
# machine's own services.
container_init() {
  local c
  c=$(pgrep -P "$NSPAWN" | head -1 || true)
  [ -n "$c" ] && [ "$(readlink /proc/"$c"/ns/pid)" != "$(readlink /proc/self/ns/pid)" ] &&
    grep -q systemd /proc/"$c"/cmdline 2>/dev/null && echo "$c"
}
cleanup() {
  if [ -n "$leader" ] && [ "$(container_init)" = "$leader" ]; then
    nsenter -t "$leader" -a systemctl poweroff >/dev/null 2>&1 || true
  fi
  for _ in $(seq 1 $((30 * slow))); do kill -0 "$NSPAWN" 2>/dev/null || break; sleep 1; done
  kill "$NSPAWN" 2>/dev/null || true
  [ "$ARCH" = "$(dpkg --print-architecture)" ] || arm64_env_binfmt_global off
}
trap cleanup EXIT
for _ in $(seq 1 $((60 * slow))); do
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
ok "Debian 12 $ARCH booted in a container"

if "${C[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$pkg" >"$WORK/install.log" 2>&1; then
  ok "apt install $(basename "$DEB")"
else
  bad "apt install (see $WORK/install.log)"
fi
# Debian starts a service at installation; the README says so.
for _ in $(seq 1 $((10 * slow))); do
  [ "$("${C[@]}" systemctl is-active kivd)" = active ] && break
  sleep 1
done
if [ "$("${C[@]}" systemctl is-enabled kivd)" = enabled ] && [ "$("${C[@]}" systemctl is-active kivd)" = active ]; then
  ok "kivd is enabled and running after installation"
else
  bad "kivd is $("${C[@]}" systemctl is-enabled kivd) and $("${C[@]}" systemctl is-active kivd) after installation"
fi
pid=$("${C[@]}" systemctl show kivd -p MainPID --value)
user=$("${C[@]}" sh -c "stat -c %U /proc/$pid")
[ "$user" = kiv ] && ok "runs as the system user kiv" || bad "runs as $user"
capeff=$("${C[@]}" sh -c "grep CapEff /proc/$pid/status | cut -f2")
[ "$capeff" = 0000000000002000 ] && ok "capabilities: CAP_NET_RAW only" || bad "capabilities $capeff"
# Up to a second per frame of emulated start-up before the frames flow.
# The demo must play at its rate on all three outputs for a whole window;
# a window in which the emulated daemon's threads got no processor (a
# loaded machine: the daemon logs those frames as late) is tried again,
# up to 2 * slow windows.
sleep $((2 * slow))
demo_fps() { echo "$mon" | awk -v p="$1" '$1 == p { print int($2) }'; }
for _ in $(seq 1 $((2 * slow))); do
  mon=$("${C[@]}" kivmon -t 3 --plain | tail -3)
  slow_window=0
  for proto in DDP E1.31 Art-Net; do
    fps=$(demo_fps "$proto")
    [ -n "$fps" ] && [ "$fps" -ge 30 ] || slow_window=1
  done
  [ "$slow_window" = 0 ] && break
done
for proto in DDP E1.31 Art-Net; do
  fps=$(demo_fps "$proto")
  if [ -n "$fps" ] && [ "$fps" -ge 30 ]; then ok "demo plays: $proto $fps fps on 127.0.0.2"; else bad "$proto: '${fps}' fps"; fi
done
sound=$("${C[@]}" sh -c 'stat -c %s /var/cache/kiv/sound.raw 2>/dev/null || echo 0')
# Read whole before searching: "journalctl | grep -q" fails under pipefail
# when grep stops reading before a slow (emulated) journalctl has written
# its last line.
journal=$("${C[@]}" journalctl -u kivd --no-pager)
if [ "$sound" -gt 0 ] && ! grep -q "Could not open audio device" <<<"$journal"; then
  ok "sound opens: the audio thread wrote $sound bytes of the demo's music"
else
  bad "sound: $sound bytes written (see journalctl -u kivd)"
fi
if grep -q "Starting main processing loop" <<<"$journal"; then
  ok "log lines reach the journal"
else
  bad "no kivd lines in the journal"
fi
seen=$("${C[@]}" sh -c "cd /proc/$pid/root/dev && ls -d dri/card0 fb0 gpiochip0 snd/controlC0 2>/dev/null | xargs")
[ "$seen" = "dri/card0 fb0 gpiochip0 snd/controlC0" ] && ok "kivd sees the board's devices: $seen" ||
  bad "kivd sees only '$seen' of dri/card0 fb0 gpiochip0 snd/controlC0"
modes=$("${C[@]}" stat -c '%a %U:%G' /var/lib/kiv/media/settings /var/lib/kiv/media/logs/kivd.log /var/lib/kiv | xargs)
[ "$modes" = "640 kiv:kiv 640 kiv:kiv 755 root:root" ] &&
  ok "settings and log 0640 kiv:kiv, /var/lib/kiv root's" || bad "modes of settings, log, /var/lib/kiv: $modes"
exposure=$("${C[@]}" systemd-analyze security kivd --no-pager 2>/dev/null | sed -n 's/.*Overall exposure level for kivd.service: \([0-9.]*\).*/\1/p')
if [ -n "$exposure" ] && awk -v e="$exposure" 'BEGIN { exit !(e <= 2.0) }'; then
  ok "security exposure $exposure"
else
  bad "security exposure '$exposure' (more than 2.0)"
fi
start=$(date +%s%N)
"${C[@]}" systemctl stop kivd
ms=$(( ($(date +%s%N) - start) / 1000000 ))
[ "$ms" -lt $((1000 * slow)) ] && ok "systemctl stop kivd took $ms ms" || bad "systemctl stop kivd took $ms ms"
status=$("${C[@]}" systemctl show kivd -p ExecMainStatus --value)
[ "$status" = 0 ] && ok "kivd exited with status 0" || bad "kivd exited with status $status"

"${C[@]}" env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq kiv >"$WORK/purge.log" 2>&1 && ok "apt purge kiv" ||
  bad "apt purge (see $WORK/purge.log)"
"${C[@]}" env DEBIAN_FRONTEND=noninteractive apt-get autoremove --purge -y -qq >>"$WORK/purge.log" 2>&1 || true
listing >"$WORK/after.txt"
left=$(comm -13 "$WORK/before.txt" "$WORK/after.txt" | grep -i kiv | grep -v '^\./var/lib/kiv/media/' |
  grep -vx -e './var/lib/kiv' -e './var/lib/kiv/media' || true)
"${C[@]}" test -e /run/kiv && left="$left /run/kiv"
if [ -z "$left" ]; then
  ok "nothing of the package left but the media directory /var/lib/kiv/media"
else
  bad "left behind: $left"
fi
echo "package-check: other files added by the dependencies' installation, kept by apt:" \
  "$(comm -13 "$WORK/before.txt" "$WORK/after.txt" | grep -vic kiv)"
exit $fail
