# shellcheck shell=bash
# Time limits for the steps of scripts/test, scripts/demo and scripts/target-test,
# so that a step that hangs costs minutes, not a whole CI run. Sourced by bash.

# run_bounded SECONDS NAME COMMAND...: runs COMMAND, ending it and everything it
# started (SIGTERM, then SIGKILL 20 s later) when it runs longer than SECONDS; NAME
# is what the message then calls it. Returns the command's status, 124 when it ran
# out of time. Ctrl-C and SIGTERM reach the command: it runs in a process group of its
# own (timeout's), so the script passes them on and waits for it to end.
run_bounded() {
  local limit=$1 name=$2
  shift 2
  timeout -k 20 "$limit" "$@" &
  local pid=$! status
  trap 'kill -TERM "$pid" 2>/dev/null' INT TERM
  while :; do
    status=0
    wait "$pid" || status=$?
    # A trapped signal interrupts the wait, not the command: wait again until it
    # has really ended.
    kill -0 "$pid" 2>/dev/null || break
  done
  trap - INT TERM
  if ((status == 124 || status == 137)); then
    echo "${0#./}: '$name' ran out of its $limit s and was ended" >&2
  fi
  return "$status"
}

# stop_processes PID...: SIGTERM to each, up to 5 s for them to exit, then SIGKILL
# for any left (named on standard error), and reaps them.
stop_processes() {
  local pid left
  for pid in "$@"; do
    kill "$pid" 2>/dev/null || true
  done
  for _ in $(seq 50); do
    left=
    for pid in "$@"; do
      kill -0 "$pid" 2>/dev/null && [[ $(ps -o stat= -p "$pid" 2>/dev/null) != Z* ]] && left+=" $pid"
    done
    [[ -z $left ]] && break
    sleep 0.1
  done
  for pid in $left; do
    echo "${0#./}: $(ps -o comm= -p "$pid" 2>/dev/null || echo "process $pid") did not end within 5 s of SIGTERM; killed" >&2
    kill -KILL "$pid" 2>/dev/null || true
  done
  for pid in "$@"; do
    wait "$pid" 2>/dev/null || true
  done
}
