#!/usr/bin/python3
"""Record files for the benchmarks, in the record-line format of a count-type terminal.

usage: gen_records.py N SEED DUP_FRACTION BAD_FRACTION -o PATH

Writes N lines, ASCII, each ended by CRLF. A good line is the 18-character record text:
positions 1-2 the terminal address in hexadecimal, 3-8 the card number, 9-18 yymmddhhmm
(src/records/record_line.h). Of the N lines, round(N * DUP_FRACTION) repeat an earlier good
line word for word (duplicates the store must find: same card, same date-time) and
round(N * BAD_FRACTION) are lines the parser rejects (a date or time that does not exist,
a letter in the date-time, a cut-off record, an address that is not hexadecimal). The rest
are good and distinct: no two share a card and a date-time, so each of them is one row of
Tcon_ConsumeDtl. With 0 0 every line is a good, distinct record, as the terminal simulator
wants them (18 printable ASCII characters a line).

The same N and SEED give the same file. The command line takes N up to 32,767, the 16-bit
line counter of the record format's readers; generate() takes any N.
"""
import argparse
import json
import random
import sys

MAX_COMMAND_LINES = 32767
RECORD_LENGTH = 18
# Terminals 01..10 (hexadecimal 01..0A), cards of a staff of a few thousand, swipes over 2024.
ADDRESSES = range(1, 11)
CARDS = 4000
YEAR = 2024
DAYS_IN_MONTH = (31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31)  # 2024 is a leap year


def _record(address, card, month, day, hour, minute, year=YEAR):
    return "%02X%s%02d%02d%02d%02d%02d" % (address, card, year % 100, month, day, hour, minute)


def _good_keys(rng, cards, count):
    """`count` distinct (card, month, day, hour, minute), in time order as a terminal logs them."""
    keys = set()
    while len(keys) < count:
        month = rng.randrange(1, 13)
        keys.add((rng.choice(cards), month, rng.randrange(1, DAYS_IN_MONTH[month - 1] + 1), rng.randrange(24),
                  rng.randrange(60)))
    return sorted(keys, key=lambda k: (k[1], k[2], k[3], k[4], k[0]))


def _bad_line(rng, cards):
    """One line that the parser rejects; printable ASCII, never empty."""
    address, card = rng.choice(ADDRESSES), rng.choice(cards)
    month, day, hour, minute = rng.randrange(1, 13), rng.randrange(1, 29), rng.randrange(24), rng.randrange(60)
    kind = rng.randrange(8)
    if kind == 0:  # month 00 or 13..19
        return _record(address, card, rng.choice([0] + list(range(13, 20))), day, hour, minute)
    if kind == 1:  # day 00, 32..39, or the 31st of a 30-day month
        if rng.randrange(2):
            return _record(address, card, rng.choice((4, 6, 9, 11)), 31, hour, minute)
        return _record(address, card, month, rng.choice([0] + list(range(32, 40))), hour, minute)
    if kind == 2:  # 29 February of a year that is not a leap year
        return _record(address, card, 2, 29, hour, minute, year=2023)
    if kind == 3:  # hour 24..29
        return _record(address, card, month, day, rng.randrange(24, 30), minute)
    if kind == 4:  # minute 60..99
        return _record(address, card, month, day, hour, rng.randrange(60, 100))
    if kind == 5:  # a letter in the date-time
        text = _record(address, card, month, day, hour, minute)
        at = rng.randrange(8, RECORD_LENGTH)
        return text[:at] + rng.choice("OlIXx") + text[at + 1:]
    if kind == 6:  # a record cut off: 8 to 17 characters
        return _record(address, card, month, day, hour, minute)[:rng.randrange(8, RECORD_LENGTH)]
    # an address that is not two hexadecimal digits, with a valid date-time
    return rng.choice(("G1", "0G", "Z3", "-1", "xx")) + _record(address, card, month, day, hour, minute)[2:]


def generate(n, seed, dup, bad):
    """(lines, counts): n record lines without line ends, and a dict of how many are good
    (distinct), repeats and bad. Deterministic for (n, seed, dup, bad)."""
    if n < 0 or not 0 <= dup <= 1 or not 0 <= bad <= 1 or dup + bad > 1:
        raise ValueError("want n >= 0 and fractions in [0, 1] adding up to at most 1")
    rng = random.Random(seed)
    repeats, bads = round(n * dup), round(n * bad)
    good = n - repeats - bads
    if repeats and not good:
        raise ValueError("repeats need at least one good line to repeat")
    cards = ["%06d" % c for c in rng.sample(range(100000, 1000000), CARDS)]
    keys = _good_keys(rng, cards, good)
    # Where each kind of line goes: a repeat only after the first good line.
    kinds = ["g"] * good + ["r"] * repeats + ["b"] * bads
    rng.shuffle(kinds)
    if repeats:
        first_good, first_repeat = kinds.index("g"), kinds.index("r")
        if first_repeat < first_good:
            kinds[first_repeat], kinds[first_good] = "g", "r"
    lines, emitted = [], []
    next_good = 0
    for kind in kinds:
        if kind == "g":
            card, month, day, hour, minute = keys[next_good]
            next_good += 1
            line = _record(rng.choice(ADDRESSES), card, month, day, hour, minute)
            emitted.append(line)
        elif kind == "r":
            line = rng.choice(emitted)
        else:
            line = _bad_line(rng, cards)
        lines.append(line)
    return lines, {"lines": n, "good": good, "repeats": repeats, "bad": bads}


def main():
    p = argparse.ArgumentParser(description="Writes a record file for the benchmarks.")
    p.add_argument("n", type=int, help="lines, 0 to %d" % MAX_COMMAND_LINES)
    p.add_argument("seed", type=int)
    p.add_argument("dup", type=float, help="share of lines that repeat an earlier good line")
    p.add_argument("bad", type=float, help="share of lines the parser rejects")
    p.add_argument("-o", "--output", required=True, help="the file to write")
    a = p.parse_args()
    if not 0 <= a.n <= MAX_COMMAND_LINES:
        p.error("N must be 0 to %d (the line counter is 16 bits); generate() takes more" % MAX_COMMAND_LINES)
    try:
        lines, counts = generate(a.n, a.seed, a.dup, a.bad)
    except ValueError as e:
        p.error(str(e))
    with open(a.output, "wb") as f:
        f.write("".join(line + "\r\n" for line in lines).encode("ascii"))
    print(json.dumps(dict(counts, path=a.output)))


if __name__ == "__main__":
    sys.exit(main())
