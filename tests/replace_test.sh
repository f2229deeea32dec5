#!/usr/bin/env bash
# sgsplit-batch against what happens around a run on a real system: a signal
# in the middle of a run, a model that another user owns, with an ACL and
# extended attributes, rewritten by a member of its group, and a model
# rewritten in place while another program writes it, or on a disk without
# room for the result.
# Usage: replace_test.sh SGSPLIT_BATCH
set -euo pipefail
set -m  # background jobs take SIGINT as a terminal would send it
batch=$(realpath "$1")
work=$(mktemp -d)
chmod 755 "$work"
trap 'umount "$work/small" "$work/append/mounted.obj" "$work/layers/merged" 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# shellcheck source=tests/shell_lib.sh
source "$(dirname "$0")/shell_lib.sh"
mkdir "$work/models" "$work/tmp"

# A model big enough that a run takes a while.
make_big_model "$work/big.obj" 600000

for signal in INT TERM HUP QUIT; do
  cp "$work/big.obj" "$work/models/model.obj"
  TMPDIR=$work/tmp "$batch" "$work/models/model.obj" &
  pid=$!
  wait_for_temp || fail "SIG$signal: the run never got going"
  kill -s "$signal" "$pid"
  status=0
  wait "$pid" || status=$?
  expected=$((128 + $(kill -l "$signal")))
  [ "$status" -eq "$expected" ] || fail "SIG$signal: exit $status, expected $expected"
  [ -z "$(ls -A "$work/tmp")" ] || fail "SIG$signal: left in the temporary folder: $(ls -A "$work/tmp")"
  [ "$(ls -A "$work/models")" = model.obj ] || fail "SIG$signal: left beside the model: $(ls -A "$work/models")"
  cmp -s "$work/big.obj" "$work/models/model.obj" || fail "SIG$signal: the model changed"
done
echo "ok: signals"

# A run started with SIGHUP ignored, as nohup starts it, goes on through a
# hangup and rewrites the model.
cp "$work/big.obj" "$work/models/model.obj"
(
  trap '' HUP
  TMPDIR=$work/tmp exec "$batch" "$work/models/model.obj"
) &
pid=$!
wait_for_temp || fail "SIGHUP ignored: the run never got going"
kill -s HUP "$pid"
status=0
wait "$pid" || status=$?
[ "$status" -eq 0 ] || fail "SIGHUP ignored: exit $status"
grep -q '^g object1' "$work/models/model.obj" || fail "SIGHUP ignored: not rewritten"
[ -z "$(ls -A "$work/tmp")" ] || fail "SIGHUP ignored: left in the temporary folder: $(ls -A "$work/tmp")"
echo "ok: a hangup that the run was started to ignore"

# Past a file size limit the write fails and the run says so, rather than a
# signal ending it with the temporary file left behind.
cp "$work/big.obj" "$work/models/model.obj"
status=0
(
  ulimit -f 1024
  TMPDIR=$work/tmp "$batch" "$work/models/model.obj"
) 2>"$work/err.txt" || status=$?
[ "$status" -eq 1 ] || fail "size limit: exit $status"
# The temporary file is gone; its folder is named, since the reason does not
# say where the limit was met.
grep -qxF "sgsplit-batch: $work/models/model.obj: cannot write the temporary file: File too large; the temporary folder is $work/tmp/" "$work/err.txt" ||
  fail "size limit: message: $(cat "$work/err.txt")"
[ -z "$(ls -A "$work/tmp")" ] || fail "size limit: left in the temporary folder: $(ls -A "$work/tmp")"
cmp -s "$work/big.obj" "$work/models/model.obj" || fail "size limit: the model changed"
echo "ok: a file size limit"

