"""The real parts the fault table and the campaign put together: the command and its tools, PostgreSQL
servers, a tmpfs, record files, and the checks every run of the command must pass."""
import contextlib
import glob
import json
import os
import random
import shutil
import signal
import socket
import sqlite3
import subprocess
import tempfile
import threading
import time
import urllib.parse
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PGBIN = (sorted(glob.glob("/usr/lib/postgresql/*/bin"), key=lambda p: int(p.split("/")[-2])) or [""])[-1]
COMMAND_TIMEOUT, CONNECT_TIMEOUT = 5, 8
TIMEOUTS = "Command Timeout=%d;Connect Timeout=%d;" % (COMMAND_TIMEOUT, CONNECT_TIMEOUT)
# A run's work takes a few seconds here; on top of it, the README's bound of any wait.
WORK_S = 12
BOUND_S = WORK_S + COMMAND_TIMEOUT + CONNECT_TIMEOUT + 2
# A run still going this long after its bound is a hang: it is killed and reported.
HANG_S = BOUND_S + 30


def add_bin_option(parser):
    parser.add_argument("--bin", default=os.path.join(ROOT, "build", "bin"),
                        help="folder of tallyfold and its tools (default: the repository's build/bin)")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def as_postgres(args):
    return (["runuser", "-u", "postgres", "--"] if os.geteuid() == 0 else []) + args


def sh(args, **kw):
    done = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kw)
    if done.returncode:
        raise RuntimeError("%s: exit %d: %s" % (" ".join(args[:3]), done.returncode, done.stderr.strip()))
    return done.stdout


class Process:
    """A process of ours whose stdout lines are collected as they come."""

    def __init__(self, args, env=None):
        self.args = args
        self.popen = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                      stderr=subprocess.STDOUT, text=True, env=env)
        self.lines = []
        self.times = []  # when each line came, for the moments of a simulator's events
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.popen.stdout:
            self.times.append(time.monotonic())
            self.lines.append(line.rstrip("\n"))
        self.popen.wait()
        self.ended = time.monotonic()

    def wait_lines(self, prefix, count=1, timeout=20):
        end = time.monotonic() + timeout
        while time.monotonic() < end and self.reader.is_alive():
            found = [line for line in self.lines if line.startswith(prefix)]
            if len(found) >= count:
                return found
            time.sleep(0.01)
        raise RuntimeError("%s: no '%s' line: %s" % (self.args[0], prefix, self.lines[-5:]))

    def alive(self):
        return self.popen.poll() is None

    def signal(self, sig):
        if self.alive():
            self.popen.send_signal(sig)

    def stop(self, timeout=5):
        """SIGTERM, then the status, or None when it had to be killed: every process of ours ends on SIGTERM."""
        self.signal(signal.SIGTERM)
        try:
            return self.popen.wait(timeout)
        except subprocess.TimeoutExpired:
            self.popen.kill()
            self.popen.wait()
            return None
        finally:
            self.reader.join(5)


_critical, _interrupted = 0, False


def _interrupt(*_):
    global _interrupted
    _interrupted = True
    if not _critical:
        raise KeyboardInterrupt()


def interrupted():
    return _interrupted


@contextlib.contextmanager
def critical():
    """Ctrl-C and SIGTERM wait until a server command is done: one cut short would bring its server up again
    after the cleanup had stopped it."""
    global _critical
    _critical += 1
    try:
        yield
    finally:
        _critical -= 1
        if not _critical and _interrupted:
            raise KeyboardInterrupt()


