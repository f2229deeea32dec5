#!/usr/bin/env bash
# Fails the system calls of real sgsplit-batch runs one at a time, each
# occurrence of each call with each error it may plausibly meet, through
# strace's fault injection, and checks every run: exit 0 only with the model
# rewritten whole and its owner, mode, ACLs and extended attributes kept;
# otherwise the model as it was (or, with exit 2, the rewritten model kept in
# a temporary file the message names); a message that gives a reason;
# nothing left behind unnamed; no crash and no hang.
# Usage: syscall_sweep.sh SGSPLIT_BATCH ROUTE... (ROUTE: rename, linked,
# other-owner, attributes, no-temp-folder, full-temp-folder; all when none)
# With SWEEP_LOG set, every run that met its injected failure is noted there.
# Runs as root. Prints one line per run that breaks a rule, the (call,
# occurrence, error) triples that were answered with a reason other than the
# error's text for review, and the number of runs per route. A whole sweep
# takes a quarter of an hour on two cores.
set -euo pipefail

# shellcheck source=scripts/sweep_lib.sh
source "$(dirname "$0")/sweep_lib.sh"
batch=$(realpath "$1")
shift
routes=("$@")
[ ${#routes[@]} -gt 0 ] || routes=(rename linked other-owner attributes no-temp-folder full-temp-folder)
work=$(mktemp -d /var/tmp/sweep.XXXXXX)
chmod 755 "$work"
trap 'umount "$work/small" 2>/dev/null || true; rm -rf "$work"' EXIT

# The errors each call may meet; calls left out (memory mapping, signal
# masks) fail only with a broken program or are swept by the address space
# limits elsewhere.
errors_of() {
  case $1 in
    openat) echo EACCES EPERM EIO ENOSPC EDQUOT EINTR ENOMEM EROFS ENOENT EMFILE ENFILE ELOOP ;;
    read | pread64) echo EIO EINTR EAGAIN ENOMEM ;;
    write | pwrite64) echo EIO ENOSPC EDQUOT EINTR EAGAIN EFBIG EPERM ;;
    close) echo EIO EINTR ENOSPC EDQUOT ;;
    fsync) echo EIO ENOSPC EDQUOT EINTR EROFS EINVAL ;;
    newfstatat | statx | fstatfs) echo EIO ENOMEM EACCES EINTR ENOENT EOVERFLOW ;;
    fcntl) echo EINTR EAGAIN EACCES ENOLCK ENOMEM EINVAL ;;
    faccessat2) echo EACCES EPERM EROFS EIO ENOMEM EINTR ETXTBSY ;;
    fchown | fchmod) echo EPERM EIO EROFS EINTR EDQUOT ENOSPC ;;
    flistxattr | fgetxattr | fsetxattr | fremovexattr)
      echo EOPNOTSUPP EIO ENOMEM ENOSPC EDQUOT EPERM EACCES ERANGE E2BIG ENODATA EINTR ;;
    ioctl) echo ENOTTY EOPNOTSUPP EIO EPERM EINVAL EACCES EINTR ;;
    getrandom) echo EINTR EAGAIN ENOSYS EPERM ;;
    linkat) echo EIO ENOSPC EDQUOT EMLINK EPERM EACCES EXDEV EINTR ENOENT EROFS EEXIST ;;
    renameat2 | renameat | rename) echo EIO ENOSPC EDQUOT EPERM EACCES EXDEV EINTR EINVAL EBUSY EROFS ENOENT ;;
    unlinkat) echo EIO EPERM EACCES EBUSY EROFS EINTR ENOENT ;;
    fallocate) echo ENOSPC EDQUOT EIO EINTR EOPNOTSUPP EFBIG ;;
    ftruncate) echo EIO EINTR EPERM EFBIG EROFS ENOSPC ;;
    getcwd) echo ENOENT EACCES ENOMEM ERANGE ;;
    readlink) echo EACCES EIO ENOMEM ENOENT ELOOP ;;
    *) ;;
  esac
}

# The C library's text for error $1 (EIO: Input/output error).
error_text() { python3 -c "import errno, os; print(os.strerror(errno.$1))"; }

