#!/usr/bin/env python3
"""Races sgsplit-batch against what a busy desktop does to the same model.

Runs sgsplit-batch on a model many times while another process, started
after a random delay, saves over the model (renaming a new file onto it,
truncating and writing, writing without truncating, appending), removes it,
renames it away and back, changes its mode or group, puts a symbolic link
or a FIFO under its name, gives it or takes away a second name, or runs
sgsplit-batch on it too. Every run is then sorted by what it left, against
the rewrite an undisturbed run makes of each version:

  the model's name holds exactly what the other program left, untouched, or
  exactly the rewrite of a version that existed whole; exit 0 only with the
  rewrite in place and nothing the other program wrote lost; exit 1 and 2
  only as the README's table of exit codes says, with a kept temporary file
  named and holding the whole rewrite; nothing left behind; no hang.

Not run by CI: its outcome depends on timing, and it proves nothing in one
pass. As root (the "other" route runs the tool as nobody):

  python3 bench/race_soak.py build/default/sgsplit-batch --runs 100

takes about eleven minutes on two cores for the 74 combinations of route
(own: renamed over; linked: a second name, written in place; other: another
user's group-writable model, run as nobody), file system (ext4 under
/var/tmp, tmpfs under /dev/shm) and action. --only ROUTE/FS/ACTION (any part
may be *) picks some; --keep FOLDER keeps each broken run's files.

With --wine SGSPLIT_BATCH_EXE RACE_WIN32_EXE (see race_win32.cc) and
WINEPREFIX set, the Windows program races seven actions under Wine instead;
--runs 100 takes about five minutes.

A run's other program may act at a moment the tool cannot guard: between
the tool's last look at the model and its first write, or, for a holder
that opened the model before it was renamed over, after it. Such a run
shows as a lost save too. The exit status is 1 when any run broke a rule;
every such run is printed with its details.
"""

import argparse
import collections
import hashlib
import json
import os
import random
import shutil
import stat
import subprocess
import sys
import time

OWNER_OTHER = (1, 65534)  # daemon, nogroup: the other user's model
NOBODY = (65534, 65534)
APPENDED = b"v 9 9 9\nf 1 2 3\n" * 64

ACTIONS = [
    "rename-save", "trunc-write", "write-notrunc", "append", "delete",
    "rename-away-back", "chmod", "chgrp", "symlink-swap", "fifo-swap",
    "link-add", "link-remove", "second-run",
]
# Actions after which the model's content is what the other program chose,
# whatever it was before.
CONTENT_ACTIONS = {"rename-save", "trunc-write", "write-notrunc", "append"}


def make_model(rng, size):
    """An OBJ model of about `size` bytes with groups, objects, blank lines
    and smoothing groups, LF or CR LF line ends."""
    out = []
    total = 0
    n = 0
    eol = "\r\n" if rng.random() < 0.3 else "\n"
    while total < size:
        n += 1
        if n % 37 == 1:
            line = "g part%d%so part%d%s%ss %d" % (n, eol, n, eol, eol, n % 5)
        else:
            line = "v %d.%d %d -%d.5" % (n, rng.randrange(100), rng.randrange(1000), n)
        if n % 5 == 0:
            line += eol + "f %d %d %d" % (n, n + 1, n + 2)
        line += eol
        out.append(line)
        total += len(line)
    return "".join(out).encode()


def digest(data):
    return hashlib.sha256(data).hexdigest()[:16]


class Rewrites:
    """The rewrite of any content, as an undisturbed run of the tool makes it."""

    def __init__(self, tool, scratch):
        self.tool = tool
        self.scratch = scratch
        self.cache = {}

    def of(self, content):
        key = digest(content)
        if key not in self.cache:
            path = os.path.join(self.scratch, "model.obj")
            with open(path, "wb") as f:
                f.write(content)
            env = dict(os.environ, TMPDIR=self.scratch)
            r = subprocess.run([self.tool, path], env=env, capture_output=True)
            if r.returncode != 0:
                raise RuntimeError("undisturbed run failed: %r" % r.stderr)
            with open(path, "rb") as f:
                self.cache[key] = f.read()
            os.unlink(path)
        return self.cache[key]


