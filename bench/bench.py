#!/usr/bin/env python3
"""Quillport's reception, storage and printing path, measured side by side
with socat (the loopback limit), p910nd (a raw port-9100 daemon) and CUPS's
own `lp`, on loopback only.

Every figure is measured in the same run as what it is compared with, in
alternating order, several times; the table shows medians and their ratios.
The table is printed and written to bench/results.md, between the two
markers below; whatever else that file holds (notes by hand) is kept.

Run it through bench/run.sh, which installs and builds what it needs.
"""

import argparse
import datetime
import os
import platform
import select
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

BEGIN = "<!-- bench.py: generated table, begin -->"
END = "<!-- bench.py: generated table, end -->"

MiB = 1 << 20
HOST = "127.0.0.1"
STORED = b" stored successful with filename \""
FINISHED = b" finished with error"

# p910nd listens on 9100 + a digit only; the others on free ports.
P910ND_DIGIT = 9
# A job whose connection is reset is sent again, up to this many times.
RESENDS = 5

# Every wait of the benchmark ends; nothing here runs longer than this.
CONNECT_TIMEOUT = 30.0
JOB_TIMEOUT = 120.0


class BenchError(Exception):
    pass


# --- processes ---------------------------------------------------------------

def listening(port):
    """Whether something listens on 127.0.0.1:port (from /proc/net/tcp)."""
    local = "0100007F:%04X" % port
    with open("/proc/net/tcp") as table:
        next(table)
        for row in table:
            fields = row.split()
            if fields[1] == local and fields[3] == "0A":
                return True
    return False


