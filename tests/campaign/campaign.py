#!/usr/bin/env python3
"""The fault campaign: seeded steps, each 1-4 concurrent imports or a gather --all --then-clear on one
backend (SQLite, PostgreSQL, PostgreSQL through a faulty link, a primary with a synchronous standby), with
faults at random moments, and the invariants checked after every step. It starts every server and tool it
needs and stops them all, on Ctrl-C too.

    campaign.py [--bin DIR] [--seed S] [--steps N | --minutes M] [--step K] [--backends sqlite,pg,link,pair]
    campaign.py --ci

Each step prints its seed and faults; `--seed S --step K` (with the same --backends) replays step K of seed S
alone. --ci runs fixed
seeds and one fresh seed (printed), a few minutes in all. Exit status 0 with no violation, 1 otherwise."""
import argparse
import os
import random
import signal
import shutil
import sys
import time
from collections import Counter

import parts
from parts import Run, PgDb, Sqlite

CI_SEEDS, CI_STEPS = (1, 2), 15
# The simulated terminals' addresses, by port.
TERMINALS = [[1, 2], [3]]


class Backend:
    """One database the steps write to, the host folders of its concurrent runs, and every record file it
    was given (for the clean pass at the end)."""

    def __init__(self, name, lab, db, server=None, mount=None):
        self.name, self.lab, self.db, self.server, self.mount = name, lab, db, server, mount
        self.homes = [lab.home("%s-%d" % (name, i), db) for i in range(4)]
        self.files, self.valid = [], set()
        parts.list_terminals(db, [[(a, None) for a in port] for port in TERMINALS])
        self.stats = Counter()


def make_backends(lab, names):
    backends = {}
    if "sqlite" in names:
        # A full disk needs a file system of its own: a tmpfs, which only root mounts.
        mount = lab.tmpfs("sqlite", "160m") if os.geteuid() == 0 else None
        backends["sqlite"] = Backend("sqlite", lab, Sqlite(os.path.join(mount or lab.dir, "tallyfold.db")),
                                     mount=mount)
    if "pg" in names or "link" in names:
        server = lab.postgres()
        if "pg" in names:
            backends["pg"] = Backend("pg", lab, PgDb(server), server)
        if "link" in names:
            server.psql("create database link")
            backends["link"] = Backend("link", lab, PgDb(server, "link"), server)
    if "pair" in names:
        pair = lab.standby_pair()
        backends["pair"] = Backend("pair", lab, PgDb(pair), pair)
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
    runs = [Run(lab, backend.homes[i], db, a, bound) for i, a in enumerate(args)]
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
    if backend.mount:
        parts.unfill(backend.mount)
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
        for address, had in before_clear.items():
            with open(os.path.join(folder, "terminals", "%d.txt" % address)) as f:
                left = {parts.key(line.strip()) for line in f if line.strip()}
            lost = (had - left) - table
            if lost:
                violations.append("terminal %d erased %d records that are not in the table, e.g. %s" % (
                    address, len(lost), sorted(lost)[:3]))
        if sim.stop() is None:
            violations.append("the simulator did not end on SIGTERM")
    if failed_over:
        server.mend_pair()
    for v in violations:
        print("    VIOLATION step %d seed %d: %s" % (k, seed, v), flush=True)
    hangs = sum(r.hung for r in runs)
    backend.stats.update(steps=1, faults=len(faults) + len(extra), violations=len(violations), hangs=hangs)
    shutil.rmtree(os.path.join(folder, "terminals"), ignore_errors=True)


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
    total = Counter()
    for backend in backends.values():
        total.update(backend.stats)
        print("  %s: steps %d, faults %d, violations %d, hangs %d" % (
            backend.name, backend.stats["steps"], backend.stats["faults"], backend.stats["violations"],
            backend.stats["hangs"]))
    print("campaign: steps %d, faults %d, violations %d, hangs %d%s" % (
        total["steps"], total["faults"], total["violations"], total["hangs"], ", interrupted" if interrupted else ""))
    return 130 if interrupted else 1 if total["violations"] or total["hangs"] else 0


if __name__ == "__main__":
    sys.exit(main())
