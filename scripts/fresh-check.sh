#!/usr/bin/env bash
# Proves the README's two set-up commands on a fresh Debian 12: builds a
# minimal Debian 12 root with debootstrap from the Debian mirror this host
# uses, copies this checkout into it (the files git knows, as they are in
# the working tree), and runs there, as root:
#
#   ./scripts/run.sh          (without opening a session), then run.sh stop
#   ./scripts/test.sh
#
# with chroot inside private mount, PID and UTS namespaces: the root gets its
# own /proc, /dev (a few device nodes and its own pseudo-terminals), /run
# and /tmp, so nothing of the host is changed but DIR (and debootstrap,
# installed on the host when missing). Prints the time of each step.
#
#   scripts/fresh-check.sh [DIR]     DIR defaults to /var/tmp/draxipx-fresh;
#                                    KEEP=1 keeps it afterwards
#
# Needs root, the mirror, and about 4 GB in DIR. Not part of CI: it takes
# most of an hour on two cores.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
dir=${1:-/var/tmp/draxipx-fresh}
root=$dir/root

say() { printf 'fresh-check: %s\n' "$*"; }
die() { printf 'fresh-check: %s\n' "$*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || die "run this as root"
[ ! -e "$root" ] || die "$root exists; remove it or name another DIR"

# The mirror that apt uses here (deb822 or one-line sources).
mirror=$(cat /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null |
    sed -n 's/^URIs: *\([^ ]*\).*/\1/p; s/^deb \(\[[^]]*\] \)\?\(http[^ ]*\) bookworm .*/\2/p' |
    grep -v security | head -n 1 || true)
mirror=${mirror:-http://deb.debian.org/debian}

if ! command -v debootstrap >/dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap >/dev/null
fi

cleanup() {
    if [ -z "${KEEP:-}" ]; then rm -rf "$dir"; fi
}
trap cleanup EXIT

elapsed() { local s=$(($2 - $1)); printf '%dm%02ds' $((s / 60)) $((s % 60)); }

t0=$(date +%s)
say "debootstrap bookworm from $mirror into $root"
mkdir -p "$dir"
# In a mount namespace of its own: what debootstrap mounts in the new root
# goes away with it, even when it is interrupted.
nice unshare --mount --propagation private \
    debootstrap --variant=minbase bookworm "$root" "$mirror" >"$dir/debootstrap.log" 2>&1 ||
    { tail -n 20 "$dir/debootstrap.log" >&2; die "debootstrap failed (log: $dir/debootstrap.log)"; }
t1=$(date +%s)
say "debootstrap: $(elapsed "$t0" "$t1")"

# The checkout: what git tracks, as it is now (no build output).
mkdir -p "$root/src/draxipx"
if git -C "$src" rev-parse --git-dir >/dev/null 2>&1; then
    git -C "$src" ls-files -z --cached --others --exclude-standard |
        tar -C "$src" --null -T - -cf - | tar -C "$root/src/draxipx" -xf -
else
    tar -C "$src" --exclude=./build -cf - . | tar -C "$root/src/draxipx" -xf -
fi
cp /etc/resolv.conf "$root/etc/resolv.conf"

# Inside the namespaces: a /dev of its own, /proc of the new PID namespace,
# then the two commands in the chroot, each timed.
cat >"$dir/inside.sh" <<'EOF'
set -euo pipefail
root=$1
hostname fresh-debian12
# The new root is a mount point of its own, as a real root is (tests make
# "/" private in namespaces of their own).
mount --bind "$root" "$root"
mount -t proc proc "$root/proc"
mount -t sysfs -o ro sysfs "$root/sys"
mount -t tmpfs -o mode=0755 dev "$root/dev"
for n in null:1:3 zero:1:5 full:1:7 random:1:8 urandom:1:9 tty:5:0; do
    IFS=: read -r name major minor <<<"$n"
    mknod -m 666 "$root/dev/$name" c "$major" "$minor"
done
mkdir "$root/dev/pts" "$root/dev/shm"
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$root/dev/pts"
ln -s pts/ptmx "$root/dev/ptmx"
ln -s /proc/self/fd "$root/dev/fd"
ln -s /proc/self/fd/0 "$root/dev/stdin"
ln -s /proc/self/fd/1 "$root/dev/stdout"
ln -s /proc/self/fd/2 "$root/dev/stderr"
mount -t tmpfs shm "$root/dev/shm"
mount -t tmpfs -o mode=0755 run "$root/run"
mount -t tmpfs -o mode=1777 tmp "$root/tmp"
chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root TERM=dumb LANG=C.UTF-8 \
    /bin/bash -c '
        set -euo pipefail
        cd /src/draxipx
        t0=$(date +%s)
        DRAX_NO_SESSION=1 ./scripts/run.sh </dev/null
        t1=$(date +%s)
        ./scripts/run.sh status
        ./scripts/run.sh stop
        t2=$(date +%s)
        ./scripts/test.sh </dev/null
        t3=$(date +%s)
        echo "TIMES run.sh=$((t1 - t0)) test.sh=$((t3 - t2))"
    '
EOF
say "running ./scripts/run.sh and ./scripts/test.sh in the new root"
out=$dir/inside.log
set +e
nice unshare --mount --pid --uts --fork --propagation private bash "$dir/inside.sh" "$root" 2>&1 | tee "$out"
status=${PIPESTATUS[0]}
set -e
t2=$(date +%s)
times=$(sed -n 's/^TIMES //p' "$out")
[ "$status" -eq 0 ] || die "a command failed in the fresh root (status $status; log: $out)"
read -r run_s test_s <<<"$(echo "$times" | sed 's/run.sh=\([0-9]*\) test.sh=\([0-9]*\)/\1 \2/')"
say "debootstrap $(elapsed "$t0" "$t1"), run.sh $(elapsed 0 "$run_s"), test.sh $(elapsed 0 "$test_s"), all $(elapsed "$t0" "$t2")"
