#!/usr/bin/env python3
"""One row per fault the campaign found, each reproduced on real parts: the command, its tools, PostgreSQL,
a tmpfs and real signals. A row passes when every run in it keeps the rules of parts.Run.problems (its bound,
a summary that adds up and gives its reason, an exit status that follows the summary) and the row's own.

    fault_table.py [--bin DIR] [--rows 1,3] [--repeat N]

Exit status 0 when every row passes, 1 otherwise."""
import argparse
import errno
import os
import random
import signal
import subprocess
import sys
import time

import parts
from parts import Run, PgDb, Sqlite

ROWS = []


def row(title):
    def add(fn):
        ROWS.append((title, fn))
        return fn
    return add


class Table:
    """What the rows share: one lab, one server of each kind started on first use, record files."""

    def __init__(self, lab, repeat):
        self.lab, self.repeat = lab, repeat
        self.rng = random.Random(22)
        self.servers = {}
        self.files = 0

    def server(self, kind):
        if kind not in self.servers:
            self.servers[kind] = self.lab.postgres() if kind == "pg" else self.lab.standby_pair()
        return self.servers[kind]

    def sqlite(self, name):
        db = Sqlite(self.lab.path(name + ".db"))
        return db, self.lab.home(name, db)

    def records(self, n):
        self.files += 1
        path = self.lab.path("records-%d.txt" % self.files)
        parts.write_records(self.rng, path, n)
        return path


def started(t, home, db, args, counted=None, bound=parts.BOUND_S):
    """A run, with the row count of the table it writes (counted: the same database without the faulty link)."""
    before = parts.count(counted or db)
    run = Run(t.lab, home, db, args, bound)
    run.before = before
    return run


def checked(db, run):
    return run.finish().problems() + parts.growth(db, run.before, [run])


@row("an import through a link cut after N bytes (43-76 KB) ends, trapped, within its bound")
def link_drops(t):
    server = t.server("pg")
    db = PgDb(server)
    home = t.lab.home("drop", db)
    out = []
    for n in (43000, 48000, 53000, 58000, 63000, 68000, 72000, 76000):
        for _ in range(t.repeat):
            proxy = t.lab.proxy(server.ports[0], "--drop-after", str(n))
            run = started(t, home, PgDb(server, ports=[proxy.port]), ["import", t.records(2000)], db)
            out += ["drop after %d: %s" % (n, p) for p in checked(db, run)]
            proxy.stop()
    return out


@row("SQLite on a full file system: a clear failure, no crash")
def full_disk(t):
    if os.geteuid() != 0:
        return ["needs root to mount a tmpfs"]
    mount = t.lab.tmpfs("full", "3m")
    db = Sqlite(os.path.join(mount, "tallyfold.db"))
    home = t.lab.home("full-home", db)
    out = []
    for when in (None, 0.02, 0.1, 0.3):
        path, before = t.records(2000), parts.count(db)
        if when is None:
            parts.fill(mount)
        run = Run(t.lab, home, db, ["import", path])
        run.before = before
        if when is not None:
            time.sleep(when)
            parts.fill(mount)
        run.finish()
        parts.unfill(mount)
        out += ["filled %s: %s" % ("before" if when is None else "at %.2f s" % when, p) for p in checked(db, run)]
    return out


@row("a signal as the work ends, or after a trapped run: the exit status follows the summary")
def late_signals(t):
    db, home = t.sqlite("late")
    path = t.records(300)
    clean = started(t, home, db, ["import", path])
    out = checked(db, clean)
    for i in range(10 * t.repeat):
        sig = (signal.SIGTERM, signal.SIGINT)[i % 2]
        run = started(t, home, db, ["import", path])
        if i % 4 < 2:
            # Once the summary is out, before the process is gone.
            while run.proc.alive() and not any('"summary"' in line for line in run.proc.lines):
                time.sleep(0.0005)
        else:
            time.sleep(clean.wall * t.rng.uniform(0.6, 1.2))
        run.signal(sig)
        out += checked(db, run)
    server = t.server("pg")
    pg = PgDb(server)
    home = t.lab.home("trapped", pg)
    for sig in (signal.SIGTERM, signal.SIGINT) * t.repeat:
        proxy = t.lab.proxy(server.ports[0], "--drop-after", "3000")
        run = started(t, home, PgDb(server, ports=[proxy.port]), ["import", t.records(500)], pg)
        while run.proc.alive() and not any('"summary"' in line for line in run.proc.lines):
            time.sleep(0.0005)
        run.signal(sig)
        out += checked(pg, run)
        proxy.stop()
    return out


