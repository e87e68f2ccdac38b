# Sourced by the scripts: waiting for and stopping the processes they start.
# Every wait is bounded and polls in short steps, so a signal to the script is
# seen at once.

# gone_within PID SECONDS: true once the process has ended.
gone_within() {
    local i
    for ((i = 0; i < $2 * 10; i++)); do
        kill -0 "$1" 2>/dev/null || return 0
        sleep 0.1
    done
    return 1
}

# stop_pid PID [SECONDS]: SIGTERM, then SIGKILL once SECONDS (15) have passed;
# true when it stopped politely.
stop_pid() {
    kill -TERM "$1" 2>/dev/null || return 0
    local polite=0
    gone_within "$1" "${2:-15}" || { polite=1; kill -KILL "$1" 2>/dev/null || true; }
    wait "$1" 2>/dev/null || true
    return "$polite"
}

# answers HOST PORT: something accepts a connection there.
answers() { (exec 3<>"/dev/tcp/$1/$2") 2>/dev/null; }

# wait_port HOST PORT SECONDS [PID]: until something answers there; false when
# the time runs out or the process PID has ended first.
wait_port() {
    local i
    for ((i = 0; i < $3 * 20; i++)); do
        answers "$1" "$2" && return 0
        [ -z "${4:-}" ] || kill -0 "$4" 2>/dev/null || return 1
        sleep 0.05
    done
    return 1
}

# listening_port LOG SECONDS PID: the port a lookup service started on port 0
# reports in its log ("listening on HOST:PORT"); false when it never does.
listening_port() {
    local i port
    for ((i = 0; i < $2 * 20; i++)); do
        port=$(sed -n 's/^lumeno-lookupd: listening on .*:\([0-9]\{1,5\}\) (.*/\1/p' "$1" 2>/dev/null | tail -1)
        [ -n "$port" ] && { echo "$port"; return 0; }
        kill -0 "$3" 2>/dev/null || return 1
        sleep 0.05
    done
    return 1
}