# Memory that runs out at any point of a run, under a sweep of address space
# limits, with the model alone (renamed over) and with a second name
# (rewritten in place): the run ends by itself with exit 0, 1 or 2, says
# why when it fails, leaves the model as it was or rewritten, or names the
# file that holds the rewritten model, and leaves nothing unnamed behind.
# The sweep starts where the program can answer --version at all: below,
# the C++ runtime cannot even raise the failure. AddressSanitizer cannot
# start under such limits, so a sanitizer build skips it.
if ! grep -q AddressSanitizer "$batch"; then
  make_big_model "$work/limit.obj" 3000
  cp "$work/limit.obj" "$work/models/model.obj"
  TMPDIR=$work/tmp "$batch" "$work/models/model.obj" || fail "memory limit: no run without one"
  mv "$work/models/model.obj" "$work/limit.expected"
  lowest=4000
  until { (ulimit -v "$lowest" && exec "$batch" --version) >/dev/null; } 2>/dev/null; do
    lowest=$((lowest + 16))
    [ "$lowest" -lt 100000 ] || fail "memory limit: --version never ran"
  done
  for other in no yes; do
    for limit in $(seq "$lowest" 4 $((lowest + 1600))); do
      what="memory limit $limit KB, second name: $other"
      rm -f "$work/models/"*
      cp "$work/limit.obj" "$work/models/model.obj"
      [ "$other" = no ] || ln "$work/models/model.obj" "$work/models/other.obj"
      status=0
      { (ulimit -v "$limit" && TMPDIR=$work/tmp exec "$batch" "$work/models/model.obj") \
        2>"$work/err.txt"; } 2>/dev/null || status=$?
      case $status in
        0) [ ! -s "$work/err.txt" ] || fail "$what: exit 0 with $(cat "$work/err.txt")" ;;
        1 | 2) grep -q '^sgsplit-batch: .' "$work/err.txt" || fail "$what: exit $status, no message" ;;
        *) fail "$what: exit $status: $(cat "$work/err.txt")" ;;
      esac
      kept=$(sed -n 's/.*; the rewritten model is in //p' "$work/err.txt")
      if [ "$status" -eq 2 ] && [ -n "$kept" ]; then
        cmp -s "$kept" "$work/limit.expected" || fail "$what: the kept file is not the whole result"
        rm "$kept"
      elif ! cmp -s "$work/models/model.obj" "$work/limit.obj" &&
        ! cmp -s "$work/models/model.obj" "$work/limit.expected"; then
        fail "$what: the model is damaged"
      fi
      for file in "$work/tmp/"*; do
        [ -e "$file" ] || continue
        grep -qF "$file" "$work/err.txt" || fail "$what: $file left unnamed"
        rm "$file"
      done
    done
  done
  rm -f "$work/models/"*
  echo "ok: memory limits from $lowest KB"
fi

# Whoever can write the temporary folder may remove the temporary file during
# the run. The run still rewrites the model, and with nothing left behind it
# has nothing to say.
cp "$work/big.obj" "$work/models/model.obj"
TMPDIR=$work/tmp "$batch" "$work/models/model.obj" 2>"$work/err.txt" &
pid=$!
wait_for_temp || fail "temporary file removed: the run never got going"
rm "$temp"
status=0
wait "$pid" || status=$?
[ "$status" -eq 0 ] || fail "temporary file removed: exit $status"
[ ! -s "$work/err.txt" ] || fail "temporary file removed: message: $(cat "$work/err.txt")"
grep -q '^g object1' "$work/models/model.obj" || fail "temporary file removed: not rewritten"
[ -z "$(ls -A "$work/tmp")" ] || fail "temporary file removed: left in the temporary folder"
echo "ok: a temporary file that somebody else removed"

if [ "$(id -u)" -ne 0 ] || ! command -v setpriv >/dev/null; then
  echo "skip: another user's model needs root and setpriv"
  exit 0
fi
# The model belongs to root and the group nogroup, which may write it and its
# folder; nobody, a member of that group, rewrites it.
rm -rf "$work/models" && mkdir "$work/models"
printf 'g box\ns 1\nf 1 2 3\n' >"$work/models/model.obj"
chown root:nogroup "$work/models" "$work/models/model.obj"
chmod 2775 "$work/models"
chmod 0664 "$work/models/model.obj"
chmod 1777 "$work/tmp"
attributes=no
if setfacl -m u:daemon:r "$work/models/model.obj" 2>/dev/null &&
  setfattr -n user.origin -v scan "$work/models/model.obj" 2>/dev/null; then
  attributes=yes
  acl_before=$(getfacl -cn "$work/models/model.obj" 2>/dev/null)
fi
# Runs sgsplit-batch as nobody on model $1, which must then be rewritten with
# owner, group and mode $2; $3 names the case.
rewrite_as_nobody() {
  local status=0
  TMPDIR=$work/tmp setpriv --reuid=nobody --regid=nogroup --clear-groups "$batch" "$1" ||
    status=$?
  [ "$status" -eq 0 ] || fail "$3: exit $status"
  [ "$(stat -c %U:%G:%a "$1")" = "$2" ] || fail "$3: now $(stat -c %U:%G:%a "$1")"
  grep -q '^g object1' "$1" || fail "$3: not rewritten"
}
rewrite_as_nobody "$work/models/model.obj" root:nogroup:664 "another user's model"
if [ "$attributes" = yes ]; then
  [ "$(getfacl -cn "$work/models/model.obj" 2>/dev/null)" = "$acl_before" ] || fail "the ACL changed"
  [ "$(getfattr --only-values -n user.origin "$work/models/model.obj" 2>/dev/null)" = scan ] ||
    fail "the extended attribute is gone"
