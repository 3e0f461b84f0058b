#!/usr/bin/env bash
# The main command: build, install into /opt/DRAXipx, start the stack daemon,
# Ombrad and Zelptyd, check the stack with dunmere, and open a terminal
# session on this host with zelterm.
#
#   scripts/run.sh [start]  start what does not run yet and open a session;
#                           run again, it opens another session
#   scripts/run.sh stop     stop Zelptyd, Ombrad and ipxstackd, in that order
#   scripts/run.sh restart  stop, then start (open sessions end)
#   scripts/run.sh status   tell what runs (any user may ask)
#
# Only processes that run the installed programs count as ours: a pid file
# that names anything else (a stale file after a reboot) is ignored, and no
# other process is ever signalled.
#
# Options for ipxstackd (its links, for example
# "--link udp,net=0000ABCD,addr=192.0.2.7,peer=192.0.2.8") come from
# IPXSTACKD_ARGS in the environment, else from IPXSTACKD_ARGS="..." in
# /opt/DRAXipx/etc/ipxstackd.conf (the file the systemd unit reads).
# DRAX_NO_SESSION=1 starts the daemons without opening
# a session. DRAX_RUN_BUILD=DIR installs from an existing build directory
# instead of building (tests).
set -euo pipefail
cd "$(dirname "$0")/.."

root=/opt/DRAXipx
bin=$root/bin
state=$root/run             # logs and pid files of ipxstackd and Ombrad
conf=$root/etc/ipxstackd.conf
ready_wait=100              # tenths of a second to wait for a daemon

say() { printf 'run.sh: %s\n' "$*"; }
die() { printf 'run.sh: %s\n' "$*" >&2; exit 1; }

# is_ours PID NAME: process PID runs $bin/NAME (or a build of it that a
# later install replaced). Who may not see a root process's program (an
# ordinary user) goes by its name.
is_ours() {
    local exe comm
    if exe=$(readlink "/proc/$1/exe" 2>/dev/null); then
        [ "${exe% (deleted)}" = "$bin/$2" ]
    else
        read -r comm 2>/dev/null <"/proc/$1/comm" || return 1
        [ "$comm" = "${2:0:15}" ]
    fi
}

# alive PID: the process exists and has not ended (a zombie has).
alive() {
    local stat
    read -r stat 2>/dev/null <"/proc/$1/stat" || return 1
    stat=${stat##*) }
    [ "${stat:0:1}" != Z ]
}

# pid_of FILE NAME: the live process of ours recorded in FILE, or nothing.
pid_of() {
    local pid
    [ -r "$1" ] || return 1
    read -r pid 2>/dev/null <"$1" || return 1
    [[ "$pid" =~ ^[0-9]+$ ]] && alive "$pid" && is_ours "$pid" "$2" && echo "$pid"
}

stack_pid() { pid_of "$state/ipxstackd.pid" ipxstackd; }
ombrad_pid() { pid_of "$state/Ombrad.pid" Ombrad; }
zelptyd_pid() { pid_of "$bin/ptyd.pid" Zelptyd; }

# is_stale PID NAME: the process runs another file than the installed
# $bin/NAME (it was rebuilt and installed since). Needs root.
is_stale() {
    local running installed
    running=$(stat -L -c %d:%i "/proc/$1/exe" 2>/dev/null) || return 1
    installed=$(stat -c %d:%i "$bin/$2" 2>/dev/null) || return 1
    [ "$running" != "$installed" ]
}

# The stack's options: the environment's, else the configuration file's.
stack_args() {
    if [ -n "${IPXSTACKD_ARGS+set}" ]; then
        printf '%s' "$IPXSTACKD_ARGS"
        return
    fi
    [ -r "$conf" ] || return 0
    local line v
    while IFS= read -r line || [ -n "$line" ]; do
        case $line in
        IPXSTACKD_ARGS=*)
            v=${line#IPXSTACKD_ARGS=}
            case $v in \"*\" | \'*\') v=${v:1:${#v}-2} ;; esac
            printf '%s' "$v"
            ;;
        esac
    done <"$conf"
}

# start_ready NAME ARGS...: starts a daemon in the foreground mode of its own
# (in a session of its own, output to its log) with --ready-fd 3, and waits
# until it has said "ready" on that descriptor.
start_ready() {
    local name=$1; shift
    local fifo="$state/$name.ready"
    rm -f "$fifo"
    mkfifo -m 600 "$fifo"
    setsid "$bin/$name" "$@" --ready-fd 3 3>"$fifo" </dev/null >>"$state/$name.log" 2>&1 &
    local pid=$!
    local line=""
    # The daemon holds the write end: its end (or its word) ends the read.
    if ! read -r -t $((ready_wait / 10)) line <"$fifo" || [ "$line" != ready ]; then
        rm -f "$fifo"
        kill "$pid" 2>/dev/null || true
        tail -n 20 "$state/$name.log" >&2 || true
        die "$name did not start (its log: $state/$name.log)"
    fi
    rm -f "$fifo"
    echo "$pid" >"$state/$name.pid"
    say "$name is ready (pid $pid)"
}

# Zelptyd detaches by itself; it is ready once its service is advertised.
start_zelptyd() {
    (cd "$bin" && ./Zelptyd) || die "Zelptyd did not start (its event log: $bin/log.zel)"
    "$bin/sapwait" -t 30 -p "$bin/ptyd.pid" "$(uname -n)" ||
        die "Zelptyd's service was not advertised (its event log: $bin/log.zel)"
    local pid
    pid=$(zelptyd_pid) || die "Zelptyd did not come up (its event log: $bin/log.zel)"
    say "Zelptyd is ready (pid $pid)"
}

# stop_pid NAME PID: SIGTERM, then wait for the process to go. Only a
# process that is still ours gets SIGKILL when it does not.
stop_pid() {
    local name=$1 pid=$2 i
    kill -TERM "$pid" 2>/dev/null || return 0
    for ((i = 0; i < ready_wait; i++)); do
        alive "$pid" || { say "$name stopped"; return 0; }
        sleep 0.1
    done
    if is_ours "$pid" "$name"; then
        say "$name (pid $pid) did not stop on SIGTERM; killing it"
        kill -KILL "$pid" 2>/dev/null || true
    fi
}

stop_zelptyd() {
    local pid i
    pid=$(zelptyd_pid) || return 0
    (cd "$bin" && ./Zelptyd -k) || say "Zelptyd -k failed"
    for ((i = 0; i < ready_wait; i++)); do
        alive "$pid" || { say "Zelptyd stopped"; return 0; }
        sleep 0.1
    done
    is_ours "$pid" Zelptyd && stop_pid Zelptyd "$pid"
}

stop_ombrad() {
    local pid
    if pid=$(ombrad_pid); then stop_pid Ombrad "$pid"; fi
    rm -f "$state/Ombrad.pid"
}

do_stop() {
    [ "$(id -u)" -eq 0 ] || die "the daemons run as root: run this as root"
    local pid
    stop_zelptyd
    stop_ombrad
    if pid=$(stack_pid); then stop_pid ipxstackd "$pid"; fi
    rm -f "$state/ipxstackd.pid"
}

do_status() {
    local d pid note
    for d in ipxstackd Ombrad Zelptyd; do
        case $d in
        ipxstackd) pid=$(stack_pid) || pid="" ;;
        Ombrad) pid=$(ombrad_pid) || pid="" ;;
        Zelptyd) pid=$(zelptyd_pid) || pid="" ;;
        esac
        note=""
        [ -n "$pid" ] && is_stale "$pid" "$d" && note=", an older build than the one installed"
        if [ -n "$pid" ]; then echo "$d: running (pid $pid$note)"; else echo "$d: not running"; fi
    done
    echo "logs: $state/ipxstackd.log, $state/Ombrad.log, $bin/log.zel (Zelptyd)"
}