# As set_up_scene, and for the two routes of the temporary folder its own.
set_up() {
  set_up_scene "$1"
  case $1 in
    no-temp-folder) tmp=$scene/t/missing ;;
    full-temp-folder)
      mkdir -p "$work/small"
      mountpoint -q "$work/small" || mount -t tmpfs -o size=8k tmpfs "$work/small"
      tmp=$work/small
      rm -rf "${tmp:?}"/*
      head -c 8192 /dev/zero >"$tmp/filler" 2>/dev/null || true
      ;;
  esac
}

# Runs the program once under strace with $1 (a strace -e inject option, or
# nothing), into $scene/out.*; sets $status.
run_once() {
  local -a strace_args=(-f -qq -o "$scene/trace")
  [ -n "$1" ] && strace_args+=(-e "trace=${1%%:*}" -e "inject=$1")
  [ -n "$run_as" ] && strace_args+=(-u "$run_as")
  status=0
  (cd "$scene" && TMPDIR=$tmp timeout -s KILL 20 strace "${strace_args[@]}" "$batch" "$model") \
    >"$scene/out.txt" 2>"$scene/err.txt" || status=$?
}

# The system calls of an undisturbed run, as "name" lines, one per call,
# from the program's first own call on (the loader's are left alone).
calls_of_run() {
  awk '{ $1 = "" } /fcntl\(0, F_GETFD\)/ { started = 1 } started { sub(/^ /, ""); sub(/\(.*/, ""); print }' \
    "$scene/trace" | grep -E '^[a-z_0-9]+$'
}

broken=0
report() {
  echo "BROKEN [$route] $*"
  broken=$((broken + 1))
}

for route in "${routes[@]}"; do
  scene=$work/$route
  set_up "$route"
  before_meta=$(metadata)
  run_once ""
  expected_status=$status
  cp "$model" "$work/$route.expected" 2>/dev/null || true
  after_meta=$(metadata)
  base_err=$(cat "$scene/err.txt")
  echo "[$route] undisturbed: exit $expected_status ${base_err:+($base_err)}"
  # Occurrence numbers, counted per call from the start of the process.
  mapfile -t plan < <(awk '{ $1 = "" } { sub(/^ /, ""); n = $0; sub(/\(.*/, "", n); if (n !~ /^[a-z_0-9]+$/) next; count[n]++ }
      /fcntl\(0, F_GETFD\)/ { started = 1 } started { print n ":" count[n] }' "$scene/trace")
  runs=0
  for step in "${plan[@]}"; do
    call=${step%%:*}
    when=${step##*:}
    for error in $(errors_of "$call"); do
      set_up "$route"
      run_once "$call:error=$error:when=$when"
      runs=$((runs + 1))
      grep -q INJECTED "$scene/trace" || continue
      err=$(cat "$scene/err.txt")
      what="$call#$when=$error exit $status: $err"
      [ -z "${SWEEP_LOG:-}" ] || echo "[$route] $what" >>"$SWEEP_LOG"
      case $status in
        0 | 1 | 2) ;;
        *) report "$what (crash or hang)"; continue ;;
      esac
      kept=
      if [[ $err == *"the rewritten model is in "* ]]; then
        kept=${err##*the rewritten model is in }
        kept=${kept%%;*}
      fi
      if [ "$status" -eq 0 ]; then
        cmp -s "$model" "$work/$route.expected" || report "$what: exit 0 but the model is not the result"
        [ "$(metadata)" = "$after_meta" ] || report "$what: exit 0 but metadata differ: $(metadata | tr '\n' ' ')"
      else
        # Failing the write of the message itself leaves nothing to say it with.
        [ -n "$err" ] || grep -q '^[0-9]* *write(2, .*INJECTED' "$scene/trace" || report "$what: no message"
        if [ -n "$kept" ]; then
          [ "$status" -eq 2 ] || report "$what: kept result with exit $status"
          cmp -s "$kept" "$work/$route.expected" || report "$what: the kept file is not the result"
        elif ! model_text | cmp -s - "$model"; then
          report "$what: the model changed"
        elif [ "$(metadata)" != "$before_meta" ]; then
          report "$what: the model's metadata changed: $(metadata | tr '\n' ' ')"
        fi
        text=$(error_text "$error")
        [[ $err == *"$text"* ]] || echo "REVIEW [$route] $what"
      fi
      if [ "$route" = linked ] && ! cmp -s "$model" "$scene/m/other.obj"; then
        report "$what: the other name holds other content"
      fi
      # Left behind: allowed only where the message names it. A removal
      # answered "No such file or directory" is taken at its word.
      [ "$call:$error" = unlinkat:ENOENT ] && continue
      while read -r left; do
        case $left in
          model.obj | other.obj | missing) continue ;;
        esac
        [[ $err == *"$left"* ]] || report "$what: left unnamed: $left"
      done < <(contents)
      # The new file beside the model and the temporary file were made for
      # their owner alone.
      if grep -E 'O_CREAT|O_TMPFILE' "$scene/trace" | grep -vE '(0600|0666)\) = ' | grep -q .; then
        report "$what: a file made with a wider mode"
      fi
    done
  done
  echo "[$route] runs: $runs (calls after start: ${#plan[@]})"
done
echo "broken: $broken"
[ "$broken" -eq 0 ]