def clear(folder):
    for name in os.listdir(folder):
        path = os.path.join(folder, name)
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path)
        else:
            os.unlink(path)


def write_file(path, content, owner, mode):
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    os.write(fd, content)
    os.fchown(fd, *owner)
    os.fchmod(fd, mode)
    os.close(fd)


def wait_until(deadline):
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return
        if left > 0.002:
            time.sleep(left - 0.001)


def act(action, folder, model, save, owner, mode, tool_cmd, env):
    """Does `action` to the model; returns what it noted."""
    note = {}
    if action == "rename-save":
        new = os.path.join(folder, ".model.obj.new")
        write_file(new, save, owner, mode)
        os.rename(new, model)
    elif action in ("trunc-write", "write-notrunc", "append"):
        flags = os.O_WRONLY | {"trunc-write": os.O_TRUNC, "write-notrunc": 0,
                               "append": os.O_APPEND}[action]
        try:
            fd = os.open(model, flags | os.O_NOFOLLOW | os.O_NONBLOCK)
        except OSError as e:
            note["error"] = e.errno
            return note
        st = os.fstat(fd)
        note["ino"] = st.st_ino
        os.write(fd, APPENDED if action == "append" else save)
        st = os.fstat(fd)
        note["nlink_after"] = st.st_nlink
        try:
            note["named_after"] = os.stat(model, follow_symlinks=False).st_ino == st.st_ino
        except OSError:
            note["named_after"] = False
        os.close(fd)
    elif action == "delete":
        os.unlink(model)
    elif action == "rename-away-back":
        away = os.path.join(folder, "away.obj")
        os.rename(model, away)
        time.sleep(random.random() * 0.002)
        os.rename(away, model)
    elif action == "chmod":
        os.chmod(model, mode ^ 0o004)
    elif action == "chgrp":
        os.chown(model, -1, 100)
    elif action == "symlink-swap":
        target = os.path.join(folder, "elsewhere.obj")
        link = os.path.join(folder, ".link")
        os.symlink(target, link)
        os.rename(link, model)
    elif action == "fifo-swap":
        fifo = os.path.join(folder, ".fifo")
        os.mkfifo(fifo)
        os.rename(fifo, model)
    elif action == "link-add":
        os.link(model, os.path.join(folder, "extra.obj"))
    elif action == "link-remove":
        os.unlink(os.path.join(folder, "other-name.obj"))
    elif action == "second-run":
        r = subprocess.run(tool_cmd, env=env, capture_output=True)
        note["code"] = r.returncode
        note["message"] = r.stderr.decode(errors="replace").strip()
    return note