class Lab:
    """Owns every server, process and mount started for a table or a campaign, and stops them all on the way
    out, Ctrl-C and SIGTERM included."""

    def __init__(self, bin_dir):
        self.bin = os.path.abspath(bin_dir)
        self.dir = tempfile.mkdtemp(prefix="tallyfold-campaign.")
        os.chmod(self.dir, 0o755)
        self.undo = []
        signal.signal(signal.SIGTERM, _interrupt)
        signal.signal(signal.SIGINT, _interrupt)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for action in reversed(self.undo):
            try:
                action()
            except Exception as e:  # one part that will not stop must not keep the others running
                print("cleanup: %s" % e)
        shutil.rmtree(self.dir, ignore_errors=True)

    def tool(self, name):
        return os.path.join(self.bin, name)

    def path(self, *names):
        return os.path.join(self.dir, *names)

    def spawn(self, args, ready=1, env=None):
        """A tool, once it has printed its `ready` lines."""
        p = Process(args, env)
        self.undo.append(p.stop)
        p.ready = [line.split()[-1] for line in p.wait_lines("ready", ready)]
        return p

    def proxy(self, to_port, *faults):
        port = free_port()
        p = self.spawn([self.tool("tallyfold-delay-proxy"), str(port), "127.0.0.1", str(to_port)] + list(faults))
        p.port = port
        return p

    def simulator(self, buses, state_dir, *faults, links=()):
        """buses: per port, a list of (address, record file or None); each terminal's records are kept in
        state_dir. The first buses are served on the pseudo-terminals links names, the others behind device
        servers. Its ports_ini holds the Ports.ini lines that reach them."""
        args = [self.tool("tallyfold-terminal-sim"), "--state-dir", state_dir] + list(faults)
        for i, terminals in enumerate(buses):
            args += ["--link", links[i]] if i < len(links) else ["--listen", "127.0.0.1:0"]
            for address, records in terminals:
                args += ["--terminal", str(address) if records is None else "%s=%s" % (address, records)]
        p = self.spawn(args, len(buses))
        # A serial line's speed, for its timeouts, is the simulator's.
        baud = "baud=%s\n" % args[args.index("--baud") + 1] if links and "--baud" in args else ""
        p.ports_ini = "[Ports]\n" + baud + "".join("%d=%s\n" % (i + 1, url) for i, url in enumerate(p.ready))
        return p

    def tmpfs(self, name, size):
        """A file system of its own at name (in the lab, or a folder's path), to fill up."""
        mount = name if os.path.isabs(name) else self.path(name)
        os.makedirs(mount, exist_ok=True)
        sh(["mount", "-t", "tmpfs", "-o", "size=%s" % size, "tmpfs", mount])
        self.undo.append(lambda: sh(["umount", "-l", mount]))
        return mount

    def home(self, name, db):
        """A host folder whose runs write to db, with the operator admin granted."""
        home = self.path(name)
        os.makedirs(home, exist_ok=True)
        sh([self.tool("tallyfold"), "--home", home, "--db", db.cs, "init-db", "--grant", "admin"])
        return home

    @critical()
    def _server(self, script):
        """Starts a server with one of the repository's scripts: its connection string's ports and folder."""
        script = os.path.join(ROOT, "scripts", script)
        dirfile = self.path(script.split("/")[-1] + ".dir")
        cs = sh(["bash", script], env=dict(os.environ, PG_THROWAWAY_DIR_FILE=dirfile))
        pgdir = open(dirfile).read().strip()
        self.undo.append(lambda: sh(["bash", script, "stop", pgdir]))
        return pgdir, [int(p) for p in cs.split("Port=")[1].split(";")[0].split(",")]

    def postgres(self):
        return Server(*self._server("pg-throwaway"), {"data": 0})

    def standby_pair(self):
        return Server(*self._server("pg-standby-pair"), {"primary": 0, "standby": 1})