@row("a signal in the first milliseconds: still a summary, and the exit status follows it")
def early_signals(t):
    db, home = t.sqlite("early")
    path = t.records(300)
    # Counted from the exec. A process takes about half a millisecond to reach its first instruction,
    # before which no program can hold a signal; from there on the command holds them until it can act.
    out = []
    for _ in range(t.repeat):
        for ms in (3, 5, 8, 12, 16, 20):
            for sig in (signal.SIGTERM, signal.SIGINT):
                run = started(t, home, db, ["import", path])
                time.sleep(ms / 1000)
                run.signal(sig)
                out += ["%s at %d ms: %s" % (sig.name, ms, p) for p in checked(db, run)]
    return out


@row("every process of ours, idle, ends on SIGTERM (and the window on SIGINT)")
def idle_processes(t):
    db, home = t.sqlite("idle")
    server = t.server("pg")
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", TALLYFOLD_HOME=home, TALLYFOLD_CONNECTION=db.cs)
    show = [t.lab.tool("tallyfold"), "--home", home, "--db", db.cs, "show", "--user", "admin"]
    cases = [(show, signal.SIGTERM), (show, signal.SIGINT),
             ([t.lab.tool("tallyfold-show"), "--user", "admin", "--caption", "消费管理"], signal.SIGTERM),
             ([t.lab.tool("tallyfold-terminal-sim"), "--listen", "127.0.0.1:0", "--terminal", "1"], signal.SIGTERM),
             ([t.lab.tool("tallyfold-delay-proxy"), str(parts.free_port()), "127.0.0.1", str(server.ports[0])],
              signal.SIGTERM)]
    out = []
    for args, sig in cases:
        p = parts.Process(args, env)
        time.sleep(2)
        family = subprocess.run(["pgrep", "-P", str(p.popen.pid)], stdout=subprocess.PIPE, text=True).stdout.split()
        p.popen.send_signal(sig)
        try:
            status = p.popen.wait(5)
            if status not in (128 + sig, -sig):
                out.append("%s: exit %d on %s" % (os.path.basename(args[0]), status, sig.name))
        except subprocess.TimeoutExpired:
            out.append("%s: still running 5 s after %s" % (" ".join(os.path.basename(a) for a in args[:3]), sig.name))
            p.popen.kill()
            p.popen.wait()
        for child in family:
            if subprocess.run(["ps", "-o", "stat=", "-p", child], stdout=subprocess.PIPE, text=True).stdout[:1] \
                    not in ("", "Z"):
                out.append("%s: its child %s still runs" % (os.path.basename(args[0]), child))
                os.kill(int(child), signal.SIGKILL)
    return out


@row("a run started while the primary shuts down waits for the promoted standby and completes")
def start_during_failover(t):
    server = t.server("pair")
    db = PgDb(server)
    home = t.lab.home("failover", db)
    out = []
    for _ in range(t.repeat):
        path = t.records(1000)
        before = parts.count(db)
        server.begin_smart_stop()
        time.sleep(0.3)
        run = Run(t.lab, home, db, ["import", path])
        run.before = before
        time.sleep(1)
        server.end_smart_stop()
        out += checked(db, run)
        if run.summary and run.summary["outcome"] != "completed":
            out.append("outcome %s: %s" % (run.summary["outcome"], run.summary["reason"]))
        server.mend_pair()
    return out


@row("under a stalled link a run ends within Command Timeout + Connect Timeout + 2 s")
def stalled_link(t):
    server = t.server("pg")
    home = t.lab.home("stall", PgDb(server))
    command, connect = 3, 3
    out = []
    for n in (300, 3000, 20000, 45000, 70000):
        proxy = t.lab.proxy(server.ports[0], "--stall-after", str(n))
        db = PgDb(server, ports=[proxy.port])
        db.cs = db.cs.replace(parts.TIMEOUTS, "Command Timeout=%d;Connect Timeout=%d;" % (command, connect))
        run = started(t, home, db, ["import", t.records(2000)], PgDb(server), bound=command + connect + 2)
        out += ["stall after %d: %s" % (n, p) for p in checked(PgDb(server), run)]
        proxy.stop()
    return out


