#!/usr/bin/env python3
"""Live terminals on real parts: the simulator's terminals swipe every 100 ms while the PC takes their records,
and every swipe the simulator logged must end up in Tcon_ConsumeDtl exactly once.

    live.py follow [--minutes M] [--backend sqlite|postgres] [--bin DIR]
    live.py then-clear [--minutes M] [--bin DIR]
    live.py --ci [--bin DIR]

follow: 16 terminals on four buses (three pseudo-terminals, one device server behind a relay) followed by
`tallyfold follow --interval 2 --clear-at 50`, through a SIGHUP that lists one more terminal, device server
outages, a dropped connection, a database outage and a kill -9 of the follower (restarted at once).
then-clear: 4 terminals while `gather --all --then-clear` runs back to back.
--ci runs both, a minute and half a minute, on SQLite. Exit status 0 with no violation, 1 otherwise."""
import argparse
import os
import signal
import sqlite3
import sys
import time

import parts
from parts import PgDb, Process, Run, Sqlite

SWIPE_MS, CAPACITY, CLEAR_AT = 100, 400, 50
CATCH_UP_S = 30


def simulator(lab, buses, seconds, *options):
    """buses: ("link" or "listen", addresses); the links come first, as their ready lines do."""
    args = [lab.tool("tallyfold-terminal-sim"), "--state-dir", lab.path("terminals"), "--baud", "115200",
            "--swipe-every", str(SWIPE_MS), "--swipe-for", str(seconds), "--swipes", lab.path("swipes.txt")] + list(
                options)
    for i, (kind, addresses) in enumerate(buses):
        args += ["--link", lab.path("line%d" % i)] if kind == "link" else ["--listen", "127.0.0.1:0"]
        for address in addresses:
            args += ["--terminal", str(address)]
    sim = lab.spawn(args, len(buses))
    sim.started = time.monotonic()
    sim.seconds = seconds
    return sim


def write_ports(home, urls):
    with open(os.path.join(home, "Config", "Ports.ini"), "w") as f:
        f.write("[Ports]\nbaud=115200\n" + "".join("%d=%s\n" % (i, u) for i, u in enumerate(urls, 1)))


def swipes(lab):
    with open(lab.path("swipes.txt")) as f:
        return [line.strip() for line in f if line.strip()]


def compare(db, logged):
    """What the table holds against the swipes logged: (counts, violations). The store keeps a card's swipe
    once per minute, whichever terminal took it, so the simulator never gives a card twice in a minute."""
    wanted = {}
    for line in logged:
        wanted.setdefault(parts.key(line), set()).add(int(line[:2], 16))
    rows = db.query("select MachAddr, Cardid || ' ' || substr(cast(datatime as text) || ' 00:00', 1, 16) "
                    "from Tcon_ConsumeDtl")
    keys = [r[1] for r in rows]
    twice = parts.doubled(keys)
    missing = sorted(set(wanted) - set(keys))
    foreign = sorted("%s at %s" % (k, a) for a, k in rows if int(a) not in wanted.get(k, ()))
    counts = dict(swipes=len(logged), shared=len(logged) - len(wanted), rows=len(rows), duplicates=len(twice),
                  missing=len(missing))
    out = []
    if counts["shared"]:
        out.append("%d swipes share a card and minute with another" % counts["shared"])
    if twice:
        out.append("%d swipes twice in the table, e.g. %s" % (len(twice), twice[:5]))
    if missing:
        out.append("%d swipes not in the table, e.g. %s" % (len(missing), missing[:5]))
    if foreign:
        out.append("%d rows that are no swipe of their terminal, e.g. %s" % (len(foreign), foreign[:5]))
    return counts, out


def catch_up(db, sim):
    """Waits for the swipes to end, then until the table holds every swipe or CATCH_UP_S pass."""
    time.sleep(max(0, sim.started + sim.seconds + 0.5 - time.monotonic()))
    end = time.monotonic() + CATCH_UP_S
    while time.monotonic() < end and compare(db, swipes(sim.lab))[0]["missing"]:
        time.sleep(1)


def clear_events(sim):
    """The simulator's clears below a number, and its whole clears and refused swipes, which are violations."""
    below = [line for line in sim.lines if line.startswith("cleared") and " below " in line]
    out = ["the terminal erased everything: %s" % line for line in sim.lines
           if line.startswith("cleared") and " below " not in line]
    out += ["a terminal filled up and refused swipes: %s" % line for line in sim.lines if line.startswith("full")]
    return below, out