fi
[ "$(ls -A "$work/models")" = model.obj ] || fail "left beside the model: $(ls -A "$work/models")"
echo "ok: another user's model (ACL and attributes: $attributes)"

# Writing a file takes away its set-id bits from a writer other than the
# superuser, and its file capabilities from any writer; the rewritten model
# has them all back. The owner is nobody, then root.
mkdir "$work/own"
printf 'g box\ns 1\nf 1 2 3\n' >"$work/own/model.obj"
chown -R nobody:nogroup "$work/own"
chmod 6775 "$work/own/model.obj"
rewrite_as_nobody "$work/own/model.obj" nobody:nogroup:6775 "set-id model"
capability=no
if setcap cap_net_raw+ep "$work/own/model.obj" 2>/dev/null; then
  capability=yes
  TMPDIR=$work/tmp "$batch" "$work/own/model.obj" || fail "a model with a capability: exit $?"
  getcap "$work/own/model.obj" | grep -q 'cap_net_raw=ep' ||
    fail "the capability is gone: $(getcap "$work/own/model.obj")"
fi
[ "$(ls -A "$work/own")" = model.obj ] || fail "left beside the model: $(ls -A "$work/own")"
echo "ok: set-id bits (capability: $capability)"

# The flags that the model's owner set with chattr (no dump, no access time)
# stay on the rewritten model.
mkdir "$work/flags"
printf 'g box\ns 1\nf 1 2 3\n' >"$work/flags/model.obj"
if chattr +dA "$work/flags/model.obj" 2>/dev/null; then
  TMPDIR=$work/tmp "$batch" "$work/flags/model.obj" || fail "a model with flags: exit $?"
  lsattr -d "$work/flags/model.obj" | grep -q '^[^ ]*d[^ ]*A' ||
    fail "the flags are gone: $(lsattr -d "$work/flags/model.obj")"
  grep -q '^g object1' "$work/flags/model.obj" || fail "a model with flags: not rewritten"
  [ "$(ls -A "$work/flags")" = model.obj ] || fail "left beside the model: $(ls -A "$work/flags")"
  echo "ok: flags"
else
  echo "skip: no file flags here"
fi

# Nothing in an append-only folder can be renamed or removed: the model there
# is rewritten in place, and nothing is left beside it.
mkdir "$work/append"
printf 'g box\ns 1\nf 1 2 3\n' >"$work/append/model.obj"
if chattr +a "$work/append" 2>/dev/null; then
  status=0
  TMPDIR=$work/tmp "$batch" "$work/append/model.obj" || status=$?
  left=$(ls -A "$work/append")
  chattr -a "$work/append"
  [ "$status" -eq 0 ] || fail "append-only folder: exit $status"
  [ "$left" = model.obj ] || fail "append-only folder: left beside the model: $left"
  grep -q '^g object1' "$work/append/model.obj" || fail "append-only folder: not rewritten"
  # The same for a user who may write and search the folder but not list it.
  printf 'g box\ns 1\nf 1 2 3\n' >"$work/append/unlisted.obj"
  chown nobody:nogroup "$work/append/unlisted.obj"
  chmod 0733 "$work/append"
  chattr +a "$work/append"
  status=0
  TMPDIR=$work/tmp setpriv --reuid=nobody --regid=nogroup --clear-groups \
    "$batch" "$work/append/unlisted.obj" 2>"$work/err.txt" || status=$?
  chattr -a "$work/append"
  chmod 0755 "$work/append"
  left=$(ls -A "$work/append")
  [ "$status" -eq 0 ] || fail "unlisted append-only folder: exit $status: $(cat "$work/err.txt")"
  [ "$left" = "$(printf 'model.obj\nunlisted.obj')" ] ||
    fail "unlisted append-only folder: left beside the model: $left"
  grep -q '^g object1' "$work/append/unlisted.obj" || fail "unlisted append-only folder: not rewritten"
  rm "$work/append/unlisted.obj"
  echo "ok: an append-only folder"
else
  echo "skip: no append-only folders here"
fi

# A file mounted over the model (a bind mount, as containers have) cannot be
# renamed over: it is rewritten in place, through the mount, and nothing is
# left beside it.
printf 'g box\ns 1\nf 1 2 3\n' >"$work/mounted-source.obj"
: >"$work/append/mounted.obj"
if mount --bind "$work/mounted-source.obj" "$work/append/mounted.obj" 2>/dev/null; then
  status=0
  TMPDIR=$work/tmp "$batch" "$work/append/mounted.obj" 2>"$work/err.txt" || status=$?
  left=$(ls -A "$work/append")
  umount "$work/append/mounted.obj"
  [ "$status" -eq 0 ] || fail "a mounted file: exit $status: $(cat "$work/err.txt")"
  [ "$left" = "$(printf 'model.obj\nmounted.obj')" ] || fail "a mounted file: left beside it: $left"
  grep -q '^g object1' "$work/mounted-source.obj" || fail "a mounted file: not rewritten"
  echo "ok: a file mounted over the model"
