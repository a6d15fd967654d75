#!/usr/bin/env python3
"""The fault campaign: seeded steps, each 1-4 concurrent imports or a gather --all --then-clear on one
backend (SQLite, PostgreSQL, PostgreSQL through a faulty link, a primary with a synchronous standby), or a
follower on swiping terminals (SQLite, PostgreSQL), with an operator gathering, clearing and testing beside it or
a second follower of another host folder on the same terminals, with faults at random moments, and the invariants
checked after every step. It starts every server and tool it needs and stops them all, on Ctrl-C too.

    campaign.py [--bin DIR] [--seed S] [--steps N | --minutes M] [--step K] [--backends sqlite,pg,link,pair]
    campaign.py --ci

Each step prints its seed and faults; `--seed S --step K` (with the same --backends) replays step K of seed S
alone. --ci runs fixed
seeds and one fresh seed (printed), a few minutes in all. Exit status 0 with no violation, 1 otherwise."""
import argparse
import json
import os
import random
import re
import signal
import shutil
import subprocess
import sys
import tempfile
import time
import zlib
from collections import Counter

import parts
from parts import Process, Run, PgDb, Sqlite

CI_SEEDS, CI_STEPS = (1, 2), 15
# The simulated terminals' addresses, by port.
TERMINALS = [[1, 2], [3]]
# The share of steps that follow swiping terminals, drawn apart so that the other steps replay as before.
FOLLOW_SHARE = 0.1
# A till small and busy enough to fill within an outage: 550 records at a swipe every 20 ms last 11 s. Half
# of it lasts a round and the 2 s a round may wait for a database that went away, with a second to spare.
SWIPE_MS, CAPACITY, CLEAR_AT, INTERVAL = 20, 550, 50, 2
# A follower just started, or whose journal cannot take records, may let a till fill up to this much later.
GRACE_S = 2 * INTERVAL + 1
# SIGTERM ends a follower within about 2 s, even while another program holds the SQLite write lock.
STOP_S = 4
# The journal drains within this long of the database's return: it is asked again within 2 s, then a round.
DRAIN_S = 10
# What a power loss leaves at the end of a journal: an entry cut short, of records no terminal took.
TORN = ["01%06d3001010000" % card for card in range(999990, 999994)]
# Of the follow steps (drawn apart, so that their own faults replay as before): on PostgreSQL a share has a second
# follower in another host folder on the same terminals; of the rest most have an operator beside the follower, on
# a serial line (terminals 1 and 2, a pseudo-terminal) and a device server behind a relay (terminal 3).
TWIN_SHARE, BESIDE_SHARE = 0.5, 0.85
BESIDE_BAUD = 57600
# What an operation by hand may wait for the port: the rest of the follower's pause, then one terminal's round (its
# journal's drain, at most an interval; its transfer, at most a full till at the line's speed; a store or a new
# database session given up on after 2 s each).
TRANSFER_S = CAPACITY * 30 * 10 / BESIDE_BAUD
WAIT_S = INTERVAL + INTERVAL + TRANSFER_S + 2 + 2
# Beside an operator the step goes on this long after its last fault, for the operations moved past an outage.
CALM_S = 4
# Once an operation ended, or was killed, the follower reads its port again within this long.
TAKE_BACK_S = WAIT_S + 2
# Another follower on the same terminals is told within a round and its first session; once the first stops, it
# takes over within the 10 s it asks again in and a round.
TOLD_S, TAKEOVER_S = 2 * INTERVAL + 3, 10 + 2 * INTERVAL + 3


class Backend:
    """One database the steps write to, the host folders of its concurrent runs and of its follower, and every
    record file it was given (for the clean pass at the end)."""

    def __init__(self, name, lab, db, server=None, mount=None, tmp=None):
        self.name, self.lab, self.db, self.server, self.mount = name, lab, db, server, mount
        self.homes = [lab.home("%s-%d" % (name, i), db) for i in range(4)]
        self.follow_home = lab.home("%s-follow" % name, db)
        # A second follower's, on the same database.
        self.twin_home = lab.home("%s-twin" % name, db) if name == "pg" else None
        self.files, self.valid = [], set()
        parts.list_terminals(db, [[(a, None) for a in port] for port in TERMINALS])
        self.stats = Counter()
        self.waits = []  # how long operations by hand waited for a followed port
        # Every folder a gather (home 0) or the follower writes, each on a file system of its own to fill; the
        # database file lives elsewhere, so that only these fill.
        self.env = dict(os.environ, TMPDIR=tmp or lab.path("tmp"))
        self.gather_disks, self.follow_disks = {}, {}
        if tmp:
            for disks, home, folders in ((self.gather_disks, self.homes[0], ("Source", "Database")),
                                         (self.follow_disks, self.follow_home, ("Source", "Database", "Journal"))):
                for folder in folders:
                    disks[folder] = lab.tmpfs(os.path.join(home, folder), "8m")
                disks["TMPDIR"] = tmp


def make_backends(lab, names):
    backends = {}
    # A full disk needs a file system of its own: a tmpfs, which only root mounts.
    root = os.geteuid() == 0
    tmp = lab.tmpfs("tmp", "8m") if root else None
    os.makedirs(lab.path("tmp"), exist_ok=True)
    if "sqlite" in names:
        mount = lab.tmpfs("sqlite", "160m") if root else None
        backends["sqlite"] = Backend("sqlite", lab, Sqlite(os.path.join(mount or lab.dir, "tallyfold.db")),
                                     mount=mount, tmp=tmp)
    if "pg" in names or "link" in names:
        server = lab.postgres()
        if "pg" in names:
            backends["pg"] = Backend("pg", lab, PgDb(server), server, tmp=tmp)
        if "link" in names:
            server.psql("create database link")
            backends["link"] = Backend("link", lab, PgDb(server, "link"), server, tmp=tmp)
    if "pair" in names:
        pair = lab.standby_pair()
        backends["pair"] = Backend("pair", lab, PgDb(pair), pair, tmp=tmp)
    return backends


def plan_faults(rng, backend, runs, gather):
    """The step's faults: (kind, at seconds, the run it hits, how long it lasts)."""
    faults = []
    for _ in range(rng.choice((0, 1, 1, 2, 2, 3))):
        choices = ["kill9", "sigterm", "sigint"]
        if backend.mount:
            choices += ["full-disk"]
        if backend.name in ("pg", "pair"):
            choices += ["terminate-backends", "stop-backend"]
        if backend.name == "pg":
            choices += ["restart"]
        if backend.name == "pair":
            choices += ["failover-mid"]
        if gather:
            choices += ["kill9-clear"]
            # The gather's record files, its dated copies, its temporary files.
            choices += ["full-" + folder for folder in backend.gather_disks]
        kind, at = rng.choice(choices), parts.pick_delay(rng, 3.0)
        faults.append((kind, at, rng.randrange(runs), round(rng.uniform(1, 6), 1)))
    return faults