class Follower:
    """`tallyfold follow`, restarted at once after a kill -9 as its service unit would be."""

    def __init__(self, lab, home, db):
        self.lab = lab
        self.args = [lab.tool("tallyfold"), "--home", home, "--db", db.cs, "follow", "--interval", "2",
                     "--clear-at", str(CLEAR_AT), "--metrics", lab.path("follow.prom"), "--user", "admin"]
        self.killed = []
        # Its temporary files: a follower killed with -9 leaves them behind, in the lab, which removes them.
        self.env = dict(os.environ, TMPDIR=lab.path("tmp"))
        os.makedirs(self.env["TMPDIR"])
        self.start()

    def start(self):
        self.proc = Process(self.args, self.env)
        self.lab.undo.append(lambda p=self.proc: p.alive() and p.popen.kill())

    def kill9(self):
        self.proc.popen.kill()
        self.proc.popen.wait()
        self.killed.append(self.proc)
        self.start()

    def stop(self):
        """Its exit status and summary, or a violation."""
        status = self.proc.stop(10)
        summary = [line for line in self.proc.lines if line.split()[:2] == ["summary", "follow"]]
        problems = []
        if status != 0 or not summary:
            problems.append("the follower ended with %s and %s: %s" % (
                "no status (killed after 10 s)" if status is None else "exit %d" % status,
                summary[-1] if summary else "no summary", self.proc.lines[-5:]))
        return summary[-1] if summary else "", problems


def sqlite_outage(db, seconds):
    """Holds the write lock as a long transaction of another program would."""
    c = sqlite3.connect(db.path, timeout=60, isolation_level=None)
    c.execute("BEGIN IMMEDIATE")
    time.sleep(seconds)
    c.execute("ROLLBACK")
    c.close()


def postgres_outage(server, seconds):
    server.pg_ctl("data", "stop", "-m", "immediate", "-w")
    time.sleep(seconds)
    server.pg_ctl("data", "start", "-w", "-l", os.path.join(server.dir, "server.log"), "-o",
                  "-p %d -k %s -c listen_addresses=127.0.0.1 -c max_connections=200" % (server.ports[0], server.dir))


def follow(lab, seconds, backend):
    if backend == "postgres":
        server = lab.postgres()
        db = PgDb(server)
        outage = lambda: postgres_outage(server, 5)  # noqa: E731
    else:
        db = Sqlite(lab.path("follow.db"))
        outage = lambda: sqlite_outage(db, 10)  # noqa: E731
    home = lab.home("follow", db)
    buses = [("link", range(1, 5)), ("link", range(5, 9)), ("link", range(9, 13)), ("listen", range(13, 17))]
    # A connection of the device server closes once in a transfer of more than 100 records: the catch-up
    # after an outage or the kill.
    sim = simulator(lab, buses, seconds, "--capacity", str(CAPACITY), "--drop-after", "100")
    sim.lab = lab
    server_port = int(sim.ready[3].rsplit(":", 1)[1])
    relay = lab.proxy(server_port)
    write_ports(home, sim.ready[:3] + ["tcp://127.0.0.1:%d" % relay.port])
    parts.list_terminals(db, [[(a, None) for a in addresses if a != 16] for _, addresses in buses])
    follower = Follower(lab, home, db)
    faults = []

    def hang_up():
        parts.sh([lab.tool("tallyfold"), "--home", home, "--db", db.cs, "terminals", "add", "16", "--port", "4",
                  "--user", "admin"])
        follower.proc.signal(signal.SIGHUP)

    def kill9():
        # Halfway between two clears, when the terminals hold the most records stored but not yet cleared.
        clears = len(sim.lines)
        end = time.monotonic() + 30
        while time.monotonic() < end and not any(line.startswith("cleared 1 ") for line in sim.lines[clears:]):
            time.sleep(0.1)
        time.sleep(CAPACITY * CLEAR_AT / 100 * SWIPE_MS / 1000 / 2)
        follower.kill9()

    def server_away():
        nonlocal relay
        relay.stop()
        time.sleep(5)
        relay = lab.spawn([lab.tool("tallyfold-delay-proxy"), str(relay.port), "127.0.0.1", str(server_port)])
        relay.port = int(relay.args[1])

    # Terminal 16 is listed by the SIGHUP, well before it fills; the rest spread over the run.
    plan = [(8, "sighup", hang_up)] + [(seconds * f, "device server away 5 s", server_away) for f in (0.2, 0.5, 0.8)]
    plan += [(seconds * 0.3, "kill -9 of the follower", kill9),
             (seconds * 0.65, "database restart" if backend == "postgres" else "database locked 10 s", outage)]
    for at, name, action in sorted(plan, key=lambda p: p[0]):
        time.sleep(max(0, sim.started + at - time.monotonic()))
        action()
        print("  %5.1f s: %s" % (time.monotonic() - sim.started, name), flush=True)
        faults.append(name)
    catch_up(db, sim)
    summary, violations = follower.stop()
    counts, found = compare(db, swipes(lab))
    violations += found
    clears, found = clear_events(sim)
    violations += found
    if not clears:
        violations.append("the follower never cleared a terminal")
    if sim.stop() is None:
        violations.append("the simulator did not end on SIGTERM")
    told = sum("trying again" in line for p in follower.killed + [follower.proc] for line in p.lines)
    p99 = [line.split()[-1] for line in open(lab.path("follow.prom"))
           if line.startswith('tallyfold_follow_swipe_to_table_seconds{quantile="0.99"}')]
    print("follow %s %.0f s: swipes %d, rows %d, duplicates %d, missing %d, "
          "clears %d, faults %d (%s), failures told %d, swipe to table p99 %s s; %s" % (
              backend, seconds, counts["swipes"], counts["rows"], counts["duplicates"],
              counts["missing"], len(clears), len(faults), ", ".join(faults), told, (p99 or ["?"])[0], summary),
          flush=True)
    return violations


