"""Reading a record file the way tallyfold does, for the reference importers.

A line's record text is its first 18 characters: positions 1-2 the terminal address in
hexadecimal, 3-8 the card, 9-18 yymmddhhmm (src/records/record_line.cpp). A line is bad
when its date-time is not a real one (too short, not digits, month 13, minute 60, ...)
or its address is not two hexadecimal digits (store_record_line.cpp): such a line is
read and counted, never stored. A good line becomes the row (MachAddr, Cardid,
datadate, datatime) of Tcon_ConsumeDtl; it is a duplicate when the table already holds
its card and datatime (the address does not count), the store's rule.

datatime is the record's date-time moved by the business-day offset. The benchmarks'
databases hold no time parameters, where tallyfold's offset is 0, so it is not moved
here. The text is the one tallyfold writes: "yyyy-MM-dd hh:mm:ss", the date alone at
midnight (src/platform/regional_datetime.cpp).
"""
import datetime

RECORD_LENGTH = 18
DIGITS = frozenset("0123456789")
HEX = frozenset("0123456789abcdefABCDEF")

TABLE = "Tcon_ConsumeDtl"
INDEX = "create index if not exists ix_consumedtl_time_card on Tcon_ConsumeDtl (datatime, Cardid)"


def read_lines(path):
    """Every line of the file, without its line end (CRLF, LF or CR); no line after a last line end."""
    with open(path, "rb") as f:
        return [line.decode("latin-1") for line in f.read().splitlines()]


def parse(line):
    """(address, card, datadate, datatime, key) of a good line, None for a bad one.
    key is (card, datatime as "yyyy-MM-dd hh:mm:ss"): equal keys are duplicates."""
    text = line[:RECORD_LENGTH]
    if len(text) < RECORD_LENGTH:
        return None
    stamp = text[8:18]
    if not DIGITS.issuperset(stamp):
        return None
    try:
        when = datetime.datetime(2000 + int(stamp[0:2]), int(stamp[2:4]), int(stamp[4:6]), int(stamp[6:8]),
                                 int(stamp[8:10]))
    except ValueError:
        return None
    if not HEX.issuperset(text[0:2]):
        return None
    full = when.strftime("%Y-%m-%d %H:%M:%S")
    datatime = full[:10] if when.hour == 0 and when.minute == 0 else full
    card = text[2:8]
    return int(text[0:2], 16), card, full[:10], datatime, (card, full)
