# The arm64 build environment, sourced by scripts/test-arm64.sh and
# scripts/package.sh. Debian 12 cannot install some -dev packages (GraphicsMagick's)
# for two architectures at once, so the arm64 build does not use the host's
# packages at all: it runs in a Debian 12 root of the project's own,
# build-arm64-env/root (or $KIV_ARM64_ENV/root), made with mmdebstrap. The
# root is amd64 with the arm64 libraries beside (multiarch): the compiler is
# Debian's cross compiler running at full speed, the programs the tests use
# (tshark, ffmpeg, mosquitto, chromium, ...) run natively, and only the arm64
# programs built here run through qemu-user. Whatever the host has installed
# does not matter; it only needs mmdebstrap.
#
# Needs ROOT (the checkout) set by the caller.

KIV_ARM64_ENV=${KIV_ARM64_ENV:-$ROOT/build-arm64-env}
KIV_ARM64_ROOT=$KIV_ARM64_ENV/root
KIV_DEBIAN_MIRRORS=(
  "deb http://deb.debian.org/debian bookworm main"
  "deb http://deb.debian.org/debian bookworm-updates main"
  "deb http://deb.debian.org/debian-security bookworm-security main"
)

# What the root holds: the tools of scripts/setup.sh for this machine, its
# target packages for arm64, the cross compiler, the emulator and the packaging
# tools.
arm64_env_packages() {
  bash "$ROOT/scripts/setup.sh" --list tools
  bash "$ROOT/scripts/setup.sh" --list target | sed 's/$/:arm64/'
  printf '%s\n' crossbuild-essential-arm64 qemu-user-static ccache \
    dpkg-dev debhelper fakeroot lintian pandoc pkgconf:arm64
}

# Makes the root, or installs into it what it lacks. Idempotent.
arm64_env_ensure() {
  local pkgs missing=()
  mapfile -t pkgs < <(arm64_env_packages)
  if [ ! -x "$KIV_ARM64_ROOT/usr/bin/qemu-aarch64-static" ]; then
    if ! command -v mmdebstrap >/dev/null; then
      DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends mmdebstrap
    fi
    echo "arm64-env: making the Debian 12 root $KIV_ARM64_ROOT"
    rm -rf "$KIV_ARM64_ROOT.new"
    mkdir -p "$KIV_ARM64_ENV"
    mmdebstrap --quiet --variant=apt --architectures=amd64,arm64 \
      --aptopt='APT::Install-Recommends "false"' \
      --include="$(IFS=,; echo "${pkgs[*]}")" \
      bookworm "$KIV_ARM64_ROOT.new" "${KIV_DEBIAN_MIRRORS[@]}" || return 1
    rm -rf "$KIV_ARM64_ROOT"
    mv "$KIV_ARM64_ROOT.new" "$KIV_ARM64_ROOT"
    return
  fi
  local p
  for p in "${pkgs[@]}"; do
    chroot "$KIV_ARM64_ROOT" dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return
  echo "arm64-env: installing ${missing[*]}"
  # A mount namespace of its own: nothing mounted here outlives the call.
  unshare --mount --fork bash -c '
    set -e
    r=$1; shift
    mount --rbind /dev "$r/dev"; mount --rbind /proc "$r/proc"; mount --rbind /sys "$r/sys"
    touch "$r/etc/resolv.conf"; mount --bind /etc/resolv.conf "$r/etc/resolv.conf"
    chroot "$r" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 update -qq
    chroot "$r" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 \
      install -y -qq --no-install-recommends "$@"' - "$KIV_ARM64_ROOT" "${missing[@]}"
}

# The emulator's binfmt_misc registration, named $1, with the emulator's path
# as seen from here. The F flag opens the emulator at registration, so it
# also serves programs started in the root or in a container.
arm64_env_binfmt_line() {
  sed -e "s|^:qemu-aarch64:|:$1:|" -e "s|:\(/[^:]*\):\([A-Z]*\)$|:$KIV_ARM64_ROOT\1:\2|" \
      -e '/:[A-Z]*F[A-Z]*$/!s/$/F/' "$KIV_ARM64_ROOT/usr/lib/binfmt.d/qemu-aarch64.conf"
}

# True when this kernel gives a user namespace a binfmt_misc of its own
# (Linux 6.7 and later).
arm64_env_private_binfmt() {
  unshare --user --map-root-user --mount sh -c 'mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc' 2>/dev/null
}

# arm64_env_binfmt_global on|off: the emulator registered in the machine's
# binfmt_misc as qemu-aarch64 (the name mmdebstrap looks for), for what
# needs it there: an arm64 container, the suite on kernels without a
# private binfmt_misc. A handler of that name the machine has already
# serves as well when it has the F flag. "off" removes only ours; callers
# switch it off when done (a trap).
arm64_env_binfmt_global() {
  local dir=/proc/sys/fs/binfmt_misc entry=/proc/sys/fs/binfmt_misc/qemu-aarch64
  if [ "$1" = on ]; then
    [ -e "$dir/register" ] || mount -t binfmt_misc binfmt_misc "$dir"
    if [ -e "$entry" ]; then
      grep -q '^flags: [A-Z]*F' "$entry" && return 0
      echo "arm64-env: this machine's qemu-aarch64 handler lacks the F flag; containers cannot use it" >&2
      return 1
    fi
    arm64_env_binfmt_line qemu-aarch64 >"$dir/register"
  elif [ -e "$entry" ] && grep -qF "interpreter $KIV_ARM64_ROOT/" "$entry"; then
    echo -1 >"$entry"
  fi
}

