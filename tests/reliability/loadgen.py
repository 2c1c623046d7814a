#!/usr/bin/env python3
"""Load and checks for the gateway's soak and crash tests (scripts/soak.sh,
scripts/crash-test.sh). Talks raw HTTP over loopback to a running gateway
executable that sits in front of a txsim started with --record, and checks
every answer byte for byte, then the record, the counter file and the
journal.

Subcommands:
  wait-listen PORT            wait until something accepts on PORT
  soak ...                    mixed load for a duration, then every check
  sales ...                   sales only, until a stop file appears (crash test)
  crash-check ...             the counter file after one kill
  crash-recovered ...         journal, log and repeats after the restart that follows it
  crash-final ...             the whole record after the last round
"""

import argparse
import csv
import datetime
import io
import json
import os
import random
import re
import socket
import sys
import threading
import time

WRAP = 1000000  # the counter runs 0..999999, then 0 again
FS = b"\x1c"
HEADERS = re.compile(
    rb"HTTP/1\.1 (\d{3} [^\r\n]*)\r\nServer: BraskHollinServer\r\n"
    rb"Date: [A-Z][a-z]{2}, \d{2} [A-Z][a-z]{2} \d{4} \d{2}:\d{2}:\d{2} GMT\r\n"
    rb"Content-type: text/html\r\nPragma: no-cache\r\nCache-Control: no-cache\r\n\r\n",
    re.S,
)
# Items of refused and malformed requests carry this, so that the record
# shows at once whether any of them reached the server.
MARKER = "ZZMARK"
CARD = "4000056655665556"


