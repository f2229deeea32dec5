#!/usr/bin/env bash
# Runs real sgsplit-batch processes under every value of a resource limit at
# which a run's behaviour can change, on each way of putting the result in
# place, and checks every run as syscall_sweep.sh does: exit 0 only with the
# model rewritten whole and its owner, mode, ACLs and extended attributes
# kept; otherwise the model as it was (or, with exit 2, the rewritten model
# kept in a temporary file the message names); a message that gives a
# reason; nothing left behind unnamed; no crash, abort or hang.
# Usage: limit_sweep.sh SGSPLIT_BATCH [LIMIT...]
# LIMIT: as (the address space, a page at a time from where the loader
# fails to past where runs go through, with the C library's heap grown by
# what each allocation needs, by its default, and with every block of 4 KB
# or more mapped by itself), line (a model of one 200 MB line, the address
# space in steps of 8 MB), nofile (0 to 12 descriptors, standard streams
# open or closed, one to three files named), fsize (every size around the
# result's and the model's), disk (a small tmpfs, and an ext4 of 1 KB blocks
# whose extended attributes take blocks of their own, for the temporary
# folder, then for the model's folder, with N bytes left, N across twice the
# result's size, and one with no inode left); all when none. The program
# starts no threads or processes, so there is no process limit to sweep.
# ROUTE (SWEEP_ROUTES, all when unset): rename, linked, other-owner,
# attributes. With SWEEP_LOG set, every run is noted there. Runs as root.
# Prints one line per run that breaks a rule and the number of runs per
# limit and route; the whole sweep takes some twenty minutes on two cores.
set -euo pipefail

