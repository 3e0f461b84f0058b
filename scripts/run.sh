#!/usr/bin/env bash
# The main command: build, install into /opt/DRAXipx/bin, start the stack
# daemon, Ombrad and Zelptyd, check the stack with dunmere, and open a
# terminal session on this host with zelterm.
#
#   scripts/run.sh          start everything and open a session; when
#                           everything is already running, stop it instead
#   scripts/run.sh start    start (or reuse) the daemons and open a session
#   scripts/run.sh stop     stop Zelptyd, Ombrad and ipxstackd, in that order
#   scripts/run.sh status   tell what runs
#
# Environment: IPXSTACKD_ARGS adds options to ipxstackd (for example
# "--link udp,net=0000ABCD,addr=192.0.2.7,peer=192.0.2.8"; read from
# /etc/default/ipxstackd when not set); DRAX_NO_SESSION=1 starts the daemons
# without opening a session.
set -euo pipefail
cd "$(dirname "$0")/.."
# The stack's options (its links) come from /etc/default/ipxstackd, as for
# the systemd unit, unless IPXSTACKD_ARGS is set already (see README).
if [ -z "${IPXSTACKD_ARGS+set}" ] && [ -r /etc/default/ipxstackd ]; then . /etc/default/ipxstackd; fi

bin=/opt/DRAXipx/bin
state=/opt/DRAXipx/run        # pid files and logs of the daemons started here
ready_wait=100                # tenths of a second to wait for a daemon

say() { printf 'run.sh: %s\n' "$*"; }
die() { printf 'run.sh: %s\n' "$*" >&2; exit 1; }

pid_of() {  # pid_of FILE: the live process recorded in FILE, or nothing
    local pid
    [ -r "$1" ] || return 1
    read -r pid <"$1" 2>/dev/null || return 1
    [[ "$pid" =~ ^[0-9]+$ ]] && kill -0 "$pid" 2>/dev/null && echo "$pid"
}

stack_pid() { pid_of "$state/ipxstackd.pid"; }
ombrad_pid() { pid_of "$state/Ombrad.pid"; }
zelptyd_pid() { pid_of "$bin/ptyd.pid"; }

running() { stack_pid >/dev/null || ombrad_pid >/dev/null || zelptyd_pid >/dev/null; }

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

# stop_pid NAME PID: SIGTERM, then wait for the process to go.
stop_pid() {
    local name=$1 pid=$2 i
    kill -TERM "$pid" 2>/dev/null || return 0
    for ((i = 0; i < ready_wait; i++)); do
        kill -0 "$pid" 2>/dev/null || { say "$name stopped"; return 0; }
        sleep 0.1
    done
    say "$name (pid $pid) did not stop on SIGTERM; killing it"
    kill -KILL "$pid" 2>/dev/null || true
}

do_stop() {
    local pid i
    if pid=$(zelptyd_pid); then
        (cd "$bin" && ./Zelptyd -k) || say "Zelptyd -k failed"
        for ((i = 0; i < ready_wait; i++)); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -0 "$pid" 2>/dev/null && stop_pid Zelptyd "$pid"
        say "Zelptyd stopped"
    fi
    if pid=$(ombrad_pid); then stop_pid Ombrad "$pid"; fi
    if pid=$(stack_pid); then stop_pid ipxstackd "$pid"; fi
    rm -f "$state/ipxstackd.pid" "$state/Ombrad.pid"
}

do_status() {
    local pid
    for d in ipxstackd Ombrad Zelptyd; do
        case $d in
        ipxstackd) pid=$(stack_pid) || pid="" ;;
        Ombrad) pid=$(ombrad_pid) || pid="" ;;
        Zelptyd) pid=$(zelptyd_pid) || pid="" ;;
        esac
        if [ -n "$pid" ]; then echo "$d: running (pid $pid)"; else echo "$d: not running"; fi
    done
}

build_and_install() {
    bash scripts/deps.sh
    cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DDRAX_TESTS=OFF >/dev/null
    cmake --build build/release -j "$(nproc)"
    cmake --install build/release >/dev/null
    for p in ipxstackd Ombrad Zelptyd Zeltty zelterm dunmere; do
        [ -x "$bin/$p" ] || die "$bin/$p was not built; is this tree complete?"
    done
    say "installed into $bin"
}

do_start() {
    [ "$(id -u)" -eq 0 ] || die "the daemons run as root: run this as root"
    build_and_install
    mkdir -p "$state"

    if stack_pid >/dev/null; then
        say "ipxstackd already runs"
    else
        # shellcheck disable=SC2086  # IPXSTACKD_ARGS is a list of options
        start_ready ipxstackd -f ${IPXSTACKD_ARGS:-}
    fi
    if ombrad_pid >/dev/null; then
        say "Ombrad already runs"
    else
        start_ready Ombrad -f
    fi
    if zelptyd_pid >/dev/null; then
        say "Zelptyd already runs"
    else
        # Zelptyd detaches by itself; it is up once its pid file names a
        # live process.
        (cd "$bin" && ./Zelptyd) || die "Zelptyd did not start (its event log: $bin/log.zel)"
        local i
        for ((i = 0; i < ready_wait; i++)); do
            zelptyd_pid >/dev/null && break
            sleep 0.1
        done
        zelptyd_pid >/dev/null || die "Zelptyd did not come up (its event log: $bin/log.zel)"
        say "Zelptyd is ready (pid $(zelptyd_pid))"
    fi

    say "checking the stack with dunmere"
    "$bin/dunmere" || die "dunmere found the stack broken; stop everything with: scripts/run.sh stop"

    local name
    name=$(uname -n | tr '[:lower:]' '[:upper:]')
    name=${name:0:47}
    if [ -n "${DRAX_NO_SESSION:-}" ] || [ ! -t 0 ]; then
        say "everything runs; open a session with: $bin/zelterm $name"
        return 0
    fi
    say "opening a session with $name (type ~. at the start of a line to leave it)"
    "$bin/zelterm" "$name" || say "zelterm ended with status $?"
    say "the service keeps running; run scripts/run.sh again (or scripts/run.sh stop) to stop it"
}

case "${1:-}" in
"") if running; then do_stop; else do_start; fi ;;
start) do_start ;;
stop) do_stop ;;
status) do_status ;;
*) die "usage: scripts/run.sh [start|stop|status]" ;;
esac