def exchange(port, data, source="127.0.0.1", half_close=False, timeout=30.0):
    """Connects from source, sends data, reads to the end. Returns
    (response bytes, seconds the connection lasted); a reset after the
    response still counts as its end."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.settimeout(timeout)
    try:
        sock.bind((source, 0))
        sock.connect(("127.0.0.1", port))
        start = time.monotonic()
        if data:
            sock.sendall(data)
        if half_close:
            sock.shutdown(socket.SHUT_WR)
        chunks = []
        while True:
            try:
                chunk = sock.recv(65536)
            except ConnectionResetError:
                break
            if not chunk:
                break
            chunks.append(chunk)
        return b"".join(chunks), time.monotonic() - start
    finally:
        sock.close()


def parse(response):
    """(status text, body) of a well-formed gateway response, else None."""
    match = HEADERS.match(response)
    if not match:
        return None
    return match.group(1).decode("latin-1"), response[match.end():].decode("latin-1")


def get(url):
    return ("GET %s HTTP/1.1\r\nHost: gateway\r\n\r\n" % url).encode("latin-1")


class Tally:
    """Counts by kind and by status, the sequence numbers of answered sales
    and voids, and every answer that was not the documented one."""

    def __init__(self):
        self.lock = threading.Lock()
        self.by_kind = {}
        self.by_status = {}
        self.numbered = []  # (kind, sequence) from approvals
        self.funds = 0
        self.violations = []

    def add(self, kind, status, sequence=None, violation=None):
        with self.lock:
            self.by_kind[kind] = self.by_kind.get(kind, 0) + 1
            self.by_status[status] = self.by_status.get(status, 0) + 1
            if sequence is not None:
                self.numbered.append((kind, sequence))
            if kind == "funds" and violation is None:
                self.funds += 1
            if violation is not None and len(self.violations) < 1000:
                self.violations.append("%s: %s" % (kind, violation))


def approval_pattern(kind, amount):
    word = "SALE" if kind == "sale" else "VOID"
    return re.compile(r"APPROVED %s TERMINAL=03 SEQ=(\d+) CLIENT=5 AMOUNT=%d\Z" % (word, amount))


def one_request(port, kind, serial, tally):
    """Sends one request of the given kind and checks its documented answer."""
    amount = random.randint(1, 99999)
    marker = "%s%d" % (MARKER, serial)
    reference = "R%d" % serial
    expected = None  # (status, body) for the fixed answers
    source = "127.0.0.1"
    half_close = False
    if kind in ("sale", "void"):
        path = "/Sale" if kind == "sale" else "/Void"
        data = get("%s?%s+%d+%s" % (path, CARD, amount, reference))
    elif kind == "funds":
        data = get("/FundsAvailable?%s+%d" % (CARD, amount))
        expected = ("200 OK", "FUNDS AVAILABLE TERMINAL=03 AMOUNT=%d" % amount)
    elif kind == "refused":
        data = get("/Sale?%s+%d+%s" % (CARD, amount, marker))
        source = "127.0.0.2"
        expected = ("403 Forbidden", "Access denied.")
    elif kind == "control-byte":
        data = get("/Sale?%s\x1c%s+%d+%s" % (CARD, marker, amount, reference))
        expected = ("400 Bad Request", "Syntax error.")
    elif kind == "long-items":
        data = get("/Sale?%s+%d+%s%s" % (CARD, amount, marker, "R" * 300))
        expected = ("400 Bad Request", "Syntax error.")
    elif kind == "few-items":
        data = get("/Sale?%s+%d" % (marker, amount))
        expected = ("400 Bad Request", "Syntax error.")
    elif kind == "unknown-path":
        data = get("/Refund?%s+%d+%s" % (marker, amount, reference))
        expected = ("404 Not Found", "File not found")
    elif kind == "not-get":
        data = ("POST /Sale?%s+%d+%s HTTP/1.1\r\n\r\n" % (marker, amount, reference)).encode()
        expected = ("405 Method Not Allowed", "Method not allowed.")
    elif kind == "oversized":
        # Over the 2047 bytes read at once: the first piece holds one item.
        data = ("GET /Sale?%s%s+1+2 HTTP/1.1\r\n\r\n" % (marker, "M" * 3000)).encode()
        expected = ("400 Bad Request", "Syntax error.")
    elif kind == "close-at-once":
        data = b""
        half_close = True
        expected = ("405 Method Not Allowed", "Method not allowed.")
    elif kind == "silent":
        data = b""
    else:
        raise ValueError(kind)

    try:
        response, seconds = exchange(port, data, source, half_close)
    except OSError as error:
        tally.add(kind, "no answer", violation="connection failed: %s" % error)
        return
    if kind == "silent":
        if response == b"" and 4.5 <= seconds <= 8.0:
            tally.add(kind, "closed silently")
        else:
            tally.add(kind, "other", violation="%r after %.1f s" % (response[:80], seconds))
        return
    answer = parse(response)
    if answer is None:
        tally.add(kind, "malformed", violation=repr(response[:200]))
        return
    status, body = answer
    if expected is not None:
        tally.add(kind, status, violation=None if (status, body) == expected else
                  "%s %r, expected %s %r" % (status, body, expected[0], expected[1]))
        return
    match = approval_pattern(kind, amount).match(body)
    if status == "200 OK" and match:
        tally.add(kind, status, sequence=int(match.group(1)))
    else:
        tally.add(kind, status, violation="%s %r" % (status, body))


MIX = [  # kind, weight
    ("sale", 30), ("void", 10), ("funds", 20), ("refused", 8), ("control-byte", 4),
    ("long-items", 4), ("few-items", 3), ("unknown-path", 3), ("not-get", 3),
    ("oversized", 3), ("close-at-once", 3), ("silent", 1),
]


def run_load(port, clients, seconds, tally, kinds=MIX):
    names = [k for k, _ in kinds]
    weights = [w for _, w in kinds]
    deadline = time.monotonic() + seconds
    serial = [0]
    serial_lock = threading.Lock()

    def worker():
        while time.monotonic() < deadline:
            with serial_lock:
                serial[0] += 1
                number = serial[0]
            one_request(port, random.choices(names, weights)[0], number, tally)

    threads = [threading.Thread(target=worker, daemon=True) for _ in range(clients)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def proc_status(pid):
    """(resident kB, threads) of a running process."""
    values = {}
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            key, _, value = line.partition(":")
            values[key] = value.split()
    return int(values["VmRSS"][0]), int(values["Threads"][0])


def settle(pid, steady=3.0, timeout=30.0):
    """Waits until the thread count has not changed for steady seconds (a
    finished connection thread may linger a moment for reuse) and returns
    (resident kB, threads) then."""
    end = time.monotonic() + timeout
    last = proc_status(pid)
    since = time.monotonic()
    while time.monotonic() < end and time.monotonic() - since < steady:
        time.sleep(0.25)
        now = proc_status(pid)
        if now[1] != last[1]:
            since = time.monotonic()
        last = now
    return last


def read_record(path):
    """Every framed message txsim recorded, in order of arrival."""
    with open(path, "rb") as record:
        data = record.read()
    messages = []
    at = 0
    while at + 2 <= len(data):
        length = data[at] * 256 + data[at + 1]
        if at + 2 + length > len(data):
            break
        messages.append(data[at + 2:at + 2 + length])
        at += 2 + length
    return messages, len(data) - at


def numbered_sequence(text):
    """(code, sequence) of a sale or void text, (84, None) for funds, or None."""
    fields = text.split(FS)
    if len(fields) != 9:
        return None
    code = fields[2]
    if code == b"84":
        return 84, None
    if code in (b"51", b"52") and fields[0][:2] == b"03" and fields[0][2:].isdigit():
        return int(code), int(fields[0][2:])
    return None


def after_wrap(previous, number):
    """Whether number comes after previous, the wrap counted: numbers go on
    from 0 after 999999, and no run skips anywhere near half the range."""
    return 0 < (number - previous) % WRAP < WRAP // 2


def read_counter(path):
    """The counter file's text and the number the next sale would get, or
    (text, None) when the file is empty or does not start with digits."""
    with open(path, "rb") as counter:
        text = counter.read()
    if not re.fullmatch(rb"-?\d+", text):
        return text, None
    value = int(text)
    return text, 0 if value > 999999 else value


JOURNAL_HEADER = ["time", "client", "client_number", "kind", "sequence", "amount", "card",
                  "reference", "outcome", "http_status", "server_ms", "reply"]
MASKED_CARD = "*" * (len(CARD) - 4) + CARD[-4:]


def read_journal(stem):
    """Every row of the day files "<stem>-YYYY-MM-DD.csv", oldest day first,
    as Python's CSV reader gives them, and what is wrong with the files."""
    directory, base = os.path.split(stem)
    pattern = re.compile(re.escape(base) + r"-\d{4}-\d{2}-\d{2}\.csv\Z")
    rows, problems = [], []
    for name in sorted(n for n in os.listdir(directory) if pattern.match(n)):
        with open(os.path.join(directory, name), "rb") as day_file:
            data = day_file.read()
        if CARD.encode() in data:
            problems.append("%s holds a whole card item" % name)
        text = data.decode("latin-1")
        if not text.endswith("\r\n") or "\n" in text.replace("\r\n", ""):
            problems.append("%s has a line that does not end with CR LF" % name)
        records = list(csv.reader(io.StringIO(text, newline=""), strict=True))
        if not records or records[0] != JOURNAL_HEADER:
            problems.append("%s does not start with the header" % name)
        for record in records[1:]:
            if len(record) != len(JOURNAL_HEADER):
                problems.append("%s: a row of %d fields: %r" % (name, len(record), record[:4]))
            else:
                rows.append(dict(zip(JOURNAL_HEADER, record)))
    return rows, problems