# shellcheck source=scripts/sweep_lib.sh
source "$(dirname "$0")/sweep_lib.sh"
batch=$(realpath "$1")
shift
limits=("$@")
[ ${#limits[@]} -gt 0 ] || limits=(as line nofile fsize disk)
read -r -a routes <<<"${SWEEP_ROUTES:-rename linked other-owner attributes}"
work=$(mktemp -d /var/tmp/limits.XXXXXX)
chmod 755 "$work"
small=$work/small
cleanup() {
  umount "$small" 2>/dev/null || true
  umount "$work/line" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

long_model_text() {
  printf 'v 0 0 0\nv 1 0 0\nv 0 1 0\ng a\n'
  # Enough parts that the result is some blocks long, and longer than the model.
  for i in $(seq 300); do printf 's %d\nf 1 2 3\n' "$i"; done
}

# Makes a fresh scene for route $1 in $scene: the model $model (text from
# $model_source), the temporary folder $tmp, and $run_as, the user the run
# is made as. With $2 set, the model's folder is $2 instead.
set_up() {
  rm -rf "$scene"
  mkdir -p "$scene/t"
  local folder=${2:-$scene/m}
  mkdir -p "$folder"
  chmod 755 "$scene" "$folder"
  model_folder=$folder
  model=$folder/model.obj
  tmp=${temp_folder:-$scene/t}
  cp "$model_source" "$model"
  give_route "$1"
}

# Runs the program once on the model, with the words in $limit (prlimit's
# options) and the environment in $tunables, standard streams as $streams
# says (closed: all three closed); sets $status.
run_once() {
  local -a as_user=()
  [ -z "$run_as" ] || as_user=(setpriv --reuid="$run_as" --regid=nogroup --clear-groups --)
  status=0
  # shellcheck disable=SC2086 # $limit holds several options
  if [ "${streams:-}" = closed ]; then
    (cd "$scene" && GLIBC_TUNABLES=$tunables TMPDIR=$tmp timeout -s KILL 60 "${as_user[@]}" \
      prlimit $limit -- "$batch" "$model" "${extra[@]}" <&- >&- 2>&-) || status=$?
    : >"$scene/err.txt"
  else
    # Standard error through a pipe, which a file size limit leaves alone.
    (cd "$scene" && GLIBC_TUNABLES=$tunables TMPDIR=$tmp timeout -s KILL 60 "${as_user[@]}" \
      prlimit $limit -- "$batch" "$model" "${extra[@]}" 2>&1 >"$scene/out.txt") |
      cat >"$scene/err.txt" && status=${PIPESTATUS[0]} || status=${PIPESTATUS[0]}
  fi
}

broken=0
report() {
  echo "BROKEN [$what_limit/$route] $*"
  broken=$((broken + 1))
}

# Checks the run just made, described by $1.
check() {
  runs=$((runs + 1))
  local what
  what="$1 exit $status: $(head -c 300 "$scene/err.txt" | tr '\n' '|')"
  local err
  err=$(cat "$scene/err.txt")
  [ -z "${SWEEP_LOG:-}" ] || echo "[$what_limit/$route] $what" >>"$SWEEP_LOG"
  # The loader that cannot map the program's libraries, or give its first
  # thread its data, never starts it.
  if [ "$status" -eq 127 ] && [[ $err == *"error while loading shared libraries"* ||
    $err == *"cannot allocate TLS data"* || $err == "" ]]; then
    model_text_is_old || report "$what: not started, but the model changed"
    return
  fi
  case $status in
    0 | 1 | 2) ;;
    *) report "$what (crash, abort or hang)" ;;
  esac
  local kept=
  if [[ $err == *"the rewritten model is in "* ]]; then
    kept=${err##*the rewritten model is in }
    kept=${kept%%;*}
  fi
  if [ "$status" -eq 0 ]; then
    cmp -s "$model" "$expected" || report "$what: exit 0 but the model is not the result"
    [ "$(metadata)" = "$after_meta" ] || report "$what: exit 0 but metadata differ: $(metadata | tr '\n' ' ')"
  else
    [ -n "$err" ] || [ "${streams:-}" = closed ] || report "$what: no message"
    if [ -n "$kept" ]; then
      [ "$status" -eq 2 ] || report "$what: kept result with exit $status"
      cmp -s "$kept" "$expected" || report "$what: the kept file is not the result"
    elif [ ${#extra[@]} -gt 0 ] && cmp -s "$model" "$expected"; then
      # Rewritten; the code is another model's.
      [ "$(metadata)" = "$after_meta" ] || report "$what: rewritten, but metadata differ"
    elif ! model_text_is_old; then
      report "$what: the model changed"
    elif [ "$(metadata)" != "$before_meta" ]; then
      report "$what: the model's metadata changed: $(metadata | tr '\n' ' ')"
    fi
  fi
  # Further models named: each is old or the result, and the result where
  # the run says all were rewritten.
  local further
  for further in "${extra[@]}"; do
    if cmp -s "$further" "$expected"; then continue; fi
    if [ "$status" -eq 0 ] || ! cmp -s "$further" "$model_source"; then
      [[ $err == *"the rewritten model is in "* ]] || report "$what: $further is neither old nor the result"
    fi
  done
  if [ "$route" = linked ] && ! cmp -s "$model" "$model_folder/other.obj"; then
    report "$what: the other name holds other content"
  fi
  while read -r left; do
    case $left in
      model.obj | other.obj | second.obj | third.obj | lost+found) continue ;;
    esac
    [[ $err == *"$left"* ]] || report "$what: left unnamed: $left"
  done < <(contents)
  if ls "$scene"/core* >/dev/null 2>&1; then report "$what: a core was dumped"; fi
}

model_text_is_old() { cmp -s "$model_source" "$model"; }

# The result and metadata of an undisturbed run on route $route, in the
# model's folder $1 where set (file systems show flags of their own).
baseline() {
  set_up "$route" "$@"
  before_meta=$(metadata)
  extra=(); limit='' tunables='' run_once
  [ "$status" -eq 0 ] || { echo "[$route] undisturbed run failed: $(cat "$scene/err.txt")"; exit 1; }
  expected=$work/$route.expected
  cp "$model" "$expected"
  after_meta=$(metadata)
}

sweep_as() {
  # From where the loader fails to well past where runs start to work, a
  # page at a time; the heap grown by what each allocation needs, so that
  # each in turn is the one that fails, or by the library's default.
  local kb
  # Blocks of 4 KB and more mapped each by itself, too, so that each of
  # those is an allocation that can fail by itself.
  for tunables in glibc.malloc.top_pad=0 "" glibc.malloc.top_pad=0:glibc.malloc.mmap_threshold=4096; do
    for kb in $(seq 5400 4 6400); do
      set_up "$route"
      limit="--as=$((kb * 1024))" run_once
      check "as=${kb}K${tunables:+ $tunables}"
    done
  done
}

sweep_line() {
  # One line of 200 MB, 400 MB as characters, whose growth runs out of room.
  mkdir -p "$work/line"
  mountpoint -q "$work/line" || mount -t tmpfs -o size=1g tmpfs "$work/line"
  local saved=$model_source mb
  model_source=$work/line/long.obj
  [ -s "$model_source" ] || { printf 's 1\n'; head -c 200000000 /dev/zero | tr '\0' 'x'; printf '\n'; } >"$model_source"
  baseline ""
  for mb in $(seq 8 8 1800); do
    set_up "$route"
    tunables='' limit="--as=$((mb * 1024 * 1024))" run_once
    check "line as=${mb}M"
    [ "$status" -ne 0 ] || break
  done
  model_source=$saved
  rm -f "$work/line/long.obj"
}

sweep_nofile() {
  local n s
  for s in open closed; do
    for n in $(seq 0 12); do
      for files in 1 2 3; do
        set_up "$route"
        extra=()
        # Further models beside the first, made as it is.
        [ "$files" -lt 2 ] || { cp -a "$model" "$model_folder/second.obj"; extra+=("$model_folder/second.obj"); }
        [ "$files" -lt 3 ] || { cp -a "$model" "$model_folder/third.obj"; extra+=("$model_folder/third.obj"); }
        streams=$s tunables='' limit="--nofile=$n" run_once
        streams=$s check "nofile=$n streams $s, $files files"
      done
    done
  done
  streams=
  extra=()
}

sweep_fsize() {
  local size model_size result_size
  model_size=$(stat -c %s "$model_source")
  result_size=$(stat -c %s "$expected")
  for size in $(seq $((model_size - 3)) $((model_size + 3))) $(seq $((result_size - 3)) $((result_size + 3))) \
    0 1 4095 4096 4097 65535 65536 65537; do
    set_up "$route"
    tunables='' limit="--fsize=$size" run_once
    check "fsize=$size"
  done
}

# Fills the small file system at $small, leaving $1 bytes free as far as
# a file's blocks allow (filler written a byte short, then in blocks).
fill_leaving() {
  local free
  rm -f "$small/filler"
  free=$(($(stat -f -c '%a * %S' "$small")))
  [ "$free" -gt "$1" ] || return 0
  head -c $((free - $1)) /dev/zero >"$small/filler" 2>/dev/null || true
}

# Mounts a small file system of type $disk_fs at $small: tmpfs, or ext4
# on a loop device with 1 KB blocks and inodes too small to hold extended
# attributes (so that they take a block of their own), without reserved
# blocks. With $1 set, it has almost no inodes.
mount_small() {
  mkdir -p "$small"
  if [ "$disk_fs" = tmpfs ]; then
    mount -t tmpfs -o "size=1m,mode=1777${1:+,nr_inodes=8}" tmpfs "$small"
  else
    rm -f "$work/small.img" 2>/dev/null
    truncate -s 2m "$work/small.img" 2>/dev/null
    mkfs.ext4 -q -F -b 1024 -I 128 -m 0 -O ^has_journal ${1:+-N 16} "$work/small.img" 2>/dev/null
    mount -o loop "$work/small.img" "$small"
    chmod 1777 "$small"
  fi
}

# Makes the scene for a run with the temporary folder ($1 = temp) or the
# model's folder ($1 = model) on the small file system.
set_up_on() {
  rm -rf "${small:?}"/*
  if [ "$1" = temp ]; then
    temp_folder=$small set_up "$route"
  else
    set_up "$route" "$small/m"
  fi
}

sweep_disk() {
  local left result_size where step
  result_size=$(stat -c %s "$expected")
  for disk_fs in tmpfs ext4; do
    step=4096
    [ "$disk_fs" = tmpfs ] || step=1024
    for where in temp model; do
      mount_small
      if [ "$where" = model ]; then baseline "$small/m"; else baseline; fi
      for left in $(seq 0 "$step" $((result_size * 2 + 16384))); do
        set_up_on "$where"
        fill_leaving "$left"
        run_once
        check "$disk_fs $where disk, $left bytes left"
        temp_folder=
      done
      umount "$small"
      # No inode left.
      mount_small few-inodes
      set_up_on "$where"
      local i=0
      while touch "$small/f$i" 2>/dev/null; do i=$((i + 1)); done
      run_once
      check "$disk_fs $where disk, no inode left"
      temp_folder=
      umount "$small"
    done
  done
}

model_source=$work/model.source
long_model_text >"$model_source"
temp_folder=
extra=()
limit=''
tunables=''
for what_limit in "${limits[@]}"; do
  for route in "${routes[@]}"; do
    scene=$work/$route
    runs=0
    baseline ""
    "sweep_$what_limit"
    echo "[$what_limit/$route] runs: $runs"
  done
done
echo "broken: $broken"
[ "$broken" -eq 0 ]