class Soak:
    def __init__(self, args):
        self.args = args
        self.tool = os.path.realpath(args.tool)
        self.rng = random.Random(args.seed)
        random.seed(args.seed + 1)
        self.scratch = "/var/tmp/r11soak-scratch"
        os.makedirs(self.scratch, exist_ok=True)
        self.rewrites = Rewrites(self.tool, self.scratch)
        self.pool = [make_model(self.rng, size) for size in args.sizes]
        self.elapsed = {}
        self.counts = collections.OrderedDict()
        self.violations = []

    def place(self, route, fs):
        base = {"ext4": "/var/tmp/r11soak", "tmpfs": "/dev/shm/r11soak"}[fs]
        folder = os.path.join(base, route, "models")
        tmp = os.path.join(base, route, "tmp")
        for d in (folder, tmp):
            os.makedirs(d, exist_ok=True)
        if route == "other":
            os.chmod(folder, 0o777)
            os.chown(tmp, *NOBODY)
            os.chmod(tmp, 0o700)
        return folder, tmp

    def command(self, route, model):
        if route == "other":
            return ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                    self.tool, model]
        return [self.tool, model]

    def one(self, route, fs, action):
        folder, tmp = self.place(route, fs)
        clear(folder)
        clear(tmp)
        model = os.path.join(folder, "model.obj")
        v0, save = self.rng.sample(self.pool, 2)
        owner, mode = (OWNER_OTHER, 0o664) if route == "other" else ((0, 0), 0o644)
        write_file(model, v0, owner, mode)
        if route == "linked":
            os.link(model, os.path.join(folder, "other-name.obj"))
        if action == "symlink-swap":
            write_file(os.path.join(folder, "elsewhere.obj"), save, owner, mode)
        env = dict(os.environ, TMPDIR=tmp)
        cmd = self.command(route, model)
        # Spread the other program's moment over the whole run and a little
        # after it.
        typical = self.elapsed.get((route, fs, len(v0)), 0.02)
        delay = self.rng.random() * typical * 1.3
        read_fd, write_fd = os.pipe()
        start = time.monotonic()
        tool = subprocess.Popen(cmd, env=env, stderr=subprocess.PIPE)
        pid = os.fork()
        if pid == 0:
            os.close(read_fd)
            try:
                wait_until(start + delay)
                note = act(action, folder, model, save, owner, mode, cmd, env)
                note["done"] = time.monotonic() - start
            except Exception as e:  # noqa: BLE001 - reported to the parent
                note = {"exception": repr(e)}
            os.write(write_fd, json.dumps(note).encode())
            os._exit(0)
        os.close(write_fd)
        hang = False
        try:
            _, err = tool.communicate(timeout=60)
        except subprocess.TimeoutExpired:
            hang = True
            tool.kill()
            _, err = tool.communicate()
        ended = time.monotonic() - start
        os.waitpid(pid, 0)
        with os.fdopen(read_fd, "rb") as f:
            note = json.loads(f.read().decode() or "{}")
        if action not in ("second-run",) and not hang:
            key = (route, fs, len(v0))
            self.elapsed[key] = 0.8 * self.elapsed.get(key, ended) + 0.2 * ended
        run = {
            "route": route, "fs": fs, "action": action, "code": tool.returncode,
            "message": err.decode(errors="replace").strip(), "delay": round(delay, 5),
            "ended": round(ended, 5), "note": note, "hang": hang,
            "v0": len(v0), "save": len(save),
        }
        klass, bad = self.classify(run, folder, tmp, model, v0, save)
        run["class"] = klass
        key = (route, fs, action)
        per = self.counts.setdefault(key, collections.Counter())
        per["runs"] += 1
        per[("VIOLATION " if bad else "") + klass] += 1
        if bad:
            self.violations.append(run)
            print("VIOLATION", run, flush=True)
            if self.args.keep:
                self.keep(run, folder, tmp, v0, save)

    def keep(self, run, folder, tmp, v0, save):
        """Keeps a broken run's files for a look: its versions and what it left."""
        where = os.path.join(self.args.keep, "%d" % len(self.violations))
        shutil.copytree(folder, os.path.join(where, "models"), symlinks=True)
        shutil.copytree(tmp, os.path.join(where, "tmp"), symlinks=True)
        for name, content in (("v0", v0), ("save", save)):
            with open(os.path.join(where, name), "wb") as f:
                f.write(content)
        with open(os.path.join(where, "run.txt"), "w") as f:
            f.write(repr(run) + "\n")

    def after(self, action, content, save):
        """The model's content after the other program acted on `content`."""
        if action in ("rename-save", "trunc-write"):
            return save
        if action == "write-notrunc":
            return save + content[len(save):]
        if action == "append":
            return content + APPENDED
        return content

    def state(self, path):
        try:
            st = os.lstat(path)
        except FileNotFoundError:
            return "absent"
        if stat.S_ISLNK(st.st_mode):
            return "symlink"
        if stat.S_ISFIFO(st.st_mode):
            return "fifo"
        with open(path, "rb") as f:
            return f.read()

    def classify(self, run, folder, tmp, model, v0, save):
        action, code, msg, note = run["action"], run["code"], run["message"], run["note"]
        if run["hang"]:
            return "hang", True
        if "exception" in note:
            # The other program could not act (the name was gone, say): it
            # did nothing.
            run["saver_failed"] = note["exception"]
        acted = "exception" not in note and "error" not in note
        final = self.state(model)
        R = self.rewrites.of
        rv0 = R(v0)
        if action == "symlink-swap":
            target = self.state(os.path.join(folder, "elsewhere.obj"))
            if target != save:
                # The link was there before the run opened the model: the
                # link's target is what the run read and rewrote.
                if code == 0 and target == R(save) and self.state(model) == "symlink":
                    return "0: the link came first; its target rewritten", False
                return "wrote through a link", True
        # What may be left over.
        kept = [n for n in os.listdir(tmp)]
        beside = [n for n in os.listdir(folder) if n.startswith(".sgsplit-")]
        if beside:
            return "left beside the model: %s" % beside, True
        for name in kept:
            if os.path.join(tmp, name) not in msg:
                return "temporary file left unnamed", True
        if kept and len(kept) != 1:
            return "several temporary files kept", True
        content_changed = acted and action in CONTENT_ACTIONS
        after_v0 = self.after(action, v0, save) if acted else v0
        whole = {digest(v0), digest(after_v0)}
        if action == "second-run":
            whole.add(digest(rv0))
        rewrites = {digest(R(c)) for c in (v0, after_v0)}
        if action == "second-run":
            rewrites.add(digest(R(rv0)))
        fd = final if isinstance(final, str) else digest(final)

        # What is left where the result was copied into the model: its other
        # names must show what the model's name shows, unless the other
        # program gave the name to another file.
        if code == 0:
            if msg:
                return "exit 0 with a message", True
            if kept:
                return "exit 0 with the result kept", True
            if action in ("delete", "symlink-swap", "fifo-swap") and acted:
                # The other program acted last; the run must have finished first.
                return "0: done, then the other program acted", False
            if action == "second-run":
                other_code = note.get("code")
                if fd == digest(R(rv0)) and other_code in (0, 2):
                    return "0: the two runs one after the other (other %d)" % other_code, False
                if fd == digest(rv0):
                    if other_code == 0:
                        return "0 and 0: both rewrote the model they read", True
                    return "0: rewritten, the other run left it (%d %s)" % (
                        other_code, note.get("message", "").split(": ", 2)[-1]), False
                return "0: unexpected content after two runs", True
            if fd == digest(rv0):
                if content_changed:
                    if not note.get("named_after", True):
                        # It opened the model before the rename and wrote after
                        # the last look: the accepted instant, or a holder that
                        # writes once the model was replaced.
                        return "0: rewritten; the other program wrote into the file replaced", False
                    return "0: rewritten, but the other program's save is lost", True
                return "0: rewritten", False
            if acted and fd == digest(self.after(action, rv0, save)):
                return "0: rewritten, then the other program acted", False
            if acted and fd in {digest(R(after_v0))}:
                return "0: the other program's version rewritten", False
            return "0: the model holds neither a rewrite nor a save", True
        if code == 1:
            if kept:
                return "1 with the result kept", True
            if fd not in whole and not (action in ("delete", "symlink-swap", "fifo-swap") and acted):
                return "1: the model not as left", True
            return "1: " + msg.split(": ", 2)[-1], False
        if code == 2:
            reason = msg.split(": ", 2)[-1]
            if kept:
                temp = self.state(os.path.join(tmp, kept[0]))
                if digest(temp) not in rewrites:
                    return "2: the kept file is not a whole rewrite", True
                if "replaced or removed" in msg:
                    if fd == digest(rv0):
                        return "2: said replaced, but the model holds the result", True
                    return "2: replaced meanwhile, result kept", False
                if "wrote to the model" in msg:
                    return "2: written meanwhile, result kept", False
                return "2 kept: " + reason, False
            if "changed while" in msg or "cannot replace" in msg:
                untouched = fd in whole or (action in ("delete", "symlink-swap", "fifo-swap") and acted)
                if not untouched:
                    return "2: said untouched, but the model is not as left", True
                if action == "second-run" and fd == digest(rv0) and note.get("code") == 0:
                    return "2: the other run rewrote it: " + reason, False
                return "2: " + reason, False
            return "2: unknown message", True
        return "exit %s" % code, True

    def report(self):
        for (route, fs, action), per in self.counts.items():
            runs = per["runs"]
            classes = ", ".join("%s %d" % (k, v) for k, v in sorted(per.items()) if k != "runs")
            print("%-6s %-5s %-16s runs %4d: %s" % (route, fs, action, runs, classes))
        print("violations: %d" % len(self.violations))