def wait_until(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise BenchError("timed out waiting for " + what)
        time.sleep(0.0005)


class Process:
    """A child process that is ended by its own PID, and whose exit can be
    waited for exactly (through a pidfd)."""

    def __init__(self, argv, name, env=None, cwd=None):
        self.name = name
        self.popen = subprocess.Popen(argv, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.pid = self.popen.pid
        self.pidfd = os.pidfd_open(self.pid)

    def wait_exit(self, timeout):
        ready, _, _ = select.select([self.pidfd], [], [], timeout)
        if not ready:
            raise BenchError(self.name + " did not exit")
        return self.popen.wait()

    def alive(self):
        return self.popen.poll() is None

    def stop(self):
        if self.alive():
            os.kill(self.pid, signal.SIGTERM)
            try:
                self.wait_exit(5)
            except BenchError:
                os.kill(self.pid, signal.SIGKILL)
                self.wait_exit(5)
        os.close(self.pidfd)

    def status(self, key):
        """A size from /proc/PID/status (VmRSS, VmHWM), in bytes."""
        with open("/proc/%d/status" % self.pid) as status:
            for row in status:
                if row.startswith(key + ":"):
                    return int(row.split()[1]) * 1024
        raise BenchError("no %s for %s" % (key, self.name))

    def reset_peak(self):
        # Sets VmHWM back to the present resident size.
        with open("/proc/%d/clear_refs" % self.pid, "w") as refs:
            refs.write("5")


# --- clients -----------------------------------------------------------------

def connect(port):
    sock = socket.create_connection((HOST, port), timeout=CONNECT_TIMEOUT)
    sock.settimeout(JOB_TIMEOUT)
    return sock


def free_port():
    with socket.socket() as probe:
        probe.bind((HOST, 0))
        return probe.getsockname()[1]


class Resends:
    """Counts the jobs sent again after their connection was reset."""

    def __init__(self):
        self.lock = threading.Lock()
        self.count = 0

    def add(self):
        with self.lock:
            self.count += 1


def send_job(port, payload, resends=None):
    """One job: connect, send everything, shut the write side, wait for the
    server to close. A reset connection is tried again, as a printing client
    would. Returns the time of the first byte."""
    for attempt in range(RESENDS + 1):
        sock = connect(port)
        try:
            start = time.perf_counter()
            sock.sendall(payload)
            sock.shutdown(socket.SHUT_WR)
            while sock.recv(65536):
                pass
            return start
        except (ConnectionResetError, BrokenPipeError):
            if resends is None or attempt == RESENDS:
                raise
            resends.add()
        finally:
            sock.close()


def send_jobs(port, payload, count, clients, resends=None):
    """`count` jobs from `clients` clients at once, each sending its share
    one after another. Returns the time the clients were let go."""
    barrier = threading.Barrier(clients + 1)
    errors = []

    def client(share):
        barrier.wait()
        try:
            for _ in range(share):
                send_job(port, payload, resends)
        except OSError as error:
            errors.append(error)

    shares = [count // clients + (1 if i < count % clients else 0) for i in range(clients)]
    threads = [threading.Thread(target=client, args=(share,)) for share in shares]
    for thread in threads:
        thread.start()
    barrier.wait()
    start = time.perf_counter()
    for thread in threads:
        thread.join()
    if errors:
        raise BenchError("%d client(s) failed, first: %s" % (len(errors), errors[0]))
    return start


# --- contenders --------------------------------------------------------------

class LogWatch:
    """Counts the lines of Quillport's log that hold `marker` as they come
    (by default the "stored successful" lines, whose file names it keeps)."""

    def __init__(self, path, marker=STORED):
        self.path = path
        self.marker = marker
        self.offset = 0
        self.partial = b""
        self.count = 0
        self.names = []

    def poll(self):
        try:
            with open(self.path, "rb") as log:
                log.seek(self.offset)
                data = log.read()
        except FileNotFoundError:
            return
        self.offset += len(data)
        text = self.partial + data
        end = text.rfind(b"\n") + 1
        self.partial = text[end:]
        for line in text[:end].splitlines():
            at = line.find(self.marker)
            if at >= 0:
                self.count += 1
                self.names.append(line[at + len(self.marker):].rstrip(b'"').decode())

    def wait_for(self, count, timeout):
        deadline = time.monotonic() + timeout
        while True:
            self.poll()
            if self.count >= count:
                return time.perf_counter()
            if time.monotonic() > deadline:
                raise BenchError("Quillport logged %d of %d jobs in time" % (self.count, count))
            time.sleep(0.0005)


class Quillport:
    """quillport -e on a data folder of its own, with one printer."""

    def __init__(self, exe, root, port, storejobs, cups_server, printer="demo"):
        self.root = root
        data = os.path.join(root, "data", "quillport")
        self.jobs = os.path.join(data, "jobs")
        os.makedirs(data)
        os.makedirs(os.path.join(root, "home"))
        settings = ('{"logtype":"textfile","printers":[{"localname":"%s","active":true,"port":%d,'
                    '"listen":"%s","storejobs":%s,"jobspath":"jobs"}]}'
                    % (printer, port, HOST, "true" if storejobs else "false"))
        with open(os.path.join(data, "settings.json"), "w") as f:
            f.write(settings)
        env = dict(os.environ, XDG_DATA_HOME=os.path.join(root, "home"),
                   XDG_DATA_DIRS=os.path.join(root, "data"), CUPS_SERVER=cups_server)
        self.port = port
        self.log = LogWatch(os.path.join(data, "Quillport.log"), STORED if storejobs else FINISHED)
        self.proc = Process([exe, "-e"], "quillport", env=env, cwd=root)
        wait_until(lambda: listening(port) or not self.proc.alive(), 10, "quillport to listen")
        if not self.proc.alive():
            raise BenchError("quillport did not start; see " + self.log.path)

    def clear_jobs(self):
        for name in os.listdir(self.jobs):
            os.unlink(os.path.join(self.jobs, name))

    def stop(self):
        self.proc.stop()


def free_p910nd_digit():
    for digit in [P910ND_DIGIT] + list(range(9)):
        if not listening(9100 + digit):
            return digit
    raise BenchError("ports 9100 to 9109 are all in use")


class P910nd:
    """p910nd in the foreground, standalone, on 127.0.0.1:910n, printing to a
    plain file."""

    def __init__(self, path):
        os.makedirs("/var/lock/p910nd", exist_ok=True)
        self.path = path
        open(path, "wb").close()  # it does not create its printer
        digit = free_p910nd_digit()
        self.port = 9100 + digit
        # -d writes a line per 8 KB to stdout, which goes to /dev/null.
        self.proc = Process(["p910nd", "-d", "-i", HOST, "-f", path, str(digit)], "p910nd")
        wait_until(lambda: listening(self.port) or not self.proc.alive(), 10, "p910nd to listen")
        if not self.proc.alive():
            raise BenchError("p910nd did not start")

    def empty(self):
        os.truncate(self.path, 0)

    def stop(self):
        self.proc.stop()


def same_content(path, payload):
    view = memoryview(payload)
    with open(path, "rb") as f:
        at = 0
        while True:
            block = f.read(16 * MiB)
            if not block:
                return at == len(payload)
            if view[at:at + len(block)] != block:
                return False
            at += len(block)


# --- statistics and the table --------------------------------------------------

def median(values):
    return statistics.median(values)


def spread(values, fmt):
    """The median with its unit, then the lowest and highest."""
    def bare(value):
        return fmt(value).split()[0]
    return "%s (%s–%s)" % (fmt(median(values)), bare(min(values)), bare(max(values)))


def mib(value):
    return "%.1f MiB" % (value / MiB)


def rate(value):
    return "%.0f MiB/s" % value


def per_second(value):
    return "%.0f jobs/s" % value


def millis(value):
    return "%.1f ms" % (value * 1000)


# --- figures -----------------------------------------------------------------

def figure_large(args, scratch, rows, notes, memory):
    size = args.large_mib * MiB
    print("1. one %d MiB job, %d times each: Quillport, socat, p910nd" % (args.large_mib, args.reps), flush=True)
    payload = os.urandom(size)
    qp = Quillport(args.quillport, os.path.join(scratch, "q-large"), free_port(), True, args.missing_cups)
    p9 = P910nd(os.path.join(scratch, "p910nd-large.prn"))
    socat_file = os.path.join(scratch, "socat-large.prn")
    speed = {"quillport": [], "socat": [], "p910nd": []}
    peaks, before = [], []
    try:
        def run_quillport():
            before.append(qp.proc.status("VmRSS"))
            qp.proc.reset_peak()
            expected = qp.log.count + 1
            start = send_job(qp.port, payload)
            end = qp.log.wait_for(expected, JOB_TIMEOUT)
            peaks.append(qp.proc.status("VmHWM"))
            stored = os.path.join(qp.jobs, qp.log.names[-1] + ".prn")
            if not same_content(stored, payload):
                raise BenchError("Quillport's stored job %s differs from the job sent" % stored)
            qp.clear_jobs()
            return end - start

        def run_socat():
            port = free_port()
            proc = Process(["socat", "-b", "1048576", "-u",
                            "TCP-LISTEN:%d,bind=%s,reuseaddr" % (port, HOST),
                            "OPEN:%s,creat,trunc" % socat_file], "socat")
            try:
                wait_until(lambda: listening(port) or not proc.alive(), 10, "socat to listen")
                start = send_job(port, payload)
                proc.wait_exit(JOB_TIMEOUT)
                end = time.perf_counter()
            finally:
                proc.stop()
            if os.path.getsize(socat_file) != size:
                raise BenchError("socat wrote %d bytes" % os.path.getsize(socat_file))
            os.unlink(socat_file)
            return end - start

        def run_p910nd():
            p9.empty()
            start = send_job(p9.port, payload)
            end = time.perf_counter()
            if os.path.getsize(p9.path) != size:
                raise BenchError("p910nd wrote %d bytes" % os.path.getsize(p9.path))
            p9.empty()
            return end - start

        runs = [("quillport", run_quillport), ("socat", run_socat), ("p910nd", run_p910nd)]
        for _, run in runs:  # a first job each, not counted: the steady state is measured
            run()
        del peaks[:], before[:]
        for rep in range(args.reps):
            order = runs[rep % 3:] + runs[:rep % 3]
            for name, run in order:
                speed[name].append(size / MiB / run())
            print("   rep %d: " % (rep + 1) + ", ".join("%s %.0f MiB/s" % (n, speed[n][-1]) for n, _ in runs),
                  flush=True)
    finally:
        qp.stop()
        p9.stop()
    q, s, p = (median(speed[n]) for n in ("quillport", "socat", "p910nd"))
    rows.append(("1", "%d MiB job, first byte to file complete: vs socat" % args.large_mib,
                 spread(speed["quillport"], rate), "socat " + spread(speed["socat"], rate),
                 q / s, "≥ 0.80", q / s >= 0.8))
    rows.append(("1", "the same: vs p910nd",
                 spread(speed["quillport"], rate), "p910nd " + spread(speed["p910nd"], rate),
                 q / p, "> 1", q / p > 1))
    memory["peaks"] = peaks
    memory["before"] = before
    memory["size"] = size

    # For comparison: the same job with storejobs off, when the job is kept
    # in memory for the spooler.
    reps = min(3, args.reps)
    print("   the same job to a printer that does not store jobs, %d times: peak memory" % reps, flush=True)
    qp = Quillport(args.quillport, os.path.join(scratch, "q-large-unstored"), free_port(), False,
                   args.missing_cups)
    unstored, unstored_speed = [], []
    try:
        send_job(qp.port, payload)
        qp.log.wait_for(1, JOB_TIMEOUT)
        for rep in range(reps):
            qp.proc.reset_peak()
            expected = qp.log.count + 1
            start = send_job(qp.port, payload)
            end = qp.log.wait_for(expected, JOB_TIMEOUT)
            unstored.append(qp.proc.status("VmHWM"))
            unstored_speed.append(size / MiB / (end - start))
    finally:
        qp.stop()
    memory["unstored"] = unstored
    memory["unstored_speed"] = unstored_speed


def figure_small(args, scratch, rows, notes):
    count, clients = args.small_jobs, args.clients
    payload = os.urandom(4096)
    print("2. %d jobs of 4 KiB, from 1 client and from %d clients, %d times each: Quillport, p910nd"
          % (count, clients, args.small_reps), flush=True)
    qp = Quillport(args.quillport, os.path.join(scratch, "q-small"), free_port(), True, args.missing_cups)
    p9 = P910nd(os.path.join(scratch, "p910nd-small.prn"))
    results = {}
    resends = {"quillport": Resends(), "p910nd": Resends()}
    try:
        def run_quillport(n):
            expected = qp.log.count + count
            start = send_jobs(qp.port, payload, count, n, resends["quillport"])
            end = qp.log.wait_for(expected, JOB_TIMEOUT)
            # A job sent again after a reset may have been stored twice.
            if len(os.listdir(qp.jobs)) < count:
                raise BenchError("Quillport stored %d files" % len(os.listdir(qp.jobs)))
            qp.clear_jobs()
            return count / (end - start)

        def run_p910nd(n):
            # Every job overwrites the same file from its start.
            start = send_jobs(p9.port, payload, count, n, resends["p910nd"])
            end = time.perf_counter()
            if os.path.getsize(p9.path) != len(payload):
                raise BenchError("p910nd's file has %d bytes" % os.path.getsize(p9.path))
            return count / (end - start)

        runs = [("quillport", run_quillport), ("p910nd", run_p910nd)]
        for _, run in runs:  # a first round each, not counted
            run(1)
        for n in (1, clients):
            for name, _ in runs:
                results[(name, n)] = []
            for rep in range(args.small_reps):
                order = runs[rep % 2:] + runs[:rep % 2]
                for name, run in order:
                    results[(name, n)].append(run(n))
                print("   %2d client(s), rep %d: " % (n, rep + 1)
                      + ", ".join("%s %.0f jobs/s" % (name, results[(name, n)][-1]) for name, _ in runs),
                      flush=True)
            for name, counter in resends.items():
                if counter.count:
                    notes.append("Figure 2, %d client(s): %s reset %d connections over %d × %d jobs; "
                                 "those jobs were sent again, and the time includes that"
                                 % (n, name, counter.count, args.small_reps, count))
                    counter.count = 0
    finally:
        qp.stop()
        p9.stop()
    for n in (1, clients):
        q = median(results[("quillport", n)])
        p = median(results[("p910nd", n)])
        label = "1 client, one job after another" if n == 1 else "%d clients at once" % n
        rows.append(("2", "%d × 4 KiB jobs, %s: jobs per second vs p910nd" % (count, label),
                     spread(results[("quillport", n)], per_second),
                     "p910nd " + spread(results[("p910nd", n)], per_second), q / p, "> 1", q / p > 1))


def figure_memory(args, scratch, rows, notes, memory):
    size, peaks = memory["size"], memory["peaks"]
    limit = 1.3 * size + 30 * MiB
    peak = median(peaks)
    rows.append(("3", "peak resident memory (VmHWM) while receiving one %d MiB job; "
                      "resident before the job %s" % (size // MiB, mib(median(memory["before"]))),
                 spread(peaks, mib), "job %s" % mib(size), peak / size,
                 "≤ 1.3 × job + 30 MiB = %s" % mib(limit), peak <= limit))
    unstored = median(memory["unstored"])
    rows.append(("3", "the same with storejobs off, the job kept in memory for the spooler "
                      "(for information; received at %s)" % spread(memory["unstored_speed"], rate),
                 spread(memory["unstored"], mib), "job %s" % mib(size), unstored / size,
                 "≤ 1.3 × job + 30 MiB = %s" % mib(limit), unstored <= limit))

    count, clients = args.leak_jobs, args.clients
    print("3. resident memory over %d jobs of 4 KiB from %d clients" % (count, clients), flush=True)
    payload = os.urandom(4096)
    qp = Quillport(args.quillport, os.path.join(scratch, "q-leak"), free_port(), True, args.missing_cups)
    try:
        def settled_rss():
            # Sockets are deleted on the next turn of the event loop.
            time.sleep(0.5)
            return qp.proc.status("VmRSS")

        start = settled_rss()
        warm = count // 10
        send_jobs(qp.port, payload, warm, clients)
        qp.log.wait_for(warm, JOB_TIMEOUT)
        qp.clear_jobs()
        after_warm = settled_rss()
        sent = warm
        while sent < count:
            step = min(1000, count - sent)
            send_jobs(qp.port, payload, step, clients)
            sent += step
            qp.log.wait_for(sent, JOB_TIMEOUT)
            qp.clear_jobs()
        after = settled_rss()
        peak = qp.proc.status("VmHWM")
    finally:
        qp.stop()
    print("   start %s, after %d jobs %s, after %d jobs %s, peak %s"
          % (mib(start), warm, mib(after_warm), count, mib(after), mib(peak)), flush=True)
    growth = after - after_warm
    ok = after <= start + 5 * MiB and growth <= 1 * MiB
    rows.append(("3", "resident memory after %d × 4 KiB jobs (start %s, after the first %d %s, peak %s)"
                      % (count, mib(start), warm, mib(after_warm), mib(peak)),
                 mib(after), "start %s" % mib(start), after / start,
                 "≤ start + 5 MiB, and ≤ 1 MiB more than after the first %d" % warm, ok))


def figure_printing(args, scratch, rows, notes):
    size = args.print_mib * MiB
    reps = args.print_reps
    print("4. one %d MiB job through a private CUPS to a completed job, %d times each: Quillport, lp"
          % (args.print_mib, reps), flush=True)
    cups_dir = os.path.join(scratch, "cups")
    printed = os.path.join(cups_dir, "printed")
    demo_cups = os.path.join(args.source, "scripts", "demo-cups.sh")
    result = subprocess.run(["bash", demo_cups, "start", cups_dir], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True, timeout=60)
    if result.returncode != 0:
        raise BenchError("the private CUPS did not start")
    cups_server = result.stdout.strip().splitlines()[-1]
    payload = os.urandom(size)
    job_file = os.path.join(scratch, "print-job.bin")
    with open(job_file, "wb") as f:
        f.write(payload)
    qp = None
    times = {"quillport": [], "lp": []}
    try:
        qp = Quillport(args.quillport, os.path.join(scratch, "q-print"), free_port(), False, cups_server)
        lp_env = dict(os.environ, CUPS_SERVER=cups_server)

        def wait_printed(known):
            found = []

            def new_job():
                names = [n for n in os.listdir(printed) if n.endswith(".prn") and n not in known]
                found.extend(names)
                return bool(names)
            wait_until(new_job, JOB_TIMEOUT, "the printed job")
            end = time.perf_counter()
            path = os.path.join(printed, found[0])
            if not same_content(path, payload):
                raise BenchError("the printed job %s differs from the job sent" % path)
            os.unlink(path)
            return end

        def run_quillport():
            known = set(os.listdir(printed))
            sock = connect(qp.port)
            try:
                sock.sendall(payload)
                start = time.perf_counter()
                sock.shutdown(socket.SHUT_WR)
                end = wait_printed(known)
                while sock.recv(65536):
                    pass
            finally:
                sock.close()
            return end - start

        def run_lp():
            known = set(os.listdir(printed))
            start = time.perf_counter()
            lp = subprocess.run(["lp", "-d", "demo", "-o", "raw", job_file], env=lp_env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=JOB_TIMEOUT)
            if lp.returncode != 0:
                raise BenchError("lp failed")
            return wait_printed(known) - start

        runs = [("quillport", run_quillport), ("lp", run_lp)]
        for _, run in runs:  # the first job of each warms the scheduler up
            run()
        for rep in range(reps):
            order = runs[rep % 2:] + runs[:rep % 2]
            for name, run in order:
                times[name].append(run())
            print("   rep %d: quillport %.1f ms, lp %.1f ms"
                  % (rep + 1, times["quillport"][-1] * 1000, times["lp"][-1] * 1000), flush=True)
    finally:
        if qp:
            qp.stop()
        subprocess.run(["bash", demo_cups, "stop", cups_dir], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
    q, l = median(times["quillport"]), median(times["lp"])
    rows.append(("4", "%d MiB job to a completed CUPS job: Quillport from the client's close, vs `lp -o raw`"
                      % args.print_mib,
                 spread(times["quillport"], millis), "lp " + spread(times["lp"], millis),
                 q / l, "≤ 1.20", q / l <= 1.2))


# --- the report --------------------------------------------------------------

def machine_facts(args, scratch):
    with open("/proc/meminfo") as meminfo:
        total = int(meminfo.readline().split()[1]) * 1024
    cpu = ""
    with open("/proc/cpuinfo") as cpuinfo:
        for row in cpuinfo:
            if row.startswith("model name"):
                cpu = row.split(":", 1)[1].strip()
                break

    def package_version(name):
        out = subprocess.run(["dpkg-query", "-W", "-f=${Version}", name], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True)
        return out.stdout.strip() or "?"

    exe = os.path.relpath(args.quillport, args.source)
    if exe.startswith(".."):
        exe = args.quillport
    commit = subprocess.run(["git", "-C", args.source, "describe", "--always", "--dirty"],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout.strip()
    fs = subprocess.run(["stat", "-f", "-c", "%T", scratch], stdout=subprocess.PIPE, text=True).stdout.strip()
    return [
        "Date: %s" % datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z"),
        "Machine: %d cores (%s), %.1f GiB memory, Linux %s"
        % (os.cpu_count(), cpu or "?", total / (1 << 30), platform.release()),
        "Quillport: %s (%s), socat %s, p910nd %s, CUPS %s"
        % (commit or "?", exe, package_version("socat"),
           package_version("p910nd"), package_version("cups-daemon")),
        "Job files of all contenders: %s (%s)" % (scratch, fs),
    ]


def load_average():
    with open("/proc/loadavg") as loadavg:
        return loadavg.read().split()[0]


def render(facts, rows, notes, args):
    lines = ["## Benchmark results", ""]
    lines += ["- " + fact for fact in facts]
    lines += [
        "- Repetitions: %d of figure 1, %d of each form of figure 2, %d of figure 4, in turns, after one "
        "uncounted round of each contender; each cell is the median (lowest–highest), each ratio is "
        "Quillport's median over the other's"
        % (args.reps, args.small_reps, args.print_reps),
        "- In figures 1 to 3 Quillport's CUPS server does not exist, so every spooler call fails at once "
        "and the figures measure reception, storage and logging.",
        "- Figure 4 uses a private CUPS (scripts/demo-cups.sh) and a printer without storejobs; a job counts "
        "as done when the queue's backend has written it whole to printed/<job id>.prn.",
        "",
        "| # | Measure | Quillport | Compared with | Ratio | Target | Met |",
        "|---|---|---|---|---|---|---|",
    ]
    for figure, measure, quillport, other, ratio, target, met in rows:
        verdict = "—" if met is None else ("yes" if met else "**no**")
        lines.append("| %s | %s | %s | %s | %.2f | %s | %s |" % (figure, measure, quillport, other, ratio,
                                                                    target, verdict))
    if notes:
        lines.append("")
        lines += ["- " + note for note in notes]
    return "\n".join(lines) + "\n"


def write_results(path, table):
    kept_before, kept_after = "", ""
    if os.path.exists(path):
        with open(path) as f:
            old = f.read()
        if BEGIN in old and END in old:
            kept_before = old[:old.index(BEGIN)]
            kept_after = old[old.index(END) + len(END):]
        else:
            kept_after = "\n" + old
    else:
        kept_before = ("# Quillport benchmark\n\nMade by `bash bench/run.sh`. Every run rewrites the part between "
                       "the two markers; the notes around it are kept.\n\n")
    with open(path, "w") as f:
        f.write(kept_before + BEGIN + "\n" + table + END + kept_after)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quillport", required=True, help="the quillport executable")
    parser.add_argument("--source", default=os.path.dirname(here), help="the source tree")
    parser.add_argument("--dir", default="/dev/shm" if os.path.isdir("/dev/shm") else None,
                        help="where the job files of every contender go (default: a tmpfs, /dev/shm)")
    parser.add_argument("--out", default=os.path.join(here, "results.md"))
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--large-mib", type=int, default=512)
    parser.add_argument("--small-jobs", type=int, default=2000)
    parser.add_argument("--small-reps", type=int, default=5)
    parser.add_argument("--clients", type=int, default=16)
    parser.add_argument("--leak-jobs", type=int, default=10000)
    parser.add_argument("--print-mib", type=int, default=1)
    parser.add_argument("--print-reps", type=int, default=7)
    parser.add_argument("--only", default="1234", help="figures to run, e.g. 12 (3 needs 1)")
    args = parser.parse_args()
    args.quillport = os.path.abspath(args.quillport)

    for tool in ("socat", "p910nd", "lp", "cupsd" if shutil.which("cupsd") else "/usr/sbin/cupsd"):
        if not shutil.which(tool):
            sys.exit("bench: %s is missing; run bench/run.sh" % tool)

    scratch = tempfile.mkdtemp(prefix="quillport-bench-", dir=args.dir)
    os.chmod(scratch, 0o755)
    args.missing_cups = os.path.join(scratch, "no-cups-here.sock")
    rows, notes, memory = [], [], {}
    started = time.monotonic()
    load_start = load_average()
    try:
        facts = machine_facts(args, scratch)
        if "1" in args.only or "3" in args.only:
            figure_large(args, scratch, rows, notes, memory)
        if "2" in args.only:
            figure_small(args, scratch, rows, notes)
        if "3" in args.only:
            figure_memory(args, scratch, rows, notes, memory)
        if "4" in args.only:
            figure_printing(args, scratch, rows, notes)
    except BenchError as error:
        sys.exit("bench: " + str(error))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    facts.append("Whole run: %.0f s; load average (1 min) %s before it, %s after it"
                 % (time.monotonic() - started, load_start, load_average()))
    table = render(facts, rows, notes, args)
    print()
    print(table)
    write_results(args.out, table)
    print("written to " + args.out)


if __name__ == "__main__":
    main()
