# shellcheck shell=bash
# Shared by the sweeps: the ways a model can go through a run, the scene a
# batch run is made in, what of a run's model and folders is compared, the
# tally of outcomes, and for the desktop sweeps picking the model in the
# dialog.

# A small model with two smoothing groups.
model_text() { printf 'v 0 0 0\nv 1 0 0\nv 0 1 0\ng a\ns 1\nf 1 2 3\ns 2\nf 1 2 3\n'; }

# Gives the model $model, in $model_folder with the temporary folder $tmp,
# what route $1 needs: a lone model renamed over (rename), a second name
# (linked), another owner's model written through its group (other-owner),
# or an ACL, an attribute and a flag that must come through (attributes).
# Sets $run_as, the user the run is made as. Other routes are the caller's.
give_route() {
  run_as=
  case $1 in
    linked) ln "$model" "$model_folder/other.obj" ;;
    other-owner)
      # Owned by root, written by nobody through its group.
      chgrp nogroup "$model"
      chmod 664 "$model"
      chmod 1777 "$model_folder" "$tmp"
      run_as=nobody
      ;;
    attributes)
      chmod 640 "$model"
      chown nobody:nogroup "$model"
      setfacl -m u:daemon:rw,g:adm:r "$model"
      setfattr -n user.colour -v blue "$model"
      # tmpfs keeps no such flag; the other three still count there.
      chattr +d "$model" 2>/dev/null || true
      ;;
  esac
}

# What of the model must come through: its kind, owner, group, mode, link
# count, ACL, attributes, chattr flags.
metadata() {
  stat -c '%F %u %g %a %h' "$model"
  getfacl -cp "$model" 2>/dev/null
  getfattr -d -m - --absolute-names "$model" 2>/dev/null | grep -v '^#' || true
  lsattr -d "$model" 2>/dev/null | cut -d' ' -f1
}

# Lists what is in the model's folder and the temporary folder, but the
# files a sweep put there to fill a disk (filler, f1, f2...).
contents() {
  ls -A "$model_folder"
  if [ -d "$tmp" ]; then
    find "$tmp" -mindepth 1 -maxdepth 1 ! -name filler ! -name 'f[0-9]*' -printf '%f\n'
  fi
}

# Makes a fresh scene for route $1 in $scene: the model $model, the
# temporary folder $tmp, and $run_as, the user the run is made as.
set_up_scene() {
  rm -rf "$scene"
  mkdir -p "$scene/m" "$scene/t"
  chmod 755 "$scene" "$scene/m"
  model_folder=$scene/m
  model=$model_folder/model.obj
  tmp=$scene/t
  model_text >"$model"
  give_route "$1"
}

# Prints $1 with the number of runs, $runs, and how many ended each way,
# from the associative array $outcomes.
print_tally() {
  local summary='' outcome
  for outcome in "${!outcomes[@]}"; do summary+="; $outcome: ${outcomes[$outcome]}"; done
  echo "$1: $runs runs$summary"
}

# Makes a fresh scene for a desktop run on route $1 (rename or linked): the
# model $work/m/model.obj and the temporary folder $work/t.
set_up_desktop() {
  rm -rf "$work/m" "$work/t"
  mkdir -p "$work/m" "$work/t"
  model_text >"$work/m/model.obj"
  [ "$1" = linked ] && ln "$work/m/model.obj" "$work/m/other.obj"
  return 0
}

# With the dialog of the desktop program $1 shown: waits for it to settle
# (slowed down by a tracer, its first window found can go away again), picks
# the model $work/m/model.obj, and answers the program's message if one comes
# before it ends; sets $shown.
pick_model_and_answer() {
  local window
  sleep 1
  window=$(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | tail -n 1) || true
  xdotool windowactivate --sync "$window" 2>/dev/null || xdotool windowfocus --sync "$window" 2>/dev/null || true
  xdotool key --clearmodifiers ctrl+l
  sleep 0.3
  xdotool type --delay 20 "$work/m/model.obj"
  sleep 0.3
  xdotool key Return
  shown=no
  for _ in $(seq 100); do
    kill -0 "$1" 2>/dev/null || break
    window=$(message_window)
    if [ -n "$window" ]; then
      shown=yes
      sleep 0.3
      xdotool windowactivate --sync "$window" 2>/dev/null || xdotool windowfocus --sync "$window" 2>/dev/null || true
      xdotool key Return
    fi
    sleep 0.1
  done
}