# Runs a command in the root, with the checkout at the same path as here.
# The run has a user namespace, a mount namespace and a network namespace
# (loopback only) of its own, and in them a binfmt_misc instance of its own
# where the emulator is registered: every exec of an arm64 program, also by
# the tests and by kivd re-executing itself, goes through qemu, and nothing
# outside the run sees the registration. Without a private binfmt_misc
# (Linux before 6.7) the caller registers the emulator with
# arm64_env_binfmt_global and sets KIV_BINFMT=global.
#
# The user namespace maps every user and group to itself, not only root:
# programs the tests start as root and that then switch to a user of their
# own (the mosquitto broker calls setgroups and setuid) must be able to.
arm64_env_run() {
  local sync writer status=0
  sync=$(mktemp -d)
  mkfifo "$sync/mapped"
  # Writes the maps once the run (whose shell number is in $sync/pid) has its
  # user namespace, then lets it go on; the run waits for that.
  (
    while [ ! -s "$sync/pid" ]; do sleep 0.05; done
    pid=$(cat "$sync/pid")
    while [ "$(readlink "/proc/$pid/ns/user" 2>/dev/null)" = "$(readlink /proc/self/ns/user)" ]; do
      kill -0 "$pid" 2>/dev/null || exit 0
      sleep 0.05
    done
    if echo "0 0 4294967295" >"/proc/$pid/uid_map" && echo "0 0 4294967295" >"/proc/$pid/gid_map"; then
      echo >"$sync/mapped"
    else
      echo "arm64-env: cannot map the users of the run's namespace" >&2
      kill "$pid"
    fi
  ) &
  writer=$!
  # The emulator must load arm64 programs with the dynamic loader of the
  # multiarch glibc (no QEMU_LD_PREFIX): the cross toolchain's copy in
  # /usr/aarch64-linux-gnu is another glibc build, and pairing its loader
  # with the multiarch libc.so.6 makes the first thread start spin forever.
  # The namespaced shell waits until the maps are written, then executes the
  # run's shell anew: only an exec as a mapped root gives it the
  # capabilities it needs inside.
  (
    echo "$BASHPID" >"$sync/pid"
    KIV_BINFMT_LINE=$(arm64_env_binfmt_line qemu-aarch64) KIV_SYNC=$sync/mapped KIV_RUN='
    set -e
    r=$1 checkout=$2 binfmt=$3 gitdir=$4; shift 4
    # "ip netns exec" makes the root mount a slave; the root of the run
    # must therefore be a mount point.
    mount --rbind "$r" "$r"
    if [ "$binfmt" != global ]; then
      mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
      printf "%s\n" "$KIV_BINFMT_LINE" >/proc/sys/fs/binfmt_misc/register
    fi
    mount --rbind /dev "$r/dev"
    mount --rbind /proc "$r/proc"
    mount -t sysfs sysfs "$r/sys" 2>/dev/null || mount --rbind /sys "$r/sys"
    mkdir -p "$r$checkout" "$r/var/cache/kiv-ccache" "${r%/root}/ccache"
    mount --rbind "$checkout" "$r$checkout"
    # A work tree of git keeps its repository elsewhere; git describe and
    # git ls-files need it.
    case "$gitdir" in
      "" | "$checkout"/*) ;;
      *) mkdir -p "$r$gitdir"; mount --rbind "$gitdir" "$r$gitdir" ;;
    esac
    mount --bind "${r%/root}/ccache" "$r/var/cache/kiv-ccache"
    ip link set lo up
    # Paths in the checkout count relative to it, so another work tree of
    # the project reuses these compiles.
    exec chroot "$r" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" \
      CCACHE_DIR=/var/cache/kiv-ccache CCACHE_MAXSIZE=5G CCACHE_BASEDIR="$checkout" CCACHE_NOHASHDIR=1 \
      bash -c "cd \"$checkout\" && exec \"\$@\"" - "$@"' \
    exec unshare --user --mount --net env -u QEMU_LD_PREFIX bash -c \
      'read -r _ <"$KIV_SYNC"; exec bash -c "$KIV_RUN" - "$@"' \
      - "$KIV_ARM64_ROOT" "$ROOT" "${KIV_BINFMT:-private}" \
      "$(git -C "$ROOT" rev-parse --path-format=absolute --git-common-dir 2>/dev/null || true)" "$@"
  ) || status=$?
  wait "$writer"
  rm -rf "$sync"
  return $status
}