build_and_install() {
    if [ -n "${DRAX_RUN_BUILD:-}" ]; then
        cmake --install "$DRAX_RUN_BUILD" --prefix "$root" >/dev/null
    else
        bash scripts/deps.sh
        cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DDRAX_TESTS=OFF \
            -DDRAX_LINKS_PREFIX=/usr/local >/dev/null
        cmake --build build/release -j "$(nproc)"
        cmake --install build/release >/dev/null
    fi
    for p in ipxstackd Ombrad Zelptyd Zeltty zelterm dunmere sapwait; do
        [ -x "$bin/$p" ] || die "$bin/$p was not built; is this tree complete?"
    done
    say "installed into $root"
}

do_start() {
    [ "$(id -u)" -eq 0 ] || die "the daemons run as root: run this as root"
    build_and_install
    mkdir -p "$state"

    local pid
    if pid=$(stack_pid); then
        if is_stale "$pid" ipxstackd; then
            say "ipxstackd (pid $pid) runs an older build; 'scripts/run.sh restart' starts the new one (open sessions end)"
        else
            say "ipxstackd already runs (pid $pid)"
        fi
    else
        local args
        args=$(stack_args)
        # shellcheck disable=SC2086  # a list of options
        start_ready ipxstackd -f $args
    fi

    # A rebuilt Ombrad or Zelptyd is restarted: sessions go on meanwhile.
    # Ombrad forgets what it advertises when it stops, so Zelptyd, which
    # registers when it starts, follows it.
    if pid=$(ombrad_pid) && is_stale "$pid" Ombrad; then
        say "Ombrad (pid $pid) runs an older build: restarting it and Zelptyd"
        stop_zelptyd
        stop_ombrad
    fi
    if pid=$(ombrad_pid); then
        say "Ombrad already runs (pid $pid)"
    else
        start_ready Ombrad -f
    fi
    if pid=$(zelptyd_pid) && is_stale "$pid" Zelptyd; then
        say "Zelptyd (pid $pid) runs an older build: restarting it (sessions go on)"
        stop_zelptyd
    fi
    if pid=$(zelptyd_pid); then
        say "Zelptyd already runs (pid $pid)"
    else
        start_zelptyd
    fi

    say "checking the stack with dunmere"
    "$bin/dunmere" || die "dunmere found the stack broken; stop everything with: scripts/run.sh stop"

    local name
    name=$(uname -n | tr '[:lower:]' '[:upper:]')
    name=${name:0:47}
    if [ -n "${DRAX_NO_SESSION:-}" ] || [ ! -t 0 ]; then
        say "everything runs; open a session with: zelterm $name"
        return 0
    fi
    say "opening a session with $name (type ~. at the start of a line to leave it)"
    "$bin/zelterm" "$name" || say "zelterm ended with status $?"
    say "the service keeps running: zelterm $name (or scripts/run.sh) opens another session, scripts/run.sh stop stops it"
}

case "${1:-start}" in
start) do_start ;;
stop) do_stop ;;
restart) do_stop; do_start ;;
status) do_status ;;
*) die "usage: scripts/run.sh [start|stop|restart|status]" ;;
esac
