# shellcheck shell=bash
# Shared by the sweeps of sgsplit-batch runs: the ways a model can go
# through a run, and what of a run's model and folders is compared.

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