WIN_ACTIONS = ["movefile", "replacefile", "trunc-write", "write-notrunc", "append", "delete",
               "second-run"]
WIN_APPENDED = b"v 9 9 9\r\nf 1 2 3\r\n"


def wine_soak(args):
    """The same races on Windows, under Wine: race_win32.exe (bench) runs the
    tool and acts; the runs are sorted here against the Linux tool's rewrite
    of each version, which is byte for byte the Windows one."""
    rng = random.Random(args.seed)
    rewrites = Rewrites(os.path.realpath(args.tool), "/var/tmp/r11soak-scratch")
    os.makedirs(rewrites.scratch, exist_ok=True)
    versions = [make_model(rng, size) for size in args.sizes]
    R = rewrites.of
    exe, driver = args.wine
    env = dict(os.environ, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    total = collections.Counter()
    bad_runs = []
    for action in WIN_ACTIONS:
        if args.only and action not in args.only:
            continue
        folder = "/var/tmp/r11win/" + action
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        for i, content in enumerate(versions):
            with open(os.path.join(folder, "v%d" % i), "wb") as f:
                f.write(content)
        wfolder = "Z:" + folder.replace("/", "\\")
        wtmp = wfolder + "\\tmp"
        run_env = dict(env, TMP=wtmp, TEMP=wtmp)
        subprocess.run(["wine", driver, "Z:" + os.path.realpath(exe).replace("/", "\\"), wfolder,
                        action, str(args.runs), str(args.seed), str(args.max_delay_us)],
                       env=run_env, check=True)
        out = os.path.join(folder, "out")
        counts = collections.Counter()
        with open(os.path.join(out, "log.txt")) as f:
            lines = f.read().split("\n")
        for line in filter(None, lines):
            n, a, b, delay, code, error, other, took, seen = (int(x) for x in line.split())
            v0, save = versions[a], versions[b]
            with open(os.path.join(out, "%d.err" % n), "rb") as f:
                msg = f.read().decode(errors="replace").strip()
            final_path = os.path.join(out, "%d.final" % n)
            final = open(final_path, "rb").read() if os.path.exists(final_path) else "absent"
            kept = [x for x in os.listdir(out) if x.startswith("%d.kept." % n)]
            acted = error == 0
            if action in ("movefile", "replacefile", "trunc-write"):
                after = save
            elif action == "write-notrunc":
                after = save + v0[len(save):]
            elif action == "append":
                after = v0 + WIN_APPENDED
            elif action == "delete":
                after = "absent"
            else:
                after = R(v0)
            if not acted:
                after = v0
            content_changed = acted and action not in ("delete", "second-run")

            def after_of(x):
                if not acted or action == "second-run":
                    return x
                if action == "write-notrunc":
                    return save + x[len(save):]
                if action == "append":
                    return x + WIN_APPENDED
                return after

            whole = {digest(v0)} | ({digest(after)} if after != "absent" else set())
            rw = {digest(R(v0))} | ({digest(R(after))} if after != "absent" else set())
            fd = final if isinstance(final, str) else digest(final)
            klass, bad = None, False
            names_ok = all(x.split(".kept.", 1)[1] in msg for x in kept)
            if code == 999:
                klass, bad = "hang", True
            elif not names_ok:
                klass, bad = "temporary file left unnamed", True
            elif code == 0:
                if msg or kept:
                    klass, bad = "0 with a message or a kept file", True
                elif action == "second-run":
                    if fd == digest(R(R(v0))):
                        klass = "0: the two runs one after the other (other %d)" % other
                    elif fd == digest(R(v0)) and other != 0:
                        klass = "0: rewritten, the other run left it (%d)" % other
                    else:
                        klass, bad = "0: unexpected content after two runs (other %d)" % other, True
                elif fd == digest(R(v0)):
                    if content_changed:
                        klass, bad = "0: rewritten, but the other program's save is lost", True
                    else:
                        klass = "0: rewritten" + ("" if acted else " (the other program was refused)")
                elif acted and after_of(R(v0)) != "absent" and fd == digest(after_of(R(v0))):
                    klass = "0: rewritten, then the other program acted"
                elif acted and action == "delete" and fd == "absent":
                    klass = "0: done, then the other program acted"
                elif acted and after != "absent" and fd == digest(R(after)):
                    klass = "0: the other program's version rewritten"
                else:
                    klass, bad = "0: the model holds neither a rewrite nor a save", True
            elif code in (1, 2):
                reason = msg.split(": ", 2)[-1]
                if kept:
                    temp = open(os.path.join(out, kept[0]), "rb").read()
                    if code != 2 or digest(temp) not in rw:
                        klass, bad = "%d: the kept file is not a whole rewrite" % code, True
                    else:
                        klass = "2 kept: " + reason
                elif fd not in whole and not (fd == "absent" and action == "delete"):
                    klass, bad = "%d: said untouched, but the model is not as left" % code, True
                else:
                    klass = "%d: %s" % (code, reason)
            else:
                klass, bad = "exit %d" % code, True
            if not acted and action != "second-run":
                klass += " [action refused: %d]" % error
            counts[("VIOLATION " if bad else "") + klass] += 1
            if bad:
                bad_runs.append((action, line, msg))
                print("VIOLATION", action, line, msg, klass, flush=True)
        print("win   %-14s runs %4d: %s" % (action, sum(counts.values()),
                                            ", ".join("%s %d" % kv for kv in sorted(counts.items()))),
              flush=True)
        total.update(counts)
    print("violations: %d" % len(bad_runs))
    return 1 if bad_runs else 0


def main():
    p = argparse.ArgumentParser()
    p.add_argument("tool")
    p.add_argument("--runs", type=int, default=100)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--sizes", type=lambda s: [int(x) for x in s.split(",")],
                   default=[3000, 40000, 400000, 2000000])
    p.add_argument("--keep", help="folder where each broken run's files are kept")
    p.add_argument("--only", action="append", default=[],
                   help="ROUTE/FS/ACTION, any part may be *")
    p.add_argument("--wine", nargs=2, metavar=("SGSPLIT_BATCH_EXE", "RACE_WIN32_EXE"),
                   help="race the Windows program under Wine instead (WINEPREFIX set)")
    p.add_argument("--max-delay-us", type=int, default=250000)
    args = p.parse_args()
    if args.wine:
        return wine_soak(args)
    soak = Soak(args)
    combos = []
    for route in ("own", "linked", "other"):
        for fs in ("ext4", "tmpfs"):
            for action in ACTIONS:
                if action == "link-remove" and route != "linked":
                    continue
                combos.append((route, fs, action))
    if args.only:
        def wanted(c):
            for o in args.only:
                parts = o.split("/")
                if all(p in ("*", v) for p, v in zip(parts, c)):
                    return True
            return False
        combos = [c for c in combos if wanted(c)]
    for combo in combos:
        for _ in range(args.runs):
            soak.one(*combo)
        per = soak.counts[combo]
        print("%-6s %-5s %-16s %s" % (combo + (dict(per),)), flush=True)
    print()
    soak.report()
    return 1 if soak.violations else 0


if __name__ == "__main__":
    sys.exit(main())