def check_journal(stem, tally, sequences):
    """One row per transaction: approved sales and voids in the order the
    server received them, funds and too-long sales counted; the card masked."""
    rows, violations = read_journal(stem)
    numbered = [int(r["sequence"]) for r in rows if r["kind"] in ("sale", "void")
                and r["outcome"] == "replied" and r["http_status"] == "200"]
    if numbered != sequences:
        violations.append("journal: %d approved sales and voids, record %d; first difference at "
                          "%s" % (len(numbered), len(sequences),
                                  next((i for i, (a, b) in enumerate(zip(numbered, sequences))
                                        if a != b), min(len(numbered), len(sequences)))))
    funds = sum(1 for r in rows if r["kind"] == "funds" and r["outcome"] == "replied")
    if funds != tally.funds:
        violations.append("journal: %d funds rows, %d answered" % (funds, tally.funds))
    too_long = [r for r in rows if r["http_status"] == "400"]
    if len(too_long) != tally.by_kind.get("long-items", 0) or any(
            r["outcome"] != "not-sent" or r["sequence"] != "" for r in too_long):
        violations.append("journal: %d rows for too-long items, %d sent" %
                          (len(too_long), tally.by_kind.get("long-items", 0)))
    if len(rows) != len(numbered) + funds + len(too_long):
        violations.append("journal: %d rows of other kinds or outcomes"
                          % (len(rows) - len(numbered) - funds - len(too_long)))
    if any(r["card"] != MASKED_CARD for r in rows):
        violations.append("journal: a card field other than %s" % MASKED_CARD)
    print("journal: %d rows (%d sales and voids, %d funds, %d too long)"
          % (len(rows), len(numbered), funds, len(too_long)))
    return violations


