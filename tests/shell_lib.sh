# What the shell tests share: a large generated model, waiting for the copy
# over a model to begin, for a process to stop and for one that was stopped
# to end, for the desktop tests a headless X server of their own and the
# program's error message window, the check that the result was committed
# before the copy into a model began, and the check that a Windows program
# is shipped stripped. Sourced; needs $work, and $batch to start a run.

# Writes a model of $2 vertices, with a group and a smoothing group every 50,
# to $1.
make_big_model() {
  awk -v n="$2" 'BEGIN { for (i = 0; i < n; i++) {
    printf "v %d.5 %d.25 -%d\n", i, i, i; if (i % 50 == 0) printf "g part%d\ns %d\n", i, i
    printf "f 1 2 3\n" } }' >"$1"
}

# Mid-run: waits until the run's temporary file in $work/tmp holds some of
# the result, and sets $temp to its path; fails after five seconds.
wait_for_temp() {
  for _ in $(seq 500); do
    temp=$(find "$work/tmp" -name 'obj*.tmp' -size +1k 2>/dev/null | head -n 1)
    [ -n "$temp" ] && return 0
    sleep 0.01
  done
  return 1
}

# Waits, 30 seconds at most, until the first bytes of model $1 differ from
# those of its copy $2 (the copy over it has begun) or process $3 has ended.
wait_for_copy() {
  for _ in $(seq 6000); do
    cmp -s -n 4096 "$1" "$2" || return 0
    kill -0 "$3" 2>/dev/null || return 0
    sleep 0.005
  done
}

# Makes $1 a big model with a second name, NAME-other.obj (so it is rewritten in
# place), starts $batch on it in the background with its standard error in
# $2, and returns, with $pid set, once the run has begun to copy its result
# into the model. The temporary folder is $work/tmp.
start_copy_into_linked_model() {
  make_big_model "$1" 1000000
  ln "$1" "${1%.obj}-other.obj"
  cp "$1" "$work/linked.before"
  TMPDIR=$work/tmp "$batch" "$1" 2>"$2" &
  pid=$!
  wait_for_copy "$1" "$work/linked.before" "$pid"
}

# Stops process $1 and waits, ten seconds at most, until it is stopped: the
# signal takes hold only as the process leaves the system, so a write it is
# making goes on meanwhile.
stop_process() {
  kill -s STOP "$1"
  for _ in $(seq 1000); do
    [ "$(sed 's/.*) //; s/ .*//' "/proc/$1/stat" 2>/dev/null)" != T ] || return 0
    sleep 0.01
  done
  return 1
}

# Waits for background process $1 to end and sets $status to its exit code.
# A shell with job control also hears of the process stopping (SIGSTOP), as
# 147, which may come after it was let go on: that is waited through.
wait_through_stop() {
  while :; do
    status=0
    wait "$1" || status=$?
    [ "$status" -eq 147 ] && kill -0 "$1" 2>/dev/null && continue
    return 0
  done
}

# Starts Xvfb on a display it picks itself, the first whose lock it can
# take (so that other servers, and the leftovers of ones that were killed,
# are passed over), and waits until it takes connections; sets DISPLAY and
# xvfb_pid, or fails the test where no server starts.
start_display() {
  local number=
  # Made here: the server's redirections are made in its own process, which
  # may not have run yet when the file is first read.
  : >"$work/display"
  : >"$work/xvfb.log"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do
    number=$(cat "$work/display")
    [ -z "$number" ] || break
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$number" ] || { echo "FAIL: no X server started: $(cat "$work/xvfb.log")" >&2; exit 1; }
  export DISPLAY=:$number
}

# The program's error message is the only window titled "sgsplit".
message_window() { xdotool search --onlyvisible --name '^sgsplit$' 2>/dev/null | head -n 1 || true; }

# Waits for it, $1 times a fifth of a second at most. A search stumbles on a
# window that closes while it looks (the file dialog's), so it is repeated
# rather than left to wait by itself.
wait_for_message() {
  local window
  for _ in $(seq "$1"); do
    window=$(message_window)
    [ -z "$window" ] || { echo "$window"; return 0; }
    sleep 0.2
  done
  return 1
}

# Checks that Windows program $1 carries no debugging information and
# nothing of the build folder $2; prints what is wrong and fails otherwise.
windows_program_problem() {
  if x86_64-w64-mingw32-objdump -h "$1" | grep '\.debug' >/dev/null; then
    echo "carries debugging information"
    return 1
  fi
  if strings -a "$1" | grep -F "$2" >/dev/null; then
    echo "names the build folder $2"
    return 1
  fi
}

# Whether, in the system calls traced by `strace -f -y` into $1, the
# temporary file (obj*.tmp) was committed to the disk before model $2 was
# first changed: cut, extended or written, which is where a copy into the
# model begins. Trace fsync, fdatasync, ftruncate, fallocate, write and
# pwrite64.
committed_before_copy() {
  awk -v model="<$2>" '
    !synced && /(fsync|fdatasync)\([0-9]+<[^>]*\/obj[^\/>]*\.tmp>/ { synced = NR }
    !copied && /(ftruncate|fallocate|write|pwrite64)\(/ && index($0, model) { copied = NR }
    END { exit !(synced && copied && synced < copied) }' "$1"
}