else
  echo "skip: no bind mounts here"
fi

# A model in a lower layer of an overlay (a container's image) is copied into
# the upper layer when it is first opened for writing. The copy holds the
# same bytes and modification time, with a new change time, and, for a model
# with other names, a new inode: no change of the model, which a run that
# writes into the model itself rewrites. Here a member of its group, as in
# any model of another owner, and root one with a second name.
mkdir -p "$work/layers/lower/models" "$work/layers/upper" "$work/layers/work" "$work/layers/merged"
printf 'g box\ns 1\nf 1 2 3\n' >"$work/layers/lower/models/group.obj"
printf 'g box\ns 1\nf 1 2 3\n' >"$work/layers/lower/models/linked.obj"
ln "$work/layers/lower/models/linked.obj" "$work/layers/lower/models/linked-other.obj"
chown root:nogroup "$work/layers/lower/models" "$work/layers/lower/models/group.obj"
chmod 2775 "$work/layers/lower/models"
chmod 0664 "$work/layers/lower/models/group.obj"
if mount -t overlay overlay -o "lowerdir=$work/layers/lower,upperdir=$work/layers/upper,workdir=$work/layers/work" \
  "$work/layers/merged" 2>/dev/null; then
  rewrite_as_nobody "$work/layers/merged/models/group.obj" root:nogroup:664 "a model in an image's layer"
  status=0
  TMPDIR=$work/tmp "$batch" "$work/layers/merged/models/linked.obj" 2>"$work/err.txt" || status=$?
  [ "$status" -eq 0 ] || fail "a linked model in an image's layer: exit $status: $(cat "$work/err.txt")"
  grep -q '^g object1' "$work/layers/merged/models/linked.obj" ||
    fail "a linked model in an image's layer: not rewritten"
  left=$(ls -A "$work/layers/merged/models")
  umount "$work/layers/merged"
  [ "$left" = "$(printf 'group.obj\nlinked-other.obj\nlinked.obj')" ] ||
    fail "an image's layer: left beside the model: $left"
  echo "ok: models in a lower layer of an overlay"
else
  echo "skip: no overlay mounts here"
fi

# A model with a second name is rewritten in place, and nothing keeps another
# program from writing it at the same time. One that writes it over and over
# from the moment the copy begins is found afterwards: the run says so, exits
# 2 and keeps the whole result.
make_big_model "$work/busy.expected" 1000000
"$batch" "$work/busy.expected"
start_copy_into_linked_model "$work/models/busy.obj" "$work/err.txt"
(while :; do printf "the user's save\n" >"$work/models/busy.obj"; done) &
saver=$!
status=0
wait "$pid" || status=$?
kill "$saver"
wait "$saver" 2>/dev/null || true
[ "$status" -eq 2 ] || fail "written meanwhile: exit $status"
kept=$(sed -n 's/^sgsplit-batch: .*busy\.obj: another program wrote to the model while the result was copied into it; the rewritten model is in \(.*\)$/\1/p' "$work/err.txt")
[ -n "$kept" ] || fail "written meanwhile: message: $(cat "$work/err.txt")"
cmp "$kept" "$work/busy.expected" || fail "written meanwhile: the kept file is not the whole result"
rm "$kept" "$work/models/busy.obj" "$work/models/busy-other.obj"
echo "ok: a model written meanwhile"

# An editor that saves such a model by renaming a new file over it while the
# result is copied in (the run is stopped there, and goes on once the save is
# made) keeps its save; the result went into the file that the model's name
# no longer leads to, so the run says so, exits 2 and keeps the whole result.
start_copy_into_linked_model "$work/models/busy.obj" "$work/err.txt"
stop_process "$pid" || fail "renamed over meanwhile: the run did not stop"
printf "the user's save\n" >"$work/models/saved.obj"
mv "$work/models/saved.obj" "$work/models/busy.obj"
kill -s CONT "$pid"
wait_through_stop "$pid"
[ "$status" -eq 2 ] || fail "renamed over meanwhile: exit $status: $(cat "$work/err.txt")"
kept=$(sed -n 's/^sgsplit-batch: .*busy\.obj: another program replaced or removed the model while the result was copied into it; the rewritten model is in \(.*\)$/\1/p' "$work/err.txt")
[ -n "$kept" ] || fail "renamed over meanwhile: message: $(cat "$work/err.txt")"
cmp "$kept" "$work/busy.expected" || fail "renamed over meanwhile: the kept file is not the whole result"
[ "$(cat "$work/models/busy.obj")" = "the user's save" ] || fail "renamed over meanwhile: the save is gone"
rm "$kept" "$work/models/busy.obj" "$work/models/busy-other.obj"
echo "ok: a model renamed over meanwhile"