def soak(args):
    tally = Tally()
    rss0, threads0 = settle(args.pid)
    print("gateway at start: %d kB resident, %d threads" % (rss0, threads0))
    warmup = min(args.seconds / 2, max(3.0, args.seconds * 0.2))
    peak = [0, 0]

    def sample():
        while not done.is_set():
            rss, threads = proc_status(args.pid)
            peak[0], peak[1] = max(peak[0], rss), max(peak[1], threads)
            done.wait(0.1)

    def sampled_load(seconds):
        done.clear()
        sampler = threading.Thread(target=sample, daemon=True)
        sampler.start()
        run_load(args.port, args.clients, seconds, tally)
        done.set()
        sampler.join()

    done = threading.Event()
    sampled_load(warmup)
    warmup_threads = peak[1]
    rss1, threads1 = settle(args.pid)
    print("after %.0f s of warm-up: %d kB resident, %d threads (at most %d)"
          % (warmup, rss1, threads1, warmup_threads))
    peak = [0, 0]
    sampled_load(args.seconds - warmup)
    rss2, threads2 = settle(args.pid)
    print("peak under load: %d kB resident, %d threads" % (peak[0], peak[1]))
    print("after the load: %d kB resident, %d threads" % (rss2, threads2))

    violations = list(tally.violations)
    if threads2 != threads0 or threads1 != threads0:
        violations.append("threads: %d at start, %d after warm-up, %d at the end"
                          % (threads0, threads1, threads2))
    # The first minutes grow the allocator's per-thread arenas; after that a
    # steady load must not grow the process at all. A leak of even a few
    # dozen bytes per connection shows over the main phase.
    # Threads start only for transactions, so a short warm-up may not reach
    # the most a load needs at once: each thread beyond the warm-up's most
    # brings its stack pages and may bring an allocator arena: about 17 kB
    # each, measured.
    new_threads = max(0, peak[1] - warmup_threads)
    if rss2 > rss1 + args.rss_growth_kb + 20 * new_threads:
        violations.append("resident memory grew from %d kB to %d kB over the main phase"
                          % (rss1, rss2))
    if rss2 > rss0 + args.rss_total_kb:
        violations.append("resident memory %d kB, %d kB at start" % (rss2, rss0))

    messages, leftover = read_record(args.record)
    if leftover:
        violations.append("record ends with %d bytes of a partial message" % leftover)
    record_text = b"".join(messages)
    if MARKER.encode() in record_text:
        violations.append("a refused or malformed request reached the server")
    sequences = []
    funds = 0
    for text in messages:
        parsed = numbered_sequence(text)
        if parsed is None:
            violations.append("unreadable message in the record: %r" % text[:60])
        elif parsed[0] == 84:
            funds += 1
        else:
            sequences.append(parsed[1])
    for i, sequence in enumerate(sequences):
        expected = (args.start + i) % WRAP
        if sequence != expected:
            violations.append("message %d of the record has sequence number %d, expected %d"
                              % (i, sequence, expected))
            break
    if len(set(sequences)) != len(sequences):
        violations.append("a sequence number reached the server twice")
    answered = sorted(s for _, s in tally.numbered)
    if answered != sorted(sequences):
        violations.append("%d sales and voids approved, %d in the record"
                          % (len(answered), len(sequences)))
    if funds != tally.funds:
        violations.append("%d funds requests answered, %d in the record" % (tally.funds, funds))
    if args.journal:
        violations += check_journal(args.journal, tally, sequences)
    text, next_number = read_counter(args.counter)
    if sequences:
        last = sequences[-1]
        if text != str(last + 1).encode():
            violations.append("counter file holds %r after sequence number %d" % (text, last))

    print("requests by kind:")
    for kind, _ in MIX:
        print("  %-14s %7d" % (kind, tally.by_kind.get(kind, 0)))
    print("answers by status:")
    for status in sorted(tally.by_status):
        print("  %-24s %7d" % (status, tally.by_status[status]))
    print("record: %d messages (%d sales and voids numbered %d..%d, %d funds); counter file %r"
          % (len(messages), len(sequences), sequences[0] if sequences else -1,
             sequences[-1] if sequences else -1, funds, text))
    for violation in violations[:50]:
        print("VIOLATION:", violation)
    print("%d violations" % len(violations))
    return 1 if violations else 0


