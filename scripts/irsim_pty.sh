# shellcheck shell=bash
# Sourced by the scripts that start irsim on a new pty (run.sh, soak.sh,
# bench/bench_update.sh); defines one function and runs nothing.
#
#   irsim_wait_pty LOG PID   prints the pty path irsim announced in LOG
#                            ("irsim: pty <path>"), waiting up to 10 s;
#                            prints nothing if irsim (PID) ended first or
#                            the time ran out.
irsim_wait_pty() {
    local log=$1 pid=$2 pty=""
    for _ in $(seq 200); do
        pty=$(sed -n 's/^irsim: pty //p' "$log" 2>/dev/null)
        [ -n "$pty" ] && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    printf '%s' "$pty"
}
