#!/usr/bin/python3
"""Reference importer on SQLite: what the store's work costs done plainly.

usage: baseline_sqlite.py FILE [--db PATH] [--journal MODE] [--sync LEVEL] [--index] [--mode row|bulk]

Makes PATH anew (default FILE.db) with tallyfold's table Tcon_ConsumeDtl
(src/outside/host_schema.cpp), --index adding its index on (datatime, Cardid), and reads
FILE the way tallyfold does (record_file.py).

--mode row (the default): the record format's own way, line by line. A SELECT tests
the card and date-time against the table; a line not there is INSERTed, each INSERT a
transaction of its own, committed before the next line is read.
--mode bulk: the lower bound. Duplicates are found in memory, and every new row goes in
through one executemany in one transaction.

Times the import alone (reading the file to the last commit), not the making of the
database. Prints one JSON line last: lines (every line read, bad ones too), stored,
duplicates, bad, secs, lines_per_s (lines / secs) and rows (the table's count after).
"""
import argparse
import json
import os
import sqlite3
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import record_file  # noqa: E402

CREATE = ("create table Tcon_ConsumeDtl (ConsumeID integer primary key, MachAddr integer, Cardid varchar(20), "
          "datadate varchar(10), datatime timestamp, ConsumeType varchar(10) default '计次', "
          "Amount numeric(10,2) default 0, Flag integer default 0)")
TEST = "select 1 from Tcon_ConsumeDtl where Cardid = ? and datatime = ? limit 1"
INSERT = "insert into Tcon_ConsumeDtl (MachAddr, Cardid, datadate, datatime) values (?, ?, ?, ?)"


def fresh_database(path, journal, sync, index):
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    for suffix in ("", "-wal", "-shm", "-journal"):
        if os.path.exists(path + suffix):
            os.remove(path + suffix)
    conn = sqlite3.connect(path, isolation_level=None)  # autocommit: a statement is its own transaction
    got = conn.execute("pragma journal_mode=%s" % journal).fetchone()[0]
    if got.lower() != journal.lower():
        sys.exit("baseline_sqlite.py: journal mode %s not taken (%s)" % (journal, got))
    conn.execute("pragma synchronous=%s" % sync)
    conn.execute(CREATE)
    if index:
        conn.execute(record_file.INDEX)
    return conn


def import_rows(conn, lines):
    stored = duplicates = bad = 0
    for line in lines:
        row = record_file.parse(line)
        if row is None:
            bad += 1
            continue
        address, card, datadate, datatime, _ = row
        if conn.execute(TEST, (card, datatime)).fetchone():
            duplicates += 1
            continue
        conn.execute(INSERT, (address, card, datadate, datatime))
        stored += 1
    return stored, duplicates, bad


def import_bulk(conn, lines):
    seen, rows = set(), []
    duplicates = bad = 0
    for line in lines:
        row = record_file.parse(line)
        if row is None:
            bad += 1
        elif row[4] in seen:
            duplicates += 1
        else:
            seen.add(row[4])
            rows.append(row[:4])
    conn.execute("begin immediate")
    conn.executemany(INSERT, rows)
    conn.execute("commit")
    return len(rows), duplicates, bad


def main():
    p = argparse.ArgumentParser(description="Reference importer on SQLite.")
    p.add_argument("file")
    p.add_argument("--db", help="the database file, made anew (default FILE.db)")
    p.add_argument("--journal", default="delete", choices=("delete", "truncate", "persist", "memory", "wal", "off"))
    p.add_argument("--sync", default="full", choices=("off", "normal", "full", "extra"))
    p.add_argument("--index", action="store_true", help="the index on (datatime, Cardid)")
    p.add_argument("--mode", default="row", choices=("row", "bulk"))
    a = p.parse_args()
    db = a.db or a.file + ".db"
    conn = fresh_database(db, a.journal, a.sync, a.index)
    t0 = time.perf_counter()
    lines = record_file.read_lines(a.file)
    stored, duplicates, bad = (import_rows if a.mode == "row" else import_bulk)(conn, lines)
    secs = time.perf_counter() - t0
    (rows,) = conn.execute("select count(*) from Tcon_ConsumeDtl").fetchone()
    conn.close()
    print(json.dumps({"engine": "sqlite", "mode": a.mode, "journal": a.journal, "sync": a.sync, "index": a.index,
                      "lines": len(lines), "stored": stored, "duplicates": duplicates, "bad": bad,
                      "secs": round(secs, 6), "lines_per_s": len(lines) / secs if secs > 0 else 0.0, "rows": rows}))


if __name__ == "__main__":
    main()