def sales(args):
    """Sales from args.clients clients until args.stop exists, each with a
    reference of its own, so that the duplicate window never takes one for
    another's repeat. A gateway that is down or killed mid-way costs a
    connection error or a cut answer, which are counted; a complete answer
    must be an approval. With args.rate, each client keeps to its share."""
    tally = Tally()
    errors = [0]

    spacing = args.clients / args.rate if args.rate > 0 else 0

    def worker(client):
        serial = 0
        due = time.monotonic() + random.random() * spacing
        while not os.path.exists(args.stop):
            pause = due - time.monotonic()
            if pause > 0:
                time.sleep(pause)
            due = max(due + spacing, time.monotonic())
            serial += 1
            amount = random.randint(1, 99999)
            url = "/Sale?%s+%d+C%dW%d" % (CARD, amount, serial, client)
            try:
                response, _ = exchange(args.port, get(url), timeout=15.0)
            except OSError:
                with tally.lock:
                    errors[0] += 1
                time.sleep(0.01)
                continue
            answer = parse(response)
            if answer is None:
                tally.add("sale", "cut or empty")
                continue
            status, body = answer
            match = approval_pattern("sale", amount).match(body)
            if status == "200 OK" and match:
                tally.add("sale", status, sequence=int(match.group(1)))
            else:
                tally.add("sale", status, violation="%s %r" % (status, body))

    threads = [threading.Thread(target=worker, args=(c,), daemon=True)
               for c in range(args.clients)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    with open(args.out, "w") as out:
        json.dump({"approved": [s for _, s in tally.numbered], "by_status": tally.by_status,
                   "connection_errors": errors[0], "violations": tally.violations}, out)
    return 0


def keep_state(args, state, problems, when):
    """Adds the problems to the crash test's state, saves it and prints them:
    the exit status of the check."""
    state["violations"] += ["%s: %s" % (when, p) for p in problems]
    with open(args.state, "w") as saved:
        json.dump(state, saved)
    for problem in problems:
        print("VIOLATION:", problem)
    return 1 if problems else 0


def crash_check(args):
    """After one kill: the counter file parses, is not empty, has not gone
    back (except at the wrap), and names no number the server already has."""
    state = {"previous": None, "rounds": 0, "lowest": None, "highest": None, "violations": [],
             "received": 0, "recovered": []}
    if os.path.exists(args.state):
        with open(args.state) as saved:
            state = json.load(saved)
    # What the server had when the gateway died: the restart's recovery
    # must account for every one of these numbers.
    state["received"] = os.path.getsize(args.record) if os.path.exists(args.record) else 0
    text, number = read_counter(args.counter)
    problems = []
    if number is None:
        problems.append("counter file %r does not parse" % text)
    else:
        previous = state["previous"]
        if previous is not None and number < previous and not (previous > WRAP - 5000 and
                                                               number < 5000):
            problems.append("counter went back from %d to %d" % (previous, number))
        messages, _ = read_record(args.record)
        sent = [p[1] for p in map(numbered_sequence, messages) if p and p[0] != 84]
        if number in set(sent):
            problems.append("counter names %d, which the server already received" % number)
        elif sent and not after_wrap(sent[-1], number):
            problems.append("counter holds %d, not past %d, the last number sent" %
                            (number, sent[-1]))
        state["previous"] = number
        state["lowest"] = number if state["lowest"] is None else min(state["lowest"], number)
        state["highest"] = number if state["highest"] is None else max(state["highest"], number)
    state["rounds"] += 1
    return keep_state(args, state, problems, "round %d" % state["rounds"])


STOPPED = "The gateway stopped before the reply came."
IN_DOUBT_LINE = re.compile(r"\d+ transactions? from before the last stop (?:is|are) in doubt: "
                           r"sequence ([\d, ]+)\.$")


def whole_journal_rows(stem):
    """The rows of the day files whose lines are whole: the gateway may be
    appending one as they are read. No field here holds a line end."""
    directory, base = os.path.split(stem)
    pattern = re.compile(re.escape(base) + r"-\d{4}-\d{2}-\d{2}\.csv\Z")
    rows = []
    for name in sorted(n for n in os.listdir(directory) if pattern.match(n)):
        with open(os.path.join(directory, name), "rb") as day_file:
            data = day_file.read().decode("latin-1")
        lines = data.split("\r\n")[1:-1]  # the header, and what follows the last CR LF
        for record in csv.reader(lines, strict=True):
            rows.append(dict(zip(JOURNAL_HEADER, record)))
    return rows


def crash_recovered(args):
    """After the restart that follows a kill: every number the server had
    received by then has exactly one journal row, replied or journaled in
    doubt by the recovery; no number has two rows; the log names each sale
    the recoveries journaled in doubt, once; and a repeat of each one is
    answered 409 from the window without reaching the server."""
    with open(args.state) as saved:
        state = json.load(saved)
    problems = []
    messages, _ = read_record(args.record)
    received, at = [], 0
    for message in messages:
        at += 2 + len(message)
        if at > state["received"]:
            break
        numbered = numbered_sequence(message)
        if numbered and numbered[0] != 84:
            received.append(numbered[1])
    rows = [r for r in whole_journal_rows(args.journal) if r["sequence"] != ""]
    by_number = {}
    for row in rows:
        by_number.setdefault(int(row["sequence"]), []).append(row)
    twice = sorted(n for n, found in by_number.items() if len(found) > 1)
    if twice:
        problems.append("numbers with more than one row: %s" % twice[:20])
    for number in received:
        found = by_number.get(number, [])
        final = [r for r in found if r["outcome"] == "replied" or
                 (r["outcome"] == "in-doubt" and r["reply"] == STOPPED)]
        if len(found) != 1 or len(final) != 1:
            problems.append("number %d, received by the server, has rows %s" %
                            (number, [(r["outcome"], r["reply"]) for r in found]))
    recovered = [r for r in rows if r["outcome"] == "in-doubt" and r["reply"] == STOPPED]
    if any(r["http_status"] != "504" or r["server_ms"] != "" for r in recovered):
        problems.append("a recovered row without status 504 and an empty server_ms")
    logged = []
    with open(args.log, "rb") as log:
        for line in log.read().decode("latin-1").splitlines():
            match = IN_DOUBT_LINE.search(line)
            if match:
                logged += [int(n) for n in match.group(1).split(", ")]
    if sorted(logged) != sorted(int(r["sequence"]) for r in recovered):
        problems.append("the log names %s in doubt, the journal %s" %
                        (sorted(logged)[-10:], sorted(int(r["sequence"]) for r in recovered)[-10:]))

    # The repeats of the sales recovered now, while inside the window: a
    # slow restart may leave one too old to be repeated (counted).
    repeated = late = 0
    for row in recovered:
        number = int(row["sequence"])
        if number in state["recovered"]:
            continue
        state["recovered"].append(number)
        started = datetime.datetime.fromisoformat(row["time"]).timestamp()
        if time.time() - started > args.window - 1:
            late += 1
            continue
        reference = row["reference"].encode()
        sent = sum(1 for m in messages if m.split(FS)[5:6] == [reference])
        response, _ = exchange(args.port, get("/Sale?%s+%s+%s" % (CARD, row["amount"],
                                                                   row["reference"])))
        answer = parse(response)
        wanted = ("409 Conflict", "Duplicate of sequence %d, whose outcome is unknown: check it "
                  "with the transaction server before trying again." % number)
        if answer != wanted:
            problems.append("the repeat of %d was answered %r" % (number, answer))
        time.sleep(0.05)
        after, _ = read_record(args.record)
        if sum(1 for m in after if m.split(FS)[5:6] == [reference]) != sent:
            problems.append("the repeat of %d reached the server" % number)
        repeated += 1
    print("recovered: %d received numbers accounted for, %d sales in doubt repeated, %d too old "
          "to repeat (%d in all)" % (len(received), repeated, late, len(state["recovered"])))
    return keep_state(args, state, problems, "after round %d" % state["rounds"])


def crash_final(args):
    with open(args.state) as saved:
        state = json.load(saved)
    with open(args.answers) as answers:
        load = json.load(answers)
    messages, leftover = read_record(args.record)
    sequences = [p[1] for p in map(numbered_sequence, messages) if p and p[0] != 84]
    violations = list(state["violations"]) + load["violations"]
    seen = set()
    duplicates = sorted({s for s in sequences if s in seen or seen.add(s)})
    if duplicates:
        violations.append("sequence numbers sent twice: %s" % duplicates[:20])
    missing = set(load["approved"]) - seen
    if missing:
        violations.append("approved sequence numbers not in the record: %s" % sorted(missing)[:20])
    if leftover:
        print("record ends with %d bytes of a message cut by a kill" % leftover)
    gaps = 0
    for a, b in zip(sequences, sequences[1:]):
        if b != (a + 1) % WRAP:
            gaps += 1
        if not after_wrap(a, b) and len(violations) < 1000:
            violations.append("sequence number %d reached the server after %d" % (b, a))
    print("rounds: %d" % state["rounds"])
    print("sales sent to the server: %d, approved and answered: %d" %
          (len(sequences), len(load["approved"])))
    print("answers by status: %s; connection errors while down: %d" %
          (json.dumps(load["by_status"], sort_keys=True), load["connection_errors"]))
    print("sequence numbers: first %s, last %s; %d gaps (numbers reserved before a kill and "
          "never sent)" %
          (sequences[0] if sequences else "-", sequences[-1] if sequences else "-", gaps))
    print("counter after kills: lowest %s, highest %s, last %s" %
          (state["lowest"], state["highest"], state["previous"]))
    for violation in violations[:50]:
        print("VIOLATION:", violation)
    print("%d violations" % len(violations))
    return 1 if violations else 0


def wait_listen(args):
    end = time.monotonic() + args.timeout
    while time.monotonic() < end:
        try:
            with socket.create_connection(("127.0.0.1", args.port), timeout=1):
                return 0
        except OSError:
            time.sleep(0.05)
    return 1


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    p = commands.add_parser("wait-listen")
    p.add_argument("port", type=int)
    p.add_argument("--timeout", type=float, default=10.0)
    p.set_defaults(run=wait_listen)
    p = commands.add_parser("soak")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--pid", type=int, required=True)
    p.add_argument("--seconds", type=float, required=True)
    p.add_argument("--clients", type=int, default=64)
    p.add_argument("--record", required=True)
    p.add_argument("--counter", required=True)
    p.add_argument("--start", type=int, required=True, help="the counter's starting value")
    p.add_argument("--rss-growth-kb", type=int, default=256)
    p.add_argument("--rss-total-kb", type=int, default=16384)
    p.add_argument("--journal", help="the journal's path stem: <stem>-YYYY-MM-DD.csv")
    p.set_defaults(run=soak)
    p = commands.add_parser("sales")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--clients", type=int, default=8)
    p.add_argument("--stop", required=True, help="ends when this file exists")
    p.add_argument("--out", required=True)
    p.add_argument("--rate", type=float, default=0,
                   help="at most this many sales a second from all clients (0: no limit)")
    p.set_defaults(run=sales)
    p = commands.add_parser("crash-check")
    p.add_argument("--counter", required=True)
    p.add_argument("--record", required=True)
    p.add_argument("--state", required=True)
    p.set_defaults(run=crash_check)
    p = commands.add_parser("crash-recovered")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--record", required=True)
    p.add_argument("--state", required=True)
    p.add_argument("--journal", required=True, help="the journal's path stem")
    p.add_argument("--log", required=True)
    p.add_argument("--window", type=float, required=True, help="DuplicateWindow, in seconds")
    p.set_defaults(run=crash_recovered)
    p = commands.add_parser("crash-final")
    p.add_argument("--record", required=True)
    p.add_argument("--state", required=True)
    p.add_argument("--answers", required=True)
    p.set_defaults(run=crash_final)
    args = parser.parse_args()
    sys.exit(args.run(args))


if __name__ == "__main__":
    main()