class Server:
    """A throwaway PostgreSQL server, or a primary with its synchronous standby (nodes: data folder name to
    the index of its port; the primary is nodes' first entry)."""

    def __init__(self, pgdir, ports, nodes):
        self.dir, self.ports, self.nodes = pgdir, ports, nodes
        self.primary = next(iter(nodes))

    def cs(self, database="postgres", ports=None):
        ports = ports or self.ports
        return "Provider=PostgreSQL;Host=%s;Port=%s;Database=%s;User ID=postgres;%s" % (
            ",".join(["127.0.0.1"] * len(ports)), ",".join(map(str, ports)), database, TIMEOUTS)

    def psql(self, sql, database="postgres", timeout=30):
        conninfo = "host=%s port=%s dbname=%s user=postgres target_session_attrs=read-write connect_timeout=5" % (
            ",".join(["127.0.0.1"] * len(self.ports)), ",".join(map(str, self.ports)), database)
        # A promoted standby takes a moment to accept writes.
        for attempt in range(20):
            try:
                out = sh(["psql", conninfo, "-Atq", "-c", sql], timeout=timeout)
                break
            except RuntimeError:
                if attempt == 19:
                    raise
                time.sleep(0.5)
        return [line.split("|") for line in out.splitlines()]

    def pg_ctl(self, node, *args):
        # The server it starts keeps its output: a file, not a pipe that would never close.
        with critical(), open(os.path.join(self.dir, "pg_ctl.log"), "a") as log:
            done = subprocess.run(as_postgres([os.path.join(PGBIN, "pg_ctl"), "-D", os.path.join(self.dir, node)] +
                                              list(args)), stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        if done.returncode:
            raise RuntimeError("pg_ctl %s %s: exit %d" % (node, " ".join(args), done.returncode))

    def backends(self):
        return [int(r[0]) for r in self.psql("select pid from pg_stat_activity where backend_type = 'client backend' "
                                             "and pid <> pg_backend_pid()")]

    def restart(self):
        self.pg_ctl(self.primary, "restart", "-m", "immediate", "-w")

    def stop(self, mode="immediate"):
        self.pg_ctl(self.primary, "stop", "-m", mode, "-w")

    def start(self):
        """The primary again after stop(), with the options its script started it with."""
        options = self._options(self.primary, True) if len(self.nodes) > 1 else \
            "-p %d -k %s -c listen_addresses=127.0.0.1 -c max_connections=200" % (self.ports[0], self.dir)
        self.pg_ctl(self.primary, "start", "-w", "-l", os.path.join(self.dir, self.primary + ".log"), "-o", options)

    def begin_smart_stop(self):
        """The primary starts to shut down, held open by an idle client as an application's pool would."""
        port = self.ports[self.nodes[self.primary]]
        self.idle = subprocess.Popen(["psql", "host=127.0.0.1 port=%d user=postgres dbname=postgres" % port],
                                     stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
        while not self.psql("select 1 from pg_stat_activity where application_name = 'psql' "
                            "and pid <> pg_backend_pid()"):
            time.sleep(0.02)
        self.pg_ctl(self.primary, "stop", "-m", "smart", "-W")

    def end_smart_stop(self, promote=True):
        """The standby is promoted, and the idle client lets the old primary go."""
        if promote:
            self.promote()
        self.idle.stdin.close()
        self.idle.wait()

    def fail_over(self):
        """As a primary that dies: stopped at once, the standby promoted."""
        self.pg_ctl(self.primary, "stop", "-m", "immediate", "-w")
        self.promote()

    def promote(self):
        self.primary = next(n for n in self.nodes if n != self.primary)
        self.pg_ctl(self.primary, "promote", "-w", "-t", "60")

    def _options(self, node, primary):
        extra = "-c wal_level=replica -c max_wal_senders=4 -c synchronous_standby_names=*" if primary \
            else "-c hot_standby=on"
        return "-p %d -k %s -c listen_addresses=127.0.0.1 -c max_connections=50 %s" % (
            self.ports[self.nodes[node]], self.dir, extra)

    @critical()
    def mend_pair(self):
        """After a failover: the old primary becomes the new one's synchronous standby again."""
        old = next(n for n in self.nodes if n != self.primary)
        try:
            self.pg_ctl(old, "stop", "-m", "immediate", "-w")
        except RuntimeError:
            pass  # already down
        shutil.rmtree(os.path.join(self.dir, old))
        port = self.ports[self.nodes[self.primary]]
        sh(as_postgres([os.path.join(PGBIN, "pg_basebackup"), "-h", "127.0.0.1", "-p", str(port), "-U", "postgres",
                        "-D", os.path.join(self.dir, old), "-R", "-X", "stream"]))
        self.pg_ctl(old, "start", "-w", "-l", os.path.join(self.dir, old + ".log"), "-o", self._options(old, False))
        # On the new primary's command line, not in a file the next standby copies.
        self.pg_ctl(self.primary, "stop", "-m", "fast", "-w")
        self.pg_ctl(self.primary, "start", "-w", "-l", os.path.join(self.dir, self.primary + ".log"), "-o",
                    self._options(self.primary, True))
        for _ in range(300):
            if self.psql("select sync_state from pg_stat_replication") == [["sync"]]:
                return
            time.sleep(0.1)
        raise RuntimeError("the rebuilt standby did not become synchronous")


class Sqlite:
    def __init__(self, path):
        self.path = path
        self.cs = "Provider=SQLite;Data Source=%s;%s" % (path, TIMEOUTS)

    def query(self, sql):
        c = sqlite3.connect(self.path, timeout=60)
        try:
            with c:
                return [list(map(str, r)) for r in c.execute(sql)]
        finally:
            c.close()

    def lock(self):
        """Holds the write lock, as another program's long transaction would, until release()."""
        self.locked = sqlite3.connect(self.path, timeout=60, isolation_level=None)
        self.locked.execute("BEGIN IMMEDIATE")

    def release(self):
        self.locked.execute("ROLLBACK")
        self.locked.close()


class PgDb:
    def __init__(self, server, database="postgres", ports=None):
        self.server, self.database = server, database
        self.cs = server.cs(database, ports)

    def query(self, sql):
        return self.server.psql(sql, self.database)


def fill(mount):
    """Fills a file system to its last byte."""
    try:
        with open(os.path.join(mount, "filler"), "ab", buffering=0) as f:
            while True:
                f.write(b"\0" * 65536)
    except OSError:
        pass


def unfill(mount):
    try:
        os.remove(os.path.join(mount, "filler"))
    except FileNotFoundError:
        pass


def valid(line):
    try:
        int(line[:2], 16)
        time.strptime(line[8:18], "%y%m%d%H%M")
        return len(line) == 18 and line[2:18].isdigit()
    except ValueError:
        return False


def key(line):
    """The store's duplicate key of a record line: card and date-time, the address not counted."""
    return "%s 20%s-%s-%s %s:%s" % (line[2:8], line[8:10], line[10:12], line[12:14], line[14:16], line[16:18])


def record(rng, address=None):
    return "%02X%06d24%02d%02d%02d%02d" % (address if address is not None else rng.randrange(1, 11),
                                          rng.randrange(100000, 1000000), rng.randrange(1, 13), rng.randrange(1, 29),
                                          rng.randrange(24), rng.randrange(60))


def bad_record(rng):
    text = record(rng)
    return rng.choice((text[:10] + "13" + text[12:],  # month 13
                       text[:rng.randrange(4, 18)],  # cut short
                       text[:15] + "x" + text[16:],  # a letter in the time
                       "G" + text[1:]))  # an address that is not hexadecimal


def write_records(rng, path, n, pool=(), crlf=True, dup=0.1, bad=0.03, address=None):
    """A record file of n lines: good records (some taken from pool, which several files share), repeats of
    earlier lines, and bad lines. Returns the keys of its good records."""
    lines, good = [], set()
    for _ in range(n):
        r = rng.random()
        if r < bad:
            lines.append(bad_record(rng))
            continue
        if r < bad + dup and lines:
            line = rng.choice(lines)
        elif pool and rng.random() < 0.5:
            line = rng.choice(pool)
        else:
            line = record(rng, address)
        if address is not None:
            line = "%02X" % address + line[2:]
        lines.append(line)
        if valid(line):
            good.add(key(line))
    with open(path, "w", newline="") as f:
        f.write("".join(line + ("\r\n" if crlf else "\n") for line in lines))
    return good


class Run:
    """One run of the command, its signals and its end."""

    def __init__(self, lab, home, db, args, bound=BOUND_S, env=None, failed=True):
        # clear and test-link have no failed lines to discard.
        self.tail = ["--user", "admin"] + (["--failed", "discard"] if failed else [])
        self.args = [lab.tool("tallyfold"), "--home", home, "--db", db.cs, "--json"] + args + self.tail
        self.bound = bound
        self.signals = []
        self.started = time.monotonic()
        self.proc = Process(self.args, env)
        lab.undo.append(lambda: self.proc.popen.poll() is None and self.proc.popen.kill())
        self.status = self.wall = None
        self.hung = False

    def signal(self, sig):
        if self.proc.alive():
            self.signals.append(sig)
            self.proc.popen.send_signal(sig)

    def finish(self):
        try:
            self.status = self.proc.popen.wait(max(0.1, self.started + HANG_S - time.monotonic()))
        except subprocess.TimeoutExpired:
            self.hung = True
            self.proc.popen.kill()
            self.status = self.proc.popen.wait()
        self.proc.reader.join(5)
        self.wall = getattr(self.proc, "ended", time.monotonic()) - self.started
        self.summaries = []
        for line in self.proc.lines:
            try:
                event = json.loads(line)
            except ValueError:
                continue
            if isinstance(event, dict) and event.get("event") == "summary":
                self.summaries.append(event)
        # The run's own summary: an import's only one, a gather's last (the totals).
        self.summary = self.summaries[-1] if self.summaries else None
        return self

    def name(self):
        return " ".join(os.path.basename(a) for a in self.args[6:-len(self.tail)])

    def killed(self):
        """Killed with -9, or signalled twice: the second signal ends a run at once, without a summary."""
        return signal.SIGKILL in self.signals or len(self.signals) > 1

    def problems(self):
        """What this run did against the rules: its bound, a summary that adds up and tells why, an exit status
        that follows the summary."""
        name = self.name()
        if self.hung:
            return ["%s: hung, killed after %.0f s with no summary, %d lines out" % (name, self.wall,
                                                                                      len(self.proc.lines))]
        out = []
        if self.wall > self.bound:
            out.append("%s: took %.1f s, bound %.0f s" % (name, self.wall, self.bound))
        if self.killed():
            return out
        if self.status < 0:
            return out + ["%s: died by signal %d, summary %s" % (name, -self.status, self.summary)]
        if not self.summary:
            return out + ["%s: exit %d without a summary: %s" % (name, self.status, self.proc.lines[-3:])]
        for s in self.summaries:
            parts = s["stored"] + s["duplicates"] + s["errors"] + s["unstored"]
            if s["read"] != parts:
                out.append("%s: read %d != stored+duplicates+errors+unstored %d: %s" % (name, s["read"], parts, s))
            if s["outcome"] != "completed" and not (s.get("reason") or "").strip(": 0123456789"):
                out.append("%s: outcome %s without a reason a person can read: %r" % (
                    name, s["outcome"], s.get("reason")))
        outcome = self.summary["outcome"]
        if outcome == "completed":
            want = {3 if self.summary["errors"] else 0}
        elif outcome == "cancelled":
            want = {128 + s for s in self.signals} or {129, 130, 143}
        else:
            want = {1}
        if self.status not in want:
            out.append("%s: exit %d but the summary says %s (signals %s)" % (
                name, self.status, outcome, [int(s) for s in self.signals]))
        return out


def list_terminals(db, buses):
    """The count-type terminals of buses (as Lab.simulator takes them), on ports 1, 2, ..."""
    db.query("delete from MachineInfo")
    for port, terminals in enumerate(buses, 1):
        for address, _ in terminals:
            db.query("insert into MachineInfo (MachAddr, MachDesc, COMX, Ver, Team) values ('%d', '计次', %d, "
                     "'V1.0', 'campaign')" % (address, port))


def count(db):
    return int(db.query("select count(*) from Tcon_ConsumeDtl")[0][0])


def growth(db, before, runs):
    """The summaries' stored adds up to what the table gained."""
    if any(r.hung or r.killed() or not r.summary for r in runs):
        return []
    stored, gained = sum(r.summary["stored"] for r in runs), count(db) - before
    return [] if stored == gained else ["the summaries stored %d rows, the table gained %d" % (stored, gained)]


def table_keys(db):
    # SQLite may hold a time of midnight as the date alone.
    return [r[0] for r in db.query(
        "select Cardid || ' ' || substr(cast(datatime as text) || ' 00:00', 1, 16) from Tcon_ConsumeDtl")]


def doubled(keys):
    seen, twice = set(), set()
    for k in keys:
        (twice if k in seen else seen).add(k)
    return sorted(twice)


def pick_delay(rng, longest):
    """A moment in a run: often its first milliseconds, else anywhere up to longest seconds."""
    # Not before 3 ms: a process takes about half a millisecond to reach its first instruction, and a
    # signal before that ends any program. The choices stay as they were, so that seeds replay as before.
    at = rng.choice((0, 0.001, 0.005, 0.01, 0.02)) if rng.random() < 0.25 else rng.uniform(0, longest)
    return max(0.003, at)


def held(state_dir):
    """The records each terminal of a simulator holds, by address, from its --state-dir."""
    out = {}
    for name in os.listdir(state_dir):
        if name.endswith(".txt"):
            with open(os.path.join(state_dir, name)) as f:
                out[int(name[:-4])] = {line.strip() for line in f if line.strip()}
    return out


def journal(folder):
    """A follower's journal: by address, the records of its entries at or after DRAINED, which wait for the
    database; and what is wrong with it (entries that fail their length, checksum or count)."""
    waiting, wrong = {}, []
    for name in sorted(os.listdir(folder)):
        if not name.endswith(".journal"):
            continue
        address = urllib.parse.unquote(name[:-8])
        with open(os.path.join(folder, name), "rb") as f:
            data = f.read()
        try:
            with open(os.path.join(folder, name[:-8] + ".state")) as f:
                drained = int(f.read().split()[1])
        except (OSError, IndexError, ValueError):
            drained = 0
        at, entries = 0, []
        while at < len(data):
            newline = data.find(b"\n", at, at + 96)
            fields = data[at:newline].split(b" ") if newline > 0 else []
            if len(fields) != 6 or fields[0] != b"TFJ1" or fields[1].decode() != name[:-8]:
                break
            first, following, size = int(fields[2]), int(fields[3]), int(fields[4])
            payload = data[newline + 1:newline + 1 + size]
            if len(payload) != size or zlib.crc32(payload) != int(fields[5], 16):
                break
            lines = payload.decode().split("\r\n")
            if lines[-1] or len(lines) - 1 != following - first:
                wrong.append("%s: the entry at byte %d holds %d records, its header says %d..%d" % (
                    name, at, len(lines) - 1, first, following))
            entries.append((at, lines[:-1]))
            at = newline + 1 + size
        if at < len(data):
            wrong.append("%s: %d bytes after its last whole entry" % (name, len(data) - at))
        # A DRAINED between entries is a lost update of the state: the follower drains from the start.
        if drained != at and drained not in [start for start, _ in entries]:
            drained = 0
        waiting[int(address)] = {line for start, lines in entries if start >= drained for line in lines}
    return waiting, wrong