# Two runs on such a model at once: the first, stopped part way through the
# copy into the model (a Ctrl-Z), holds it half old, half new. The second
# leaves it alone and says why, rather than rewriting that mixture and
# passing for done; the first, let go on, finishes the model whole.
start_copy_into_linked_model "$work/models/busy.obj" "$work/err.txt"
stop_process "$pid" || fail "two runs: the first did not stop"
cp "$work/models/busy.obj" "$work/busy.half"
status=0
TMPDIR=$work/tmp "$batch" "$work/models/busy.obj" 2>"$work/err2.txt" || status=$?
cmp -s "$work/models/busy.obj" "$work/busy.half" || fail "two runs: the second changed the model"
kill -s CONT "$pid"
[ "$status" -eq 1 ] || fail "two runs: the second: exit $status: $(cat "$work/err2.txt")"
grep -qxF "sgsplit-batch: $work/models/busy.obj: cannot open for reading: Locked by another program that is writing it" \
  "$work/err2.txt" || fail "two runs: the second: message: $(cat "$work/err2.txt")"
wait_through_stop "$pid"
[ "$status" -eq 0 ] || fail "two runs: the first: exit $status: $(cat "$work/err.txt")"
cmp "$work/models/busy.obj" "$work/busy.expected" || fail "two runs: the model is not the first run's whole result"
[ -z "$(ls -A "$work/tmp")" ] || fail "two runs: left in the temporary folder: $(ls -A "$work/tmp")"
rm "$work/models/busy.obj" "$work/models/busy-other.obj" "$work/busy.half"
echo "ok: two runs at once on a model rewritten in place"

# Before the result is copied into a model with a second name, the temporary
# file, then the one other whole copy, is committed to the disk: a power cut
# during the copy must not take both.
if command -v strace >/dev/null; then
  printf 'g a\ns 1\nf 1 2 3\n' >"$work/models/linked.obj"
  ln "$work/models/linked.obj" "$work/models/linked-other.obj"
  # The leak checker of a sanitizer build cannot work under a tracer.
  TMPDIR=$work/tmp ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 \
    strace -f -y -qq -e trace=fsync,fdatasync,ftruncate,fallocate,write,pwrite64 \
    -o "$work/trace.txt" "$batch" "$work/models/linked.obj" || fail "committed first: the run failed"
  committed_before_copy "$work/trace.txt" "$work/models/linked.obj" ||
    fail "committed first: the temporary file was not committed before the copy: $(cat "$work/trace.txt")"
  rm "$work/models/linked.obj" "$work/models/linked-other.obj"
  echo "ok: the result committed before it is copied into the model"
else
  echo "skip: committing the result first needs strace"
fi

# The system failing one call of the last steps of a replacement by rename:
# the look at the model just before the swap of names and the look at what
# came out right after it leave the model as it was, with the failure as the
# reason rather than a change nobody made; the old model that cannot be
# removed once the result is in place is named. Each call is found in an
# undisturbed run's trace, then failed alone in a run on the same model.
if command -v strace >/dev/null; then
  # The number of the first call $1 whose line in trace $3 matches $2,
  # counting that call's lines from 1, as strace's injection counts.
  occurrence() {
    awk -v call="$1(" -v pattern="$2" 'index($0, call) == 1 { n++; if ($0 ~ pattern) { print n; exit } }' "$3"
  }
  printf 'g a\ns 1\nf 1 2 3\n' >"$work/last.before"
  while IFS='|' read -r what call pattern expected message; do
    cp "$work/last.before" "$work/models/last.obj"
    TMPDIR=$work/tmp ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 \
      strace -qq -o "$work/trace.txt" "$batch" "$work/models/last.obj" || fail "$what: the undisturbed run failed"
    cp "$work/models/last.obj" "$work/last.expected"
    when=$(occurrence "$call" "$pattern" "$work/trace.txt")
    [ -n "$when" ] || fail "$what: no $call in the trace: $(cat "$work/trace.txt")"
    cp "$work/last.before" "$work/models/last.obj"
    status=0
    TMPDIR=$work/tmp ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 \
      strace -qq -o /dev/null -e trace="$call" -e inject="$call:error=EIO:when=$when" \
      "$batch" "$work/models/last.obj" 2>"$work/err.txt" || status=$?
    [ "$status" -eq "$expected" ] || fail "$what: exit $status: $(cat "$work/err.txt")"
    grep -qF "sgsplit-batch: $work/models/last.obj: $message" "$work/err.txt" ||
      fail "$what: message: $(cat "$work/err.txt")"
    [ -z "$(ls -A "$work/tmp")" ] || fail "$what: left in the temporary folder: $(ls -A "$work/tmp")"
    if [ "$expected" -eq 0 ]; then
      cmp -s "$work/models/last.obj" "$work/last.expected" || fail "$what: the model is not the result"
      left=$(sed -n 's/.*; the old model is left in //p' "$work/err.txt")
      cmp -s "$work/last.before" "$left" || fail "$what: the file named does not hold the old model"
      rm "$left"
    else
      cmp -s "$work/last.before" "$work/models/last.obj" || fail "$what: the model changed"
    fi
    left=$(find "$work/models" -name '.sgsplit-*')
    [ -z "$left" ] || fail "$what: left beside the model: $left"
  done <<'EOF'