def then_clear(lab, seconds):
    db = Sqlite(lab.path("then-clear.db"))
    home = lab.home("then-clear", db)
    buses = [("link", (1, 2)), ("listen", (3, 4))]
    sim = simulator(lab, buses, seconds)
    write_ports(home, sim.ready)
    parts.list_terminals(db, [[(a, None) for a in addresses] for _, addresses in buses])
    violations, runs = [], 0
    swiping = lambda: time.monotonic() < sim.started + seconds + 0.5  # noqa: E731
    # One more gather once the swipes ended takes what came in after the last one.
    while True:
        last = not swiping()
        run = Run(lab, home, db, ["gather", "--all", "--then-clear"]).finish()
        runs += 1
        violations += run.problems()
        if run.summary and run.summary["outcome"] != "completed":
            violations.append("gather %d: %s, %s" % (runs, run.summary["outcome"], run.summary.get("reason")))
        if last:
            break
        time.sleep(2)
    counts, found = compare(db, swipes(lab))
    violations += found
    clears, found = clear_events(sim)
    violations += found
    if sim.stop() is None:
        violations.append("the simulator did not end on SIGTERM")
    print("then-clear %.0f s: swipes %d, rows %d, duplicates %d, missing %d, "
          "gathers %d, clears below a number %d" % (seconds, counts["swipes"], counts["rows"],
                                                    counts["duplicates"], counts["missing"], runs, len(clears)),
          flush=True)
    return violations


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("mode", nargs="?", choices=("follow", "then-clear"))
    parts.add_bin_option(p)
    p.add_argument("--minutes", type=float, default=10)
    p.add_argument("--backend", choices=("sqlite", "postgres"), default="sqlite")
    p.add_argument("--ci", action="store_true", help="follow for a minute on SQLite, then-clear for half a minute")
    a = p.parse_args()
    if not a.ci and not a.mode:
        p.error("a mode or --ci")
    plan = [("follow", 60, "sqlite"), ("then-clear", 30, None)] if a.ci else [(a.mode, a.minutes * 60, a.backend)]
    started, violations = time.monotonic(), []
    try:
        for mode, seconds, backend in plan:
            with parts.Lab(a.bin) as lab:
                found = follow(lab, seconds, backend) if mode == "follow" else then_clear(lab, seconds)
            violations += ["%s: %s" % (mode, v) for v in found]
    except KeyboardInterrupt:
        print("live: interrupted")
        return 130
    for v in violations:
        print("    VIOLATION %s" % v, flush=True)
    print("live: %d violations in %.0f s" % (len(violations), time.monotonic() - started))
    return 1 if violations else 0


if __name__ == "__main__":
    sys.exit(main())
