#!/usr/bin/python3
"""Reference importer on PostgreSQL (psycopg2): what the store's work costs done plainly.

usage: baseline_pg.py FILE --db NAME [--host 127.0.0.1] [--port 5432] [--user postgres]
                      [--index] [--mode row|copy]

Makes tallyfold's table Tcon_ConsumeDtl (src/outside/host_schema.cpp) in database NAME
unless it is there, --index adding its index on (datatime, Cardid), and reads FILE the way
tallyfold does (record_file.py).

--mode row (the default): the record format's own way, line by line. A SELECT tests
the card and date-time against the table; a line not there is INSERTed, each statement
committed on its own (autocommit): two round trips a good line.
--mode copy: the lower bound. The table's cards and date-times are read once, duplicates
are found in memory, and every new row goes in through one COPY; one transaction.

Times the import alone (reading the file to the last commit), not the connection or the
table's making. Prints one JSON line last: lines (every line read, bad ones too), stored,
duplicates, bad, secs, lines_per_s (lines / secs) and rows (the table's count after).
"""
import argparse
import io
import json
import os
import sys
import time

import psycopg2

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import record_file  # noqa: E402

CREATE = ("create table if not exists Tcon_ConsumeDtl (ConsumeID serial primary key, MachAddr integer, "
          "Cardid varchar(20), datadate varchar(10), datatime timestamp, ConsumeType varchar(10) default '计次', "
          "Amount numeric(10,2) default 0, Flag integer default 0)")
TEST = "select 1 from Tcon_ConsumeDtl where Cardid = %s and datatime = %s limit 1"
INSERT = "insert into Tcon_ConsumeDtl (MachAddr, Cardid, datadate, datatime) values (%s, %s, %s, %s)"
KEYS = "select Cardid, to_char(datatime, 'YYYY-MM-DD HH24:MI:SS') from Tcon_ConsumeDtl"
COPY = "copy Tcon_ConsumeDtl (MachAddr, Cardid, datadate, datatime) from stdin"


def import_rows(conn, lines):
    conn.autocommit = True
    stored = duplicates = bad = 0
    with conn.cursor() as cur:
        for line in lines:
            row = record_file.parse(line)
            if row is None:
                bad += 1
                continue
            address, card, datadate, datatime, _ = row
            cur.execute(TEST, (card, datatime))
            if cur.fetchone():
                duplicates += 1
                continue
            cur.execute(INSERT, (address, card, datadate, datatime))
            stored += 1
    return stored, duplicates, bad


def import_copy(conn, lines):
    conn.autocommit = False
    duplicates = bad = stored = 0
    buffer = io.StringIO()
    with conn.cursor() as cur:
        cur.execute(KEYS)
        seen = set(cur.fetchall())
        for line in lines:
            row = record_file.parse(line)
            if row is None:
                bad += 1
            elif row[4] in seen:
                duplicates += 1
            else:
                seen.add(row[4])
                # The fields hold no tab, backslash or line end: hexadecimal, digits and dashes.
                buffer.write("%d\t%s\t%s\t%s\n" % row[:4])
                stored += 1
        buffer.seek(0)
        cur.copy_expert(COPY, buffer)
    conn.commit()
    return stored, duplicates, bad


def main():
    p = argparse.ArgumentParser(description="Reference importer on PostgreSQL.")
    p.add_argument("file")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=5432)
    p.add_argument("--db", required=True, help="the database; the table is made in it unless it is there")
    p.add_argument("--user", default="postgres")
    p.add_argument("--index", action="store_true", help="the index on (datatime, Cardid)")
    p.add_argument("--mode", default="row", choices=("row", "copy"))
    a = p.parse_args()
    conn = psycopg2.connect(host=a.host, port=a.port, dbname=a.db, user=a.user)
    conn.autocommit = True
    with conn.cursor() as cur:
        cur.execute("set client_min_messages = warning")
        cur.execute(CREATE)
        if a.index:
            cur.execute(record_file.INDEX)
    t0 = time.perf_counter()
    lines = record_file.read_lines(a.file)
    stored, duplicates, bad = (import_rows if a.mode == "row" else import_copy)(conn, lines)
    secs = time.perf_counter() - t0
    conn.autocommit = True
    with conn.cursor() as cur:
        cur.execute("select count(*) from Tcon_ConsumeDtl")
        (rows,) = cur.fetchone()
    conn.close()
    print(json.dumps({"engine": "postgresql", "mode": a.mode, "index": a.index, "lines": len(lines),
                      "stored": stored, "duplicates": duplicates, "bad": bad, "secs": round(secs, 6),
                      "lines_per_s": len(lines) / secs if secs > 0 else 0.0, "rows": rows}))


if __name__ == "__main__":
    main()
