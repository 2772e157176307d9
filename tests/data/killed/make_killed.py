#!/usr/bin/env python3
# Makes tables damaged the way a crash damages them: the engine tool of the version
# before crash-safe commits is killed (SIGKILL) at a random moment while it loads,
# appends or deletes, and every table that its own `verify` then reports damaged (or
# that its `dump` refuses) is kept as a candidate with what was done to it.
#
#   make_killed.py TOOL WORKDIR [TRIALS] [SEED]
#
# The table: an auto-increment identifier, a unique primary index on "name", the
# secondary indexes "byCity" (ignoring case) and "byQty" (descending), and a memo field
# "note" in BLOB blocks of 128 bytes; 200 records to begin with, 100 more appended.
# Every value follows from the record's number i (see row()), so that a test can tell
# from a record's name what the record must hold.
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import time

SCHEMA = {
    "fields": [
        {"name": "id", "type": "autoinc"},
        {"name": "name", "type": "char", "length": 16, "required": True},
        {"name": "city", "type": "char", "length": 12},
        {"name": "qty", "type": "integer"},
        {"name": "note", "type": "memo"},
    ],
    "primary": {"fields": ["name"]},
    "indexes": [
        {"name": "byCity", "fields": ["city"], "nocase": True},
        {"name": "byQty", "fields": ["qty"], "descending": True},
    ],
    "blobBlockSize": 128,
}
CITIES = ["Oslo", "Paris", "Lima", "Kyiv", "Quito"]


def row(i):
    return {"name": "r%05d" % i, "city": CITIES[i % 5], "qty": i * 7919 % 1000,
            "note": "x" * [0, 10, 100, 300][i % 4] + str(i)}


def rows(first, count):
    return "".join(json.dumps(row(i)) + "\n" for i in range(first, first + count))


def run(tool, args, text=""):
    p = subprocess.run([tool] + args, input=text.encode(), capture_output=True)
    return p.returncode, p.stdout.decode(errors="replace"), p.stderr.decode(errors="replace")


def killed(tool, args, text, delay):
    # Started, fed, and killed after `delay` seconds (or left to finish first).
    p = subprocess.Popen([tool] + args, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
    p.stdin.write(text.encode())
    p.stdin.close()
    time.sleep(delay)
    p.send_signal(signal.SIGKILL)
    return p.wait() == -signal.SIGKILL


def damage(tool, table):
    code, out, err = run(tool, ["verify", table])
    dump, _, dumpErr = run(tool, ["dump", table])
    return code != 0 or dump != 0, out + err + (dumpErr if dump != 0 else "")


def main():
    tool, work = sys.argv[1], sys.argv[2]
    trials = int(sys.argv[3]) if len(sys.argv) > 3 else 200
    rng = random.Random(int(sys.argv[4]) if len(sys.argv) > 4 else 1)
    os.makedirs(work, exist_ok=True)
    schema = os.path.join(work, "schema.json")
    with open(schema, "w") as f:
        json.dump(SCHEMA, f)
    kept = 0
    for trial in range(trials):
        d = os.path.join(work, "trial")
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
        table = os.path.join(d, "orders")
        kind = rng.choice(["load", "append", "delete", "append-retried"])
        delay = rng.uniform(0.0, 0.010)
        if kind == "load":
            was = killed(tool, ["load", table, "--schema", schema], rows(0, 200), delay)
        else:
            run(tool, ["load", table, "--schema", schema], rows(0, 200))
            if rng.random() < 0.5:
                run(tool, ["delete", table, "--filter", "qty < %d" % rng.randint(100, 300)])
            if kind == "delete":
                args, text = ["delete", table, "--filter", "qty > %d" % rng.randint(300, 700)], ""
            else:
                args, text = ["append", table], rows(1000, 100)
            was = killed(tool, args, text, delay)
            if kind == "append-retried" and was:
                run(tool, args, text)  # what a user does after the crash
        if not was or not os.path.exists(table + ".DAT"):
            continue
        damaged, report = damage(tool, table)
        if not damaged:
            continue
        kept += 1
        keep = os.path.join(work, "candidates", "%03d-%s" % (trial, kind))
        shutil.copytree(d, keep)
        with open(keep + ".txt", "w") as f:
            f.write("%s killed after %.4f s\n%s" % (kind, delay, report))
    print("%d damaged tables of %d trials" % (kept, trials))


if __name__ == "__main__":
    main()