the last look at the model|newfstatat|^newfstatat\([0-9]+, "last\.obj"|2|cannot replace the file: Input/output error
the look at what came out|newfstatat|^newfstatat\([0-9]+, "\.sgsplit-|2|cannot replace the file: Input/output error
removing the old model|unlinkat|^unlinkat\([0-9]+, "\.sgsplit-|0|cannot delete the old model: Input/output error; the old model is left in
EOF
  rm "$work/models/last.obj"
  echo "ok: the last steps of a replacement failing"
else
  echo "skip: failing the last steps of a replacement needs strace"
fi

# Another program saving the model twice while the names are swapped: once
# just before the first swap, and once more, by a rename over the model or by
# writing into what its name leads to, before the swap back. Each swap is held
# up for a while as it is made. The later save keeps the model's name, the
# earlier one stays beside the model and is named, and the run ends with 2.
if command -v strace >/dev/null; then
  # Waits until trace $1, which strace may not have made yet, shows the
  # run's call number $2 to swap names.
  wait_for_swap() {
    local calls
    for _ in $(seq 200); do
      calls=$(grep -c ' renameat2(' "$1" 2>/dev/null) || true
      [ "${calls:-0}" -lt "$2" ] || return 0
      sleep 0.05
    done
    return 1
  }
  for later in renamed written; do
    what="a save just before the swap and one $later before the swap back"
    # On a busy machine a save may miss its moment, the two seconds a swap
    # is held up from the time the trace gives it; the case is then set up
    # again.
    for _ in 1 2 3; do
      printf 'g a\ns 1\nf 1 2 3\n' >"$work/models/twice.obj"
      rm -f "$work/trace.txt" "$work/models/".sgsplit-*  # what the last attempt left
      TMPDIR=$work/tmp ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 \
        strace -qq -ttt -o "$work/trace.txt" -e trace=renameat2 \
        -e inject=renameat2:delay_enter=2000000 "$batch" "$work/models/twice.obj" 2>"$work/err.txt" &
      pid=$!
      wait_for_swap "$work/trace.txt" 1 || fail "$what: no swap: $(cat "$work/trace.txt")"
      printf 'earlier save\n' >"$work/models/twice.new"
      mv "$work/models/twice.new" "$work/models/twice.obj"
      earlier=$(date +%s.%N)
      later_at=0
      if wait_for_swap "$work/trace.txt" 2; then
        if [ "$later" = renamed ]; then
          printf 'later save\n' >"$work/models/twice.new"
          mv "$work/models/twice.new" "$work/models/twice.obj"
        else
          printf 'later save\n' >"$work/models/twice.obj"
        fi
        later_at=$(date +%s.%N)
      fi
      status=0
      wait "$pid" || status=$?
      awk -v earlier="$earlier" -v later="$later_at" '/ renameat2\(/ { n++; at[n] = $1 }
        END { exit !(n >= 2 && earlier < at[1] + 1.9 && later > 0 && later < at[2] + 1.9) }' \
        "$work/trace.txt" && break
    done
    [ "$status" -eq 2 ] || fail "$what: exit $status: $(cat "$work/err.txt")"
    [ "$(cat "$work/models/twice.obj")" = "later save" ] ||
      fail "$what: the model holds '$(cat "$work/models/twice.obj")'"
    grep -qF "sgsplit-batch: $work/models/twice.obj: the model changed while it was being rewritten; the old model is left in $work/models/.sgsplit-" "$work/err.txt" ||
      fail "$what: message: $(cat "$work/err.txt")"
    left=$(sed -n 's/.*; the old model is left in //p' "$work/err.txt")
    [ "$(cat "$left")" = "earlier save" ] || fail "$what: the file named holds '$(cat "$left")'"
    rm "$left"
    left=$(find "$work/models" -name '.sgsplit-*')
    [ -z "$left" ] || fail "$what: left beside the model: $left"
    [ -z "$(ls -A "$work/tmp")" ] || fail "$what: left in the temporary folder: $(ls -A "$work/tmp")"
  done
  rm "$work/models/twice.obj"
  echo "ok: two saves while the names are swapped"

  # Where the look at what came out of the swap fails and so does the swap
  # back, the model's name leads to the result, the result is kept, and the
  # old model, left beside it, is named.
  printf 'g a\ns 1\nf 1 2 3\n' >"$work/models/stranded.obj"
  cp "$work/models/stranded.obj" "$work/stranded.before"
  TMPDIR=$work/tmp ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 \
    strace -qq -o "$work/trace.txt" "$batch" "$work/models/stranded.obj"
  cp "$work/models/stranded.obj" "$work/stranded.expected"
  when=$(occurrence newfstatat '^newfstatat\([0-9]+, "\.sgsplit-' "$work/trace.txt")
  cp "$work/stranded.before" "$work/models/stranded.obj"
  status=0
  TMPDIR=$work/tmp ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 \
    strace -qq -o /dev/null -e trace=newfstatat,renameat2 \
    -e inject="newfstatat:error=EIO:when=${when:?no look in the trace}" \
    -e inject=renameat2:error=EIO:when=2 \
    "$batch" "$work/models/stranded.obj" 2>"$work/err.txt" || status=$?
  [ "$status" -eq 2 ] || fail "swap back failing: exit $status: $(cat "$work/err.txt")"
  cmp -s "$work/models/stranded.obj" "$work/stranded.expected" ||
    fail "swap back failing: the model is not the result"
  kept=$(sed -n 's/.*; the rewritten model is in \(.*\); the old model is left in .*/\1/p' "$work/err.txt")
  left=$(sed -n 's/.*; the old model is left in //p' "$work/err.txt")
  cmp -s "$kept" "$work/stranded.expected" || fail "swap back failing: message $(cat "$work/err.txt")"
  cmp -s "$left" "$work/stranded.before" || fail "swap back failing: message $(cat "$work/err.txt")"
  rm "$kept" "$left" "$work/models/stranded.obj"
  echo "ok: the swap back failing"
else
  echo "skip: two saves while the names are swapped needs strace"
fi

# A signal at one of the steps that put the result in place waits until
# the model is wholly new: the run then ends with 128 plus its number, the
# model rewritten, its other name with it, and nothing left beside the model
# or in the temporary folder. Each call is found in an undisturbed run's
# trace, and the signal sent as that call is made.
if command -v strace >/dev/null; then
  printf 'g a\ns 1\nf 1 2 3\n' >"$work/last.before"
  while IFS='|' read -r what linked call pattern; do
    for pass in undisturbed signalled; do
      rm -f "$work/models/last.obj" "$work/models/last-other.obj"
      cp "$work/last.before" "$work/models/last.obj"
      [ "$linked" = no ] || ln "$work/models/last.obj" "$work/models/last-other.obj"
      if [ "$pass" = undisturbed ]; then
        TMPDIR=$work/tmp ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 \
          strace -qq -o "$work/trace.txt" "$batch" "$work/models/last.obj" || fail "$what: the undisturbed run failed"
        cp "$work/models/last.obj" "$work/last.expected"
        when=$(occurrence "$call" "$pattern" "$work/trace.txt")
        [ -n "$when" ] || fail "$what: no $call in the trace: $(cat "$work/trace.txt")"
      fi
    done
    status=0
    TMPDIR=$work/tmp ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 \
      strace -qq -o "$work/trace.txt" -e trace="$call" -e inject="$call:signal=SIGTERM:when=$when" \
      "$batch" "$work/models/last.obj" 2>"$work/err.txt" || status=$?
    grep -q -- '--- SIGTERM ' "$work/trace.txt" || fail "$what: the signal never came"
    [ "$status" -eq 143 ] || fail "$what: exit $status: $(cat "$work/err.txt")"
    cmp -s "$work/models/last.obj" "$work/last.expected" || fail "$what: the model is not the result"
    [ "$linked" = no ] || cmp -s "$work/models/last.obj" "$work/models/last-other.obj" ||
      fail "$what: the other name holds other content"
    [ -z "$(ls -A "$work/tmp")" ] || fail "$what: left in the temporary folder: $(ls -A "$work/tmp")"
    left=$(find "$work/models" -name '.sgsplit-*')
    [ -z "$left" ] || fail "$what: left beside the model: $left"
  done <<'EOF'
giving the new file its name|no|linkat|"\.sgsplit-
the swap of names|no|renameat2|"\.sgsplit-
the look at what came out|no|newfstatat|^newfstatat\([0-9]+, "\.sgsplit-
removing the old model|no|unlinkat|^unlinkat\([0-9]+, "\.sgsplit-
taking the room in the model|yes|fallocate|.
giving the model the result's length|yes|ftruncate|.
EOF
  rm -f "$work/models/last.obj" "$work/models/last-other.obj"
  echo "ok: a signal while the result is put in place"
else
  echo "skip: a signal at the steps of putting the result in place needs strace"
fi

# Any signal that would end the run waits while the result is copied into a
# model with a second name, not only the usual four (the real-time signals
# too): the model comes out whole, and nothing is left in the temporary
# folder.
make_big_model "$work/models/held.obj" 1000000
cp "$work/models/held.obj" "$work/held.before"
cp "$work/models/held.obj" "$work/held.expected"
"$batch" "$work/held.expected"
for signal in USR1 USR2 ALRM VTALRM PROF XCPU IO PWR STKFLT RTMIN RTMAX; do
  cp "$work/held.before" "$work/models/held.obj"
  ln "$work/models/held.obj" "$work/models/held-other.obj"
  TMPDIR=$work/tmp "$batch" "$work/models/held.obj" &
  pid=$!
  wait_for_copy "$work/models/held.obj" "$work/held.before" "$pid"
  kill -s "$signal" "$pid"
  status=0
  wait "$pid" || status=$?
  expected=$((128 + $(kill -l "$signal")))
  [ "$status" -eq "$expected" ] || fail "SIG$signal in place: exit $status, expected $expected"
  cmp -s "$work/models/held.obj" "$work/held.expected" || fail "SIG$signal in place: the model is not whole"
  [ -z "$(ls -A "$work/tmp")" ] || fail "SIG$signal in place: left in the temporary folder: $(ls -A "$work/tmp")"
  rm "$work/models/held.obj" "$work/models/held-other.obj"
done
echo "ok: other signals during a copy into the model"

# A signal that comes while the result is copied into a model that another
# program writes at the same time ends the run once the copy is done, with no
# message: the temporary file is then the one whole copy of the result, and
# stays in the temporary folder.
start_copy_into_linked_model "$work/models/busy.obj" "$work/err.txt"
(while :; do printf "the user's save\n" >"$work/models/busy.obj"; done) &
saver=$!
kill -s TERM "$pid"
status=0
wait "$pid" || status=$?
kill "$saver"
wait "$saver" 2>/dev/null || true
[ "$status" -eq 143 ] || fail "SIGTERM, written meanwhile: exit $status"
kept=$(find "$work/tmp" -name 'obj*.tmp')
[ -n "$kept" ] || fail "SIGTERM, written meanwhile: the temporary file was removed"
cmp "$kept" "$work/busy.expected" || fail "SIGTERM, written meanwhile: the kept file is not the whole result"
rm "$kept" "$work/models/busy.obj" "$work/models/busy-other.obj"
echo "ok: a signal while another program writes the model"

# A model with a second name is rewritten in place. On a disk with no room
# for the longer result it keeps its content and its length, and the run
# says it failed.
mkdir "$work/small"
truncate -s 32M "$work/small.img"
if ! command -v mkfs.ext4 >/dev/null || ! mkfs.ext4 -q -F -m 0 "$work/small.img" ||
  ! mount -o loop "$work/small.img" "$work/small" 2>/dev/null; then
  echo "skip: a full disk needs mkfs.ext4 and a loop device"
  exit 0
fi
head -c 3000000 "$work/big.obj" >"$work/small/model.obj"
cp "$work/small/model.obj" "$work/before.obj"
ln "$work/small/model.obj" "$work/small/other.obj"
# Fill the disk, then free less than the result needs beyond the model.
dd if=/dev/zero of="$work/small/filler" bs=64k 2>/dev/null || true
truncate -s -64K "$work/small/filler"
sync
status=0
TMPDIR=$work/tmp "$batch" "$work/small/model.obj" 2>"$work/err.txt" || status=$?
[ "$status" -ne 0 ] || fail "full disk: the run passed for done"
cmp -s "$work/before.obj" "$work/small/model.obj" ||
  fail "full disk: the model changed: $(stat -c %s "$work/small/model.obj") bytes, was $(stat -c %s "$work/before.obj")"
grep -q 'cannot replace the file: No space left on device' "$work/err.txt" || fail "full disk: message: $(cat "$work/err.txt")"
[ -z "$(ls -A "$work/tmp")" ] || fail "full disk: left in the temporary folder: $(ls -A "$work/tmp")"
umount "$work/small"
echo "ok: a full disk"