def describe(fault):
    kind, at, target, duration = fault
    if kind == "kill9-clear":
        return "kill9 at the first clear"
    return kind + (" run %d" % target if kind in ("kill9", "sigterm", "sigint") else "") + (
        " for %.1f s" % duration if kind == "stop-backend" else "") + " at %.3f s" % at


def link_options(rng):
    kind = rng.choice(("none", "drop", "stall", "drop", "mute"))
    options = ["--one-way-ms", str(rng.choice((0, 1, 3)))]
    if kind == "drop":
        options += ["--drop-after", str(rng.randrange(2000, 150000))]
    elif kind == "stall":
        options += ["--stall-after", str(rng.randrange(2000, 150000))]
    elif kind == "mute":
        options += ["--mute-on", "COMMIT"]
    return options


def send(pids, sig):
    for pid in pids:
        try:
            os.kill(pid, sig)
        except ProcessLookupError:
            pass  # a backend that ended meanwhile


def apply(kind, target, duration, runs, backend, resume, failed_over, now):
    """Makes one fault happen; True when it failed the primary over."""
    server = backend.server
    if kind in ("kill9", "kill9-clear"):
        runs[target if kind == "kill9" else 0].signal(signal.SIGKILL)
    elif kind in ("sigterm", "sigint"):
        runs[target].signal(signal.SIGTERM if kind == "sigterm" else signal.SIGINT)
    elif kind == "full-disk":
        parts.fill(backend.mount)
    elif kind.startswith("full-"):
        parts.fill(backend.gather_disks[kind[5:]])
    elif kind == "terminate-backends":
        server.psql("select pg_terminate_backend(pid) from pg_stat_activity where backend_type = "
                    "'client backend' and pid <> pg_backend_pid()")
    elif kind == "stop-backend":
        pids = server.backends()
        send(pids, signal.SIGSTOP)
        resume.append((now + duration, pids))
    elif kind == "restart":
        for _, pids in resume:
            send(pids, signal.SIGCONT)
        server.restart()
    elif kind == "failover-mid" and not failed_over:
        server.fail_over()
        return True
    elif kind == "failover-start":
        server.end_smart_stop(promote=not failed_over)
        return True
    return False


def step(lab, backends, seed, k):
    followed = sorted(n for n in ("pg", "sqlite") if n in backends)
    if followed and random.Random("%d:%d:follow" % (seed, k)).random() < FOLLOW_SHARE:
        return follow_step(lab, backends, seed, k, followed)
    rng = random.Random("%d:%d" % (seed, k))
    backend = backends[rng.choice(sorted(backends))]
    gather = rng.random() < 0.25
    nruns = 1 if gather else rng.randint(1, 4)
    db, server, bound, extra = backend.db, backend.server, float(parts.BOUND_S), []
    folder = lab.path("step-%d-%d" % (seed, k))
    os.makedirs(folder)
    faults = plan_faults(rng, backend, nruns, gather)
    if backend.name == "link":
        options = link_options(rng)
        proxy = lab.proxy(server.ports[0], *options)
        db = PgDb(server, "link", ports=[proxy.port])
        if len(options) > 2:
            extra.append("link " + " ".join(options[2:]))
    if backend.name == "pair" and rng.random() < 0.2:
        faults = [("failover-start", 1.0, 0, 0)]
    sim = None
    if gather:
        buses = [[(a, os.path.join(folder, "t%d.txt" % a)) for a in port] for port in TERMINALS]
        before_clear = {}
        for bus in buses:
            for address, path in bus:
                before_clear[address] = parts.write_records(rng, path, rng.randint(0, 600), dup=0, bad=0,
                                                            address=address)
                backend.files.append(path)
                backend.valid |= before_clear[address]
        sim_faults = rng.choice(([], ["--drop-after", str(rng.randrange(1, 300))], ["--fail-clear", "2"],
                                 ["--nak", "5", "--seed", str(k)]))
        baud = rng.choice((38400, 115200))
        sim = lab.simulator(buses, os.path.join(folder, "terminals"), "--baud", str(baud), *sim_faults)
        # The transfer's own time, twice over for a transfer started again: about 30 bytes a record.
        bound += 2 * 30 * 10 * sum(map(len, before_clear.values())) / baud
        extra += ["simulator " + " ".join(sim_faults)] if sim_faults else []
        with open(os.path.join(backend.homes[0], "Config", "Ports.ini"), "w") as f:
            f.write(sim.ports_ini)
        args = [["gather", "--all", "--then-clear"] + (["--jobs", "1"] if rng.random() < 0.3 else [])]
    else:
        pool = [parts.record(rng) for _ in range(rng.randint(20, 800))]
        args = []
        for i in range(nruns):
            path = os.path.join(folder, "r%d.txt" % i)
            backend.valid |= parts.write_records(rng, path, rng.randint(1, 2000), pool, crlf=rng.random() < 0.7,
                                                 dup=rng.uniform(0, 0.3), bad=rng.uniform(0, 0.1))
            backend.files.append(path)
            args.append(["import", path])
    print("step %d seed %d (replay: --seed %d --step %d) %s, %s, faults: %s" % (
        k, seed, seed, k, backend.name, "gather --all --then-clear" if gather else "%d imports" % nruns,
        ", ".join([describe(f) for f in faults] + extra) or "none"), flush=True)

    before = parts.count(backend.db)
    if any(f[0] == "failover-start" for f in faults):
        server.begin_smart_stop()
        bound += 5
    bound += sum(f[3] for f in faults if f[0] == "stop-backend") + 5 * any("failover" in f[0] for f in faults)
    runs = [Run(lab, backend.homes[i], db, a, bound, backend.env) for i, a in enumerate(args)]
    started, pending, resume, failed_over = time.monotonic(), sorted(faults, key=lambda f: f[1]), [], False
    while any(r.proc.alive() for r in runs) and time.monotonic() < started + parts.HANG_S:
        now = time.monotonic() - started
        for resume_at, pids in list(resume):
            if now >= resume_at:
                resume.remove((resume_at, pids))
                send(pids, signal.SIGCONT)
        for fault in list(pending):
            kind, at, target, duration = fault
            if kind == "kill9-clear":
                if not any(line.startswith("cleared") for line in sim.lines):
                    continue
            elif now < at:
                continue
            pending.remove(fault)
            try:
                failed_over |= apply(kind, target, duration, runs, backend, resume, failed_over, now)
            except Exception as e:  # a fault that could not be made is no fault of the command
                print("    fault %s not applied: %s" % (kind, e), flush=True)
        time.sleep(0.005)
    for _, pids in resume:
        send(pids, signal.SIGCONT)
    # A primary left shutting down gets its standby promoted even when every run ended first.
    if any(f[0] == "failover-start" for f in pending):
        failed_over |= apply("failover-start", 0, 0, runs, backend, resume, failed_over, 0)
    for r in runs:
        r.finish()
    for mount in [backend.mount] + list(backend.gather_disks.values()):
        if mount:
            parts.unfill(mount)
    if backend.name == "link":
        proxy.stop()

    violations = []
    for r in runs:
        violations += r.problems()
    keys = parts.table_keys(backend.db)
    twice = parts.doubled(keys)
    if twice:
        violations.append("%d records twice in Tcon_ConsumeDtl, e.g. %s" % (len(twice), twice[:3]))
    # Without a fault, or with only a failover at the start, which a run rides out, every run completes.
    if not extra and all(f[0] == "failover-start" for f in faults):
        violations += ["%s: %s without a fault: %s" % (r.name(), r.summary["outcome"], r.summary["reason"])
                       for r in runs if r.summary and r.summary["outcome"] != "completed"]
    violations += parts.growth(backend.db, before, runs)
    if sim:
        table = set(keys)
        copies = saved_copies(os.path.join(backend.homes[0], "Database"))
        for address, had in before_clear.items():
            with open(os.path.join(folder, "terminals", "%d.txt" % address)) as f:
                left = {parts.key(line.strip()) for line in f if line.strip()}
            lost = (had - left) - table
            if lost:
                violations.append("terminal %d erased %d records that are not in the table, e.g. %s" % (
                    address, len(lost), sorted(lost)[:3]))
            uncopied = (had - left) - copies
            if uncopied:
                violations.append("terminal %d erased %d records that are in no whole dated copy, e.g. %s" % (
                    address, len(uncopied), sorted(uncopied)[:3]))
        if sim.stop() is None:
            violations.append("the simulator did not end on SIGTERM")
    if failed_over:
        server.mend_pair()
    for v in violations:
        print("    VIOLATION step %d seed %d: %s" % (k, seed, v), flush=True)
    hangs = sum(r.hung for r in runs)
    backend.stats.update(steps=1, faults=len(faults) + len(extra), violations=len(violations), hangs=hangs)
    shutil.rmtree(os.path.join(folder, "terminals"), ignore_errors=True)