@row("a gather --all stopped by SIGTERM gives each terminal and the total a reason a person can read")
def cancelled_gather(t):
    db, home = t.sqlite("gather")
    buses = [[(1, t.lab.path("t1.txt")), (2, t.lab.path("t2.txt"))], [(3, t.lab.path("t3.txt"))]]
    for terminals in buses:
        for address, path in terminals:
            parts.write_records(t.rng, path, 1500, dup=0, bad=0, address=address)
    parts.list_terminals(db, buses)
    out = []
    for _ in range(t.repeat):
        sim = t.lab.simulator(buses, t.lab.path("terminals"), "--baud", "9600")
        with open(os.path.join(home, "Config", "Ports.ini"), "w") as f:
            f.write(sim.ports_ini)
        run = started(t, home, db, ["gather", "--all", "--then-clear"])
        time.sleep(1.5)
        run.signal(signal.SIGTERM)
        out += checked(db, run)
        if run.summary and run.summary["outcome"] != "cancelled":
            out.append("stopped by SIGTERM, the gather says %s" % run.summary["outcome"])
        if sim.stop() is None:
            out.append("the simulator did not end on SIGTERM")
    return out


@row("gather --then-clear with Source/ or Database/ on a full file system: no clear, a reason, exit 1")
def full_disk_clear(t):
    if os.geteuid() != 0:
        return ["needs root to mount a tmpfs"]
    out = []
    for folder in ("Source", "Database"):
        db, home = t.sqlite("clear-" + folder)
        records = t.lab.path("clear-%s.txt" % folder)
        had = parts.write_records(t.rng, records, 50, dup=0, bad=0, address=1)
        parts.list_terminals(db, [[(1, records)]])
        state = t.lab.path("clear-%s-terminals" % folder)
        sim = t.lab.simulator([[(1, records)]], state)
        with open(os.path.join(home, "Config", "Ports.ini"), "w") as f:
            f.write(sim.ports_ini)
        mount = t.lab.tmpfs("clear-%s-full" % folder, "1m")
        os.rmdir(os.path.join(home, folder))
        os.symlink(mount, os.path.join(home, folder))
        parts.fill(mount)
        run = started(t, home, db, ["gather", "--machine", "1", "--then-clear"])
        problems = checked(db, run)
        if run.status == 0:
            problems.append("exit 0: %s" % run.summary)
        elif run.summary and os.strerror(errno.ENOSPC) not in (run.summary["reason"] or ""):
            problems.append("the reason does not say the disk is full: %s" % run.summary["reason"])
        sim.stop()
        with open(os.path.join(state, "1.txt")) as f:
            left = {parts.key(line.strip()) for line in f if line.strip()}
        if had - left:
            problems.append("the terminal erased %d of its %d records" % (len(had - left), len(had)))
        out += ["%s full: %s" % (folder, p) for p in problems]
    return out


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parts.add_bin_option(p)
    p.add_argument("--rows", help="the rows to run, e.g. 1,3 (default: all)")
    p.add_argument("--repeat", type=int, default=2, help="repetitions of the timing-dependent runs")
    a = p.parse_args()
    chosen = [int(n) for n in a.rows.split(",")] if a.rows else range(1, len(ROWS) + 1)
    failed = []
    with parts.Lab(a.bin) as lab:
        t = Table(lab, a.repeat)
        for number in chosen:
            if parts.interrupted():
                break
            title, fn = ROWS[number - 1]
            started = time.monotonic()
            try:
                problems = fn(t)
            except KeyboardInterrupt:
                problems = ["interrupted"]
            except Exception as e:
                problems = ["could not run: %r" % e]
            print("row %d %s (%.0f s): %s" % (number, "FAIL" if problems else "pass", time.monotonic() - started,
                                               title), flush=True)
            for problem in problems:
                print("    " + problem, flush=True)
            if problems:
                failed.append(number)
    print("fault table: %d rows, failed: %s" % (len(chosen), ",".join(map(str, failed)) or "none"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