class Follower:
    """`tallyfold follow` on the backend's follower folder (or home), started again at once after a kill -9 or a
    stop, as its unit would be; every start, stop and kill is kept for the checks."""

    def __init__(self, lab, backend, folder, home=None, name="follower"):
        home = home or backend.follow_home
        self.lab, self.env, self.folder, self.name = lab, backend.env, folder, name
        self.args = [lab.tool("tallyfold"), "--home", home, "--db", backend.db.cs, "--json", "follow",
                     "--interval", str(INTERVAL), "--clear-at", str(CLEAR_AT), "--user", "admin"]
        self.journal = os.path.join(home, "Journal")
        self.starts, self.summaries, self.kills, self.problems, self.procs = [], [], 0, [], []
        self.away = False  # stopped for a while on purpose
        self.start()
        self.origin = self.starts[0]  # the step's start, once it has the list it follows

    def start(self):
        self.proc = Process(self.args, self.env)
        self.procs.append(self.proc)
        self.starts.append(time.monotonic())
        self.proc.log = os.path.join(self.folder, "%s-%d.log" % (self.name, len(self.starts)))
        self.lab.undo.append(lambda p=self.proc: p.alive() and p.popen.kill())

    def lines(self):
        """Every start's output: (when, line)."""
        return [x for p in self.procs for x in zip(list(p.times), list(p.lines))]

    def kill9(self, torn=False):
        self.proc.popen.kill()
        self.proc.popen.wait()
        self.kills += 1
        self.keep()
        if torn:
            payload = "".join(r + "\r\n" for r in TORN).encode()
            with open(os.path.join(self.journal, "%d.journal" % int(TORN[0][:2], 16)), "ab") as f:
                f.write(b"TFJ1 %d 1000000 %d %d %x\n" % (int(TORN[0][:2], 16), 1000000 + len(TORN), len(payload),
                                                        zlib.crc32(payload)) + payload[:len(payload) // 2])
        self.start()

    def second(self):
        """Another follower on the same folder is refused at once."""
        other = Process(self.args, self.env)
        try:
            status = other.popen.wait(STOP_S)
        except subprocess.TimeoutExpired:
            other.popen.kill()
            status = None
        other.reader.join(5)
        said = summary_of(other.lines)
        if status != 1 or not said or said["outcome"] != "refused":
            self.problems.append("a second follower on the folder ended with %s and %s" % (status, said))
        elif "process %d" % self.proc.popen.pid not in (said.get("reason") or "") and self.proc.alive():
            self.problems.append("a second follower on the folder was refused without naming process %d: %s" % (
                self.proc.popen.pid, said.get("reason")))

    def keep(self):
        """Its output, timed from the step's start, for a violation's log."""
        self.proc.reader.join(5)
        with open(self.proc.log, "w") as f:
            f.writelines("%7.3f %s\n" % (t - self.origin, line) for t, line in zip(self.proc.times, self.proc.lines))

    def ended_alone(self):
        """A follower that ended without being told to: a violation, and started again."""
        if self.proc.alive() or self.away:
            return
        self.proc.reader.join(5)
        self.problems.append("the follower ended by itself with exit %d: %s" % (self.proc.popen.returncode,
                                                                               self.proc.lines[-3:]))
        self.keep()
        self.start()

    def stop(self, again=True):
        """SIGTERM: it must end within STOP_S with exit 0 and a summary that adds up and tells how many records
        wait in the journal."""
        asked = time.monotonic()
        self.proc.signal(signal.SIGTERM)
        try:
            status = self.proc.popen.wait(STOP_S + 10)
        except subprocess.TimeoutExpired:
            self.proc.popen.kill()
            status = self.proc.popen.wait()
            self.kills += 1
            self.problems.append("the follower did not end within %d s of SIGTERM: %s" % (
                STOP_S + 10, self.proc.lines[-3:]))
        took = time.monotonic() - asked
        self.keep()
        summary = summary_of(self.proc.lines)
        waiting, wrong = parts.journal(self.journal)
        self.problems += ["the journal: " + w for w in wrong]
        if took > STOP_S and status is not None and status >= 0:
            self.problems.append("the follower took %.1f s to end on SIGTERM, bound %d s: %s" % (
                took, STOP_S, self.proc.lines[-3:]))
        if status is not None and (status != 0 or not summary):
            self.problems.append("the follower ended on SIGTERM with exit %d and %s: %s" % (
                status, "no summary" if not summary else summary["outcome"], self.proc.lines[-3:]))
        if summary:
            self.summaries.append(summary)
            if summary["read"] != summary["stored"] + summary["duplicates"] + summary["errors"] or (
                    summary["unstored"] or summary["errors"]):
                self.problems.append("the follower's summary does not add up or failed swipes: %s" % summary)
            told = re.search(r"(\d+) records read wait in the journal", summary["reason"] or "")
            held = sum(map(len, waiting.values()))
            if (int(told.group(1)) if told else 0) != held:
                self.problems.append("the follower's summary says %s records wait in the journal, it holds %d" % (
                    told.group(1) if told else "no", held))
        if again:
            self.start()
        return asked


def summary_of(lines):
    summary = None
    for line in lines:
        try:
            event = json.loads(line)
        except ValueError:
            continue
        if isinstance(event, dict) and event.get("event") == "summary":
            summary = event
    return summary


def plan_follow(rng, backend, fill_s):
    """A follower step's length and faults: (kind, at, seconds). Each outage of the database outlasts what a till
    holds; a kill -9 or a SIGHUP may fall within it, a kill -9 into the drain after it (seconds: its delay). A
    last outage may outlast the step, so that the follower is stopped while the database is away."""
    outages = ["lock", "full-db"] if backend.name == "sqlite" and backend.mount else ["lock"] \
        if backend.name == "sqlite" else ["stop-fast", "stop-immediate"]
    faults, at, gap = [], rng.uniform(0.5, 2), 0
    for _ in range(rng.choice((1, 1, 1, 1, 2))):
        seconds = rng.uniform(1.1, 1.4) * fill_s
        faults.append((rng.choice(outages), at, seconds))
        if rng.random() < 0.4:
            faults.append(("kill9", at + rng.uniform(0.2, 0.9) * seconds, 0))
        if rng.random() < 0.3:
            faults.append(("sighup", at + rng.uniform(0.1, 0.9) * seconds, 0))
        if rng.random() < 0.5:
            faults.append(("kill9-drain", at + seconds, rng.choice((0, 0, 0.002, 0.01, 0.05))))
        gap = rng.uniform(2, 4)
        at += seconds + gap
    length = at
    choices = ["kill9", "kill9-torn", "sighup", "sigterm", "second"] + (["restart"] if backend.server else []) + [
        "full-" + folder for folder in backend.follow_disks]
    for _ in range(rng.choice((0, 1, 2))):
        kind = rng.choice(choices)
        faults.append((kind, rng.uniform(0.3, length), rng.uniform(0.5, 1.2) * fill_s if "full" in kind else 0))
    if rng.random() < 0.3:
        faults.append((rng.choice(outages), length - rng.uniform(0.3, gap - 0.2), 60))
    return length, sorted(faults, key=lambda f: f[1])


def describe_follow(fault):
    kind, at, seconds = fault
    if kind == "kill9-drain":
        return "kill9 %.3f s into the drain after %.1f s" % (seconds, at)
    return kind + (" past the stop" if seconds >= 60 else " for %.1f s" % seconds if seconds else "") + \
        " at %.1f s" % at


def plan_operators(rng, length, faults):
    """Operations by hand in the follower's folder, one after the other as the folder's lock wants: (at, command,
    twist, seconds, delay). Most that fall into a database outage, which they could not ride out, come right after
    it instead, while the journal drains. A twist: the operation killed with -9 while it waits for the port or
    mid-transfer, the follower killed with -9 while it waits, or the follower stopped for `seconds` (SIGSTOP) or
    terminal 3's device server away that long, the operation `delay` after it (a backlog to transfer)."""
    outages = [(at, at + seconds) for kind, at, seconds in faults if kind in ("lock", "full-db") or
               kind.startswith("stop-")]
    plan = []
    for _ in range(rng.randint(2, 4)):
        kind = rng.choice(("gather", "gather", "gather-clear", "clear", "clear", "test-link", "gather-all"))
        terminal = rng.choice((1, 2, 3))
        twist = rng.choice(("none", "none", "none", "kill9-wait", "kill9-transfer", "kill9-follower", "stall",
                            "server-away"))
        at, seconds, delay = rng.uniform(0.5, length - 1), 0, rng.uniform(0, 0.3)
        within = [b for a, b in outages if a <= at < b and b < length + CALM_S - 2]
        if within and rng.random() < 0.7:
            at = within[0] + rng.uniform(0, 1.5)
        if twist == "kill9-transfer":
            kind, delay = rng.choice(("gather", "gather-clear", "gather-all")), rng.uniform(0, 0.8)
        elif twist == "stall":
            seconds = rng.uniform(1.5, 2.5)
        elif twist == "server-away":
            # Half of them start while it is away: the follower cannot read the port, and should lend it.
            terminal, seconds = 3, rng.uniform(2, 20)
            delay = rng.choice((delay, -rng.uniform(0, seconds)))
        command = {"gather": ["gather", "--machine", str(terminal)],
                   "gather-clear": ["gather", "--machine", str(terminal), "--then-clear"],
                   "clear": ["clear", "--machine", str(terminal), "--yes"],
                   "test-link": ["test-link", "--machine", str(terminal)],
                   "gather-all": ["gather", "--all"]}[kind]
        plan.append((at, command, twist, seconds, delay))
    return sorted(plan)


def port_of(terminal):
    return next(port for port, terminals in enumerate(TERMINALS, 1) if terminal in terminals)


class Operators:
    """Carries out plan_operators' operations beside a follower, and keeps what each did: its run, when it started
    and ended, how long it waited for its port, and the ports it used."""

    def __init__(self, lab, backend, follower, plan, relay, server_port, started, length):
        self.lab, self.backend, self.follower, self.relay, self.server_port = lab, backend, follower, relay, server_port
        self.queue, self.started, self.length, self.current, self.done, self.skipped = list(plan), started, length, \
            None, [], []
        self.stalls = []  # (from, to): the follower stopped
        self.away = []  # (from, to): terminal 3's device server away

    def now(self):
        return time.monotonic() - self.started

    def busy(self):
        """Until the last operation ended and the follower read its ports again, or TAKE_BACK_S passed."""
        if self.queue or self.current:
            return True
        last = self.done[-1] if self.done else None
        return bool(last and self.now() < last["end"] + TAKE_BACK_S and not all(
            read_after(follow_events(self.follower, self.started), port, last["end"], TAKE_BACK_S)
            for port in last["ports"]))

    def unstall(self):
        """The follower stopped by a twist goes on: a signal for it must find it running."""
        op = self.current
        if op and op.get("until") is not None and op["twist"] == "stall":
            self.follower.proc.signal(signal.SIGCONT)
            self.stalls.append((op["from"], self.now()))
            op["until"] = None

    def poll(self):
        now = self.now()
        op = self.current
        if not op:
            # One that waited for others past the step's end is left out: the step has to end.
            while self.queue and now > self.length + 2:
                self.skipped.append(self.queue.pop(0))
            if not self.queue or self.queue[0][0] > now:
                return
            at, command, twist, seconds, delay = self.queue.pop(0)
            op = self.current = dict(command=command, twist=twist, seconds=seconds, delay=delay, planned=at,
                                     state="due", start_at=now + (seconds + delay if seconds else 0), acted=False, until=None)
            terminal = command[command.index("--machine") + 1] if "--machine" in command else None
            op["ports"] = {port_of(int(terminal))} if terminal else set(range(1, len(TERMINALS) + 1))
            if twist in ("stall", "server-away"):
                op["from"], op["until"] = now, now + seconds
                if twist == "stall":
                    self.follower.proc.signal(signal.SIGSTOP)
                else:
                    self.relay.stop()
        if op["until"] is not None and now >= op["until"]:
            if op["twist"] == "stall":
                self.unstall()
            else:
                self.relay = self.lab.spawn([self.lab.tool("tallyfold-delay-proxy"), str(self.relay.port), "127.0.0.1",
                                             str(self.server_port)])
                self.relay.port = int(self.relay.args[1])
                self.away.append((op["from"], now))
                op["until"] = None
        if op["state"] == "due" and now >= op["start_at"]:
            op["run"] = Run(self.lab, self.backend.follow_home, self.backend.db, op["command"],
                            WAIT_S * 2 + parts.BOUND_S, self.backend.env, failed=op["command"][0] == "gather")
            op["state"], op["start"] = "running", now
        run = op.get("run")
        if not run:
            return
        lines = list(run.proc.lines)
        if not op["acted"]:
            if op["twist"] in ("kill9-wait", "kill9-follower") and any("hand over the port" in line for line in lines):
                op["acted"] = True
                if op["twist"] == "kill9-wait":
                    run.signal(signal.SIGKILL)
                elif not self.follower.away:
                    self.follower.kill9()
            elif op["twist"] == "kill9-transfer":
                at = next((t for t, line in zip(list(run.proc.times), lines) if "的数据采集......" in line), None)
                if at is not None and time.monotonic() >= at + op["delay"]:
                    op["acted"] = True
                    run.signal(signal.SIGKILL)
        if op["until"] is None and (not run.proc.alive() or time.monotonic() > run.started + parts.HANG_S):
            run.finish()
            op["end"] = self.now()
            op["waits"] = waits(run)
            self.done.append(op)
            self.current = None


def waits(run):
    """How long a run waited for each port it found followed: from its notice to its next event of that terminal."""
    events = []
    for t, line in zip(run.proc.times, run.proc.lines):
        try:
            event = json.loads(line)
        except ValueError:
            continue
        if isinstance(event, dict):
            events.append((t, event))
    out = []
    for i, (t, event) in enumerate(events):
        if "hand over the port" in (event.get("text") or ""):
            after = next((u for u, e in events[i + 1:] if e.get("terminal") == event.get("terminal")), None)
            out.append(after - t if after else None)
    return out


def follow_step(lab, backends, seed, k, followed):
    """A follower on swiping terminals through database outages longer than a till holds, kill -9 (in the outage
    and the drain), SIGHUP, SIGTERM (also under another program's write lock), full disks; with operations by hand
    beside it, or a second follower in another host folder. Every swipe must be in the table, on its terminal or
    waiting in a journal; none twice in the table; no till refuses a swipe while the journal could take it; the
    summaries add up; an operation by hand gets its port within WAIT_S and gives it back."""
    rng = random.Random("%d:%d" % (seed, k))
    backend = backends[followed[(seed + k) % len(followed)]]  # in turn, so that a short run has both
    db, server, journal = backend.db, backend.server, os.path.join(backend.follow_home, "Journal")
    length, faults = plan_follow(rng, backend, CAPACITY * SWIPE_MS / 1000)
    side = random.Random("%d:%d:beside" % (seed, k))
    draw = side.random()
    mode = "twin" if backend.twin_home and draw < TWIN_SHARE else "beside" if draw < BESIDE_SHARE else "alone"
    operations, twin_at, away = [], None, None
    if mode == "beside":
        operations = plan_operators(side, length, faults)
        length += CALM_S
    elif mode == "twin":
        twin_at = side.uniform(0.5, 0.4 * length)
        if side.random() < 0.5:
            away = (side.uniform(twin_at + 3, max(twin_at + 3.5, length - 2)), side.uniform(12, 15))
            length = max(length, away[0] + away[1] + 2 * INTERVAL + 1)
    print("step %d seed %d (replay: --seed %d --step %d) %s, follow %.1f s, faults: %s%s" % (
        k, seed, seed, k, backend.name, length, ", ".join(map(describe_follow, faults)) or "none",
        "; operations: " + ", ".join("%s%s at %.1f s" % (" ".join(c), "" if t == "none" else " (%s%s)" % (
            t, " %.1f s" % s if s else ""), at) for at, c, t, s, _ in operations) if operations else
        "; a second follower at %.1f s%s" % (twin_at, ", the first away %.1f s from %.1f s" % (away[1], away[0])
                                              if away else "") if twin_at is not None else ""), flush=True)
    folder = lab.path("step-%d-%d" % (seed, k))
    os.makedirs(folder)
    journals = [journal] + ([os.path.join(backend.twin_home, "Journal")] if twin_at is not None else [])
    # Another step's journal belongs to terminals numbered afresh since.
    for j in journals:
        if os.path.isdir(j):
            for name in os.listdir(j):
                os.remove(os.path.join(j, name))
    before = set(parts.table_keys(db))
    count_before = parts.count(db)
    swipes = os.path.join(folder, "swipes.txt")
    sim_args = ["--baud", str(BESIDE_BAUD if operations else 115200), "--swipe-every", str(SWIPE_MS), "--capacity",
                str(CAPACITY), "--swipes", swipes, "--seed", str(rng.randrange(1 << 30))]
    # Beside an operator, terminals 1 and 2 are on a serial line, terminal 3 behind a relay that may go away.
    sim = lab.simulator([[(a, None) for a in port] for port in TERMINALS], os.path.join(folder, "terminals"),
                        *sim_args, links=[os.path.join(folder, "line1")] if operations else [])
    ports_ini, relay, server_port = sim.ports_ini, None, None
    if operations:
        server_port = int(sim.ready[1].rsplit(":", 1)[1])
        relay = lab.proxy(server_port)
        ports_ini = ports_ini.replace(sim.ready[1], "tcp://127.0.0.1:%d" % relay.port)
    for home in [backend.follow_home] + ([backend.twin_home] if twin_at is not None else []):
        with open(os.path.join(home, "Config", "Ports.ini"), "w") as f:
            f.write(ports_ini)
    follower = Follower(lab, backend, folder)
    # Outages come once it has the list it follows through them.
    waited = time.monotonic() + 15
    while not os.path.exists(os.path.join(journal, "terminals.tsv")) and time.monotonic() < waited:
        time.sleep(0.02)
    started, pending, lifts, drain, no_journal = time.monotonic(), list(faults), [], None, []
    follower.origin = back = started
    hands = Operators(lab, backend, follower, operations, relay, server_port, started, length)
    # windows: (kind, from, to) of the faults made, in seconds from the start.
    twin, away_taken, windows = None, False, []

    def lift(kind, fault_at):
        nonlocal back
        if kind == "lock":
            db.release()
        elif kind.startswith("stop-"):
            server.start()
        elif kind == "full-db":
            parts.unfill(backend.mount)
        windows.append((kind, fault_at - started, time.monotonic() - started))
        if kind in ("lock", "full-db") or kind.startswith("stop-"):
            back = time.monotonic()
        elif kind.startswith("full-"):
            parts.unfill(backend.follow_disks[kind[5:]])
            if kind == "full-Journal":
                no_journal.append((fault_at, time.monotonic()))

    # A kill -9 armed for the drain waits for it, 4 s at most; operations by hand end, and give their ports back.
    while time.monotonic() < started + length or drain or hands.busy():
        now = time.monotonic() - started
        for end, kind, fault_at in [x for x in lifts if x[0] <= now]:
            lifts.remove((end, kind, fault_at))
            lift(kind, fault_at)
        if twin_at is not None and twin is None and now >= twin_at:
            twin = Follower(lab, backend, folder, backend.twin_home, "twin")
            twin.origin = started
        if away and not away_taken and now >= away[0]:
            away_taken = follower.away = True
            follower.stop(again=False)
            windows.append(("away", now, now + away[1]))
        if follower.away and now >= away[0] + away[1]:
            follower.away = False
            follower.start()
        for fault in [f for f in pending if f[1] <= now]:
            pending.remove(fault)
            kind, at, seconds = fault
            away_now = any(x[1] in ("lock", "full-db") or x[1].startswith("stop-") for x in lifts)
            try:
                if follower.away and kind in ("kill9", "kill9-torn", "second", "kill9-drain", "sighup", "sigterm"):
                    raise RuntimeError("the follower is away")
                hands.unstall()
                if kind == "lock":
                    db.lock()
                elif kind.startswith("stop-"):
                    server.stop(kind[5:])
                elif kind == "full-db":
                    parts.fill(backend.mount)
                elif kind.startswith("full-"):
                    parts.fill(backend.follow_disks[kind[5:]])
                elif kind in ("kill9", "kill9-torn"):
                    follower.kill9(torn=kind == "kill9-torn")
                elif kind == "second":
                    follower.second()
                elif kind == "kill9-drain":
                    drain = (time.time_ns(), time.monotonic(), seconds)
                elif kind == "sighup":
                    follower.proc.signal(signal.SIGHUP)
                elif kind == "sigterm":
                    follower.stop()
                elif kind == "restart":
                    if away_now:
                        raise RuntimeError("the server is stopped")
                    server.restart()
                if kind in ("lock", "full-db") or kind.startswith("stop-") or kind.startswith("full-"):
                    lifts.append((at + seconds, kind, time.monotonic()))
                else:
                    windows.append((kind, at, time.monotonic() - started))
            except Exception as e:  # a fault that could not be made is no fault of the command
                print("    fault %s not applied: %s" % (kind, e), flush=True)
        if drain:
            # The drain has begun once a chunk of the journal was written out to be stored.
            since, armed, delay = drain
            drained = [e for e in os.scandir(journal) if e.name.endswith(".drain") and e.stat().st_mtime_ns > since]
            if drained or time.monotonic() > armed + 4:
                time.sleep(delay)
                follower.kill9()
                drain = None
        hands.poll()
        follower.ended_alone()
        if twin:
            twin.ended_alone()
        time.sleep(0.005)
    if follower.away:
        follower.away = False
        follower.start()
    # Unless the database stays away past the stop, the journals drain once it is back and the disks have room.
    if not any(x[1] in ("lock", "full-db") or x[1].startswith("stop-") for x in lifts):
        for end, kind, fault_at in lifts:
            lift(kind, fault_at)
        lifts = []
        while any(any(parts.journal(j)[0].values()) for j in journals) and time.monotonic() < back + DRAIN_S:
            follower.ended_alone()
            time.sleep(0.1)
        left = sum(len(w) for j in journals for w in parts.journal(j)[0].values())
        if left:
            follower.problems.append("%d records still wait in the journal %.0f s after the database returned" % (
                left, time.monotonic() - back))
    stopped = follower.stop(again=False)
    if twin:
        twin.stop(again=False)
    waiting = {}
    for j in journals:
        for address, lines in parts.journal(j)[0].items():
            waiting.setdefault(address, set()).update(lines)
    if sim.stop() is None:
        follower.problems.append("the simulator did not end on SIGTERM")
    for end, kind, fault_at in lifts:
        lift(kind, fault_at)

    violations = list(follower.problems) + (["the second follower: " + p for p in twin.problems] if twin else [])
    keys = parts.table_keys(db)
    twice = parts.doubled(keys)
    if twice:
        violations.append("%d records twice in Tcon_ConsumeDtl, e.g. %s" % (len(twice), twice[:3]))
    table, held = set(keys), parts.held(os.path.join(folder, "terminals"))
    with open(swipes) as f:
        taken = [line.strip() for line in f if line.strip()]
    # Another step's swipe of the same card and minute is the same record to the store.
    shared = [r for r in taken if parts.key(r) in before]
    lost = [r for r in taken if parts.key(r) not in table and parts.key(r) not in before and
            r not in held.get(int(r[:2], 16), ()) and r not in waiting.get(int(r[:2], 16), ())]
    stored_torn = {parts.key(r) for r in TORN} & table
    if stored_torn:
        violations.append("records of a journal entry cut short were stored: %s" % sorted(stored_torn))
    if lost:
        violations.append("%d swipes neither in the table, nor on their terminal, nor waiting in the journal, "
                          "e.g. %s" % (len(lost), lost[:3]))
    runs = [op["run"] for op in hands.done]
    if not follower.kills and not (twin and twin.kills) and not any(r.killed() or not r.summary for r in runs):
        stored = sum(s["stored"] for f in [follower] + ([twin] if twin else []) for s in f.summaries) + sum(
            r.summary["stored"] for r in runs)
        if stored != parts.count(db) - count_before:
            violations.append("the summaries stored %d rows, the table gained %d" % (
                stored, parts.count(db) - count_before))
    # A till may fill while an operation has its port, the follower is stopped, or its device server away.
    excused = [(started + op["start"], started + op["end"] + TAKE_BACK_S,
                {a for p in op["ports"] for a in TERMINALS[p - 1]}) for op in hands.done]
    excused += [(started + a, started + b + GRACE_S, None) for a, b in hands.stalls]
    excused += [(started + a, started + b + 2 * (b - a) + GRACE_S, set(TERMINALS[1])) for a, b in hands.away]
    excused += [(started + a, started + b + TAKEOVER_S + GRACE_S, None) for kind, a, b in windows if kind == "away"]
    violations += refusals(sim, follower.starts, no_journal, stopped, started, excused)
    violations += operator_problems(hands, follower, windows, started, stopped)
    if twin:
        violations += twin_problems(follower, twin, windows, started, twin_at)
    for v in violations:
        print("    VIOLATION step %d seed %d: %s" % (k, seed, v), flush=True)
    if violations:
        with open(os.path.join(folder, "simulator.log"), "w") as f:
            f.writelines("%7.3f %s\n" % (t - started, line) for t, line in zip(sim.times, sim.lines))
        for i, op in enumerate(hands.done):
            with open(os.path.join(folder, "operation-%d.log" % i), "w") as f:
                f.write(" ".join(op["run"].args) + "\n")
                f.writelines("%7.3f %s\n" % (t - started, line) for t, line in zip(op["run"].proc.times,
                                                                                    op["run"].proc.lines))
        kept = shutil.copytree(folder, tempfile.mkdtemp(prefix="tallyfold-step-%d-%d." % (seed, k)), dirs_exist_ok=True)
        for i, j in enumerate(journals):
            shutil.copytree(j, os.path.join(kept, "Journal" if i == 0 else "Journal-twin"))
        print("    its logs, swipes, terminals and journal: %s" % kept, flush=True)
    print("    swipes %d (%d share a record of an earlier step), rows +%d, on the terminals %d, waiting in the "
          "journal %d (%d not in the table), follower starts %d, kills %d" % (
              len(taken), len(shared), parts.count(db) - count_before, sum(map(len, held.values())),
              sum(map(len, waiting.values())), sum(parts.key(r) not in table for w in waiting.values() for r in w),
              len(follower.starts), follower.kills), flush=True)
    for op in hands.done:
        r = op["run"]
        print("    %5.1f s %s%s: %s, waited %s" % (
            op["start"], " ".join(op["command"]), "" if op["twist"] == "none" else " (%s)" % op["twist"],
            "killed" if r.killed() else "exit %s, %s" % (r.status, r.summary and r.summary["outcome"]),
            ", ".join("%.2f s" % w if w is not None else "?" for w in op["waits"]) or "not"), flush=True)
    for at, command, twist, _, _ in hands.skipped:
        print("    %s planned at %.1f s: not run, the operations before it ended too late" % (" ".join(command), at))
    backend.files.append(swipes)
    backend.valid |= {parts.key(r) for r in taken}
    backend.stats.update(steps=1, faults=len(faults) + len(operations) + (twin is not None),
                         violations=len(violations), operations=len(hands.done))
    for op in hands.done:
        for w in op["waits"]:
            if w is not None:
                backend.waits.append(w)
    shutil.rmtree(os.path.join(folder, "terminals"), ignore_errors=True)


def overlaps(windows, a, b, kinds):
    """A fault of these kinds (or prefixes) that was on between a and b."""
    return any(x < b and y > a for kind, x, y in windows if any(kind.startswith(p) for p in kinds))


def follow_events(follower, started):
    """(seconds from the start, terminal) of every round that read, stored, journaled or cleared."""
    out = []
    for t, line in follower.lines():
        if line.startswith('{"event":"follow"'):
            out.append((t - started, int(json.loads(line)["terminal"])))
    return out


def read_after(rounds, port, begin, seconds):
    return any(begin < t <= begin + seconds and a in TERMINALS[port - 1] for t, a in rounds)


DATABASE_AWAY = ("lock", "full-db", "stop-", "restart")


def operator_problems(hands, follower, windows, started, stopped):
    """Each operation by hand: its run's own rules; it completes unless the database, a disk or its device server
    was away meanwhile; it waits at most WAIT_S for a port; the follower reads the port again within TAKE_BACK_S
    of its end, however it ended."""
    out, rounds = [], follow_events(follower, started)
    starts = [s - started for s in follower.starts]
    # The follower cannot read a port while it is stopped, nor port 2 while its device server is away.
    frozen = [("stall", a, b) for a, b in hands.stalls]
    for op in hands.done:
        run, name = op["run"], " ".join(op["command"])
        out += run.problems()
        if run.killed():
            pass
        elif run.summary and run.summary["outcome"] != "completed" and not overlaps(
                windows + [("server-away", a, b) for a, b in hands.away if 2 in op["ports"]], op["start"], op["end"],
                DATABASE_AWAY + ("full-", "server-away")):
            out.append("%s beside the follower: %s, %s" % (name, run.summary["outcome"], run.summary["reason"]))
        for w in op["waits"]:
            if w is not None and w > WAIT_S:
                out.append("%s waited %.1f s for its port, bound %.1f s" % (name, w, WAIT_S))
        for port in op["ports"]:
            # A follower started again meanwhile takes a moment to read its list.
            begin = max([op["end"]] + [s for s in starts if s < op["end"] + TAKE_BACK_S])
            end = begin + TAKE_BACK_S
            if read_after(rounds, port, begin - 0.5, TAKE_BACK_S + 1):
                continue
            if overlaps(windows + frozen + [("server-away", a, b) for a, b in hands.away if port == 2], op["end"],
                        end, ("full-", "away", "stop-", "lock", "full-db", "restart", "stall", "server-away")) or \
                    end > stopped - started:
                continue
            out.append("the follower did not read port %d within %.0f s of the end of %s at %.1f s" % (
                port, TAKE_BACK_S, name, op["end"]))
    return out


def told_at(follower, started):
    """When a follower first said another follows each terminal."""
    out = {}
    for t, line in follower.lines():
        m = re.match(r"tallyfold: terminal (\d+) is followed by ", line)
        if m:
            out.setdefault(int(m.group(1)), t - started)
    return out


def twin_problems(first, twin, windows, started, twin_at):
    """Two followers of two host folders on one database: one of them is told within TOLD_S of the second's start
    that the other has each terminal, they never both read a terminal for more than a round while the database
    answers, and the second takes over within TAKEOVER_S once the first is away."""
    said = []
    for t, line in twin.lines():
        if line.startswith("tallyfold: ") and line[11:60] not in [x[11:60] for _, x in said]:
            said.append((t - started, line))
    print("    the second follower said: %s" % ("; ".join("%.1f s %s" % (t, line[11:130]) for t, line in said[:6]) or
                                               "nothing"), flush=True)
    mine, theirs = follow_events(twin, started), follow_events(first, started)
    told, heard = told_at(twin, started), told_at(first, started)
    out, away = [], DATABASE_AWAY + ("away", "kill9", "sigterm", "sighup")
    for a in sorted(x for port in TERMINALS for x in port):
        if not overlaps(windows, twin_at - 5, twin_at + TAKEOVER_S, away) and not (
                told.get(a, 1e9) <= twin_at + TOLD_S or heard.get(a, 1e9) <= twin_at + TAKEOVER_S):
            out.append("no follower was told that the other has terminal %d (the second after %s, the first after "
                       "%s; bound %d s)" % (a, "%.1f s" % (told[a] - twin_at) if a in told else "never",
                                            "%.1f s" % (heard[a] - twin_at) if a in heard else "never", TOLD_S))
        # Both read it within a round of each other, with the database there to tell them apart.
        both = [t for t, b in mine if b == a and any(abs(t - u) <= INTERVAL + 1 and c == a for u, c in theirs) and
                not overlaps(windows, t - 2 * INTERVAL - 2, t + 1, DATABASE_AWAY)]
        if both and both[-1] - both[0] > 2 * INTERVAL + 1:
            out.append("both followers read terminal %d from %.1f s to %.1f s" % (a, both[0], both[-1]))
    for kind, a, b in windows:
        if kind != "away":
            continue
        took = [min([t for t, c in mine if t > a and c == x] or [1e9]) - a for port in TERMINALS for x in port]
        print("    the second follower read the first's terminals %s s after the first stopped" % ", ".join(
            "%.1f" % t if t < 1e9 else "never" for t in took), flush=True)
        if not overlaps(windows, a - 2, a + TAKEOVER_S, DATABASE_AWAY):
            late = [x for x, t in zip([x for port in TERMINALS for x in port], took) if t > TAKEOVER_S]
            if late:
                out.append("the second follower did not take over terminals %s within %d s of the first's stop at "
                           "%.1f s" % (late, TAKEOVER_S, a))
    return out


def refusals(sim, starts, no_journal, stopped, started, more=()):
    """A till may refuse swipes only while no follower could take them: from a (re)start, or while the journal
    could not be written, until GRACE_S later, or in more's (from, to, terminals or None for all); never while the
    database alone is away."""
    excused = sorted([(s, s + GRACE_S, None) for s in starts] + [(a, b + GRACE_S, None) for a, b in no_journal] +
                     list(more), key=lambda x: x[0])
    out = []
    for i, line in enumerate(sim.lines):
        fields = line.split()
        if fields[:1] == ["cleared"] and "below" not in fields:
            out.append("the terminal erased everything: %s" % line)
        if fields[:1] != ["full"]:
            continue
        full = sim.times[i]
        cleared = next((t for t, later in zip(sim.times[i:], sim.lines[i:])
                        if later.startswith("cleared %s below" % fields[1])), stopped)
        refused_until, reach = min(cleared, stopped), full
        for a, b, terminals in excused:
            if a <= reach and (terminals is None or int(fields[1]) in terminals):
                reach = max(reach, b)
        if reach < refused_until:
            out.append("terminal %s refused swipes for %.1f s from %.1f s, while the journal could take them" % (
                fields[1], refused_until - full, full - started))
    return out


def saved_copies(folder):
    """The records of a host folder's dated copies (Database/*.txt)."""
    keys = set()
    for name in os.listdir(folder):
        if name.endswith(".txt"):
            with open(os.path.join(folder, name), errors="replace") as f:
                keys |= {parts.key(line.strip()) for line in f if parts.valid(line.strip())}
    return keys


def clean_pass(backend):
    """Every file once more, without faults: the table must hold exactly the union of their valid records."""
    violations = []
    for path in backend.files:
        run = Run(backend.lab, backend.homes[0], backend.db, ["import", path]).finish()
        violations += run.problems()
        if run.summary and run.summary["outcome"] != "completed":
            violations.append("the clean pass over %s: %s, %s" % (path, run.summary["outcome"],
                                                                 run.summary["reason"]))
    keys = parts.table_keys(backend.db)
    if len(keys) != len(set(keys)) or set(keys) != backend.valid:
        violations.append("after the clean pass the table holds %d rows (%d distinct), the files %d valid "
                          "records; %d missing, %d not in any file" % (
                              len(keys), len(set(keys)), len(backend.valid), len(backend.valid - set(keys)),
                              len(set(keys) - backend.valid)) + " (e.g. missing %s, not in a file %s)" % (
                              sorted(backend.valid - set(keys))[:3], sorted(set(keys) - backend.valid)[:3]))
    for v in violations:
        print("    VIOLATION clean pass on %s: %s" % (backend.name, v), flush=True)
    backend.stats.update(violations=len(violations))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parts.add_bin_option(p)
    p.add_argument("--seed", type=int)
    p.add_argument("--steps", type=int, default=20)
    p.add_argument("--minutes", type=float, help="run steps until this much time has passed")
    p.add_argument("--step", type=int, help="replay this step of --seed alone")
    p.add_argument("--backends", default="sqlite,pg,link,pair")
    p.add_argument("--ci", action="store_true", help="fixed seeds and one fresh seed, %d steps each" % CI_STEPS)
    a = p.parse_args()
    fresh = int.from_bytes(os.urandom(4), "little")
    if a.ci:
        plan = [(s, range(CI_STEPS)) for s in CI_SEEDS + (fresh,)]
    elif a.step is not None:
        plan = [(a.seed, [a.step])]
    else:
        plan = [(fresh if a.seed is None else a.seed, range(10 ** 9 if a.minutes else a.steps))]
    if a.ci or a.seed is None:
        print("fresh seed %d" % fresh, flush=True)
    ended = time.monotonic() + a.minutes * 60 if a.minutes else None
    backends, interrupted = {}, False
    with parts.Lab(a.bin) as lab:
        try:
            backends = make_backends(lab, a.backends.split(","))
            for seed, steps in plan:
                for k in steps:
                    if ended and time.monotonic() > ended:
                        break
                    step(lab, backends, seed, k)
            for backend in backends.values():
                clean_pass(backend)
        except KeyboardInterrupt:
            interrupted = True
    total, waited = Counter(), []
    for backend in backends.values():
        total.update(backend.stats)
        waited += backend.waits
        print("  %s: steps %d, faults %d, violations %d, hangs %d" % (
            backend.name, backend.stats["steps"], backend.stats["faults"], backend.stats["violations"],
            backend.stats["hangs"]))
    if waited:
        waited.sort()
        print("  operations beside the follower %d, waits for a port %d: median %.2f s, longest %.2f s, bound %.1f s"
              % (total["operations"], len(waited), waited[len(waited) // 2], waited[-1], WAIT_S))
    print("campaign: steps %d, faults %d, violations %d, hangs %d%s" % (
        total["steps"], total["faults"], total["violations"], total["hangs"], ", interrupted" if interrupted else ""))
    return 130 if interrupted else 1 if total["violations"] or total["hangs"] else 0


if __name__ == "__main__":
    sys.exit(main())
