#!/usr/bin/python3
"""Replays faults, load and hostile input through the quirel tool.

Every case runs the real tool against the virtual scanner, each run with a
time bound of its own (a run still going at its bound is killed with its
process group and fails its row). The script prints one row per case:

    case | what happened | pages expected | pages found | file valid | exit status

and holds every row to three rules: no page is lost, no valid file is
damaged, and every wait ends within its bound. It ends with
"N passed, M failed" and exits 1 when a row failed.

usage: reliability_replay.py QUIREL-TOOL [CASE-WORD...]
(with words, only the cases whose name holds one of them run)
"""

import hashlib
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zlib

TOOL = None
WORK = None

# Small gray pages without JPEG: fast, and every page is written raw.
SMALL = ["--adf", "--gray", "--no-jpeg", "--resolution", "50", "--paper-height", "6000"]
SCANNER = "model=fi-7160"

# The exit statuses the README documents.
DOCUMENTED = {0, 1, 2, 3, 4, 5, 6, 8, 9, 10, 11, 12, 64, 69}
SANITIZER_WORDS = ("runtime error", "AddressSanitizer", "LeakSanitizer", "ThreadSanitizer")


class Failure(Exception):
    """A case could not even be set up; its row fails with this text."""


# ---------------------------------------------------------------- running


class Run:
    status = None      # exit status when the tool exited, else None
    signal = None      # the signal that ended it, else None
    timed_out = False  # still running at its bound: killed
    seconds = 0.0
    peak_kib = 0       # peak resident set
    out = ""
    err = ""

    def ended(self):
        """How the run ended, in a few words."""
        if self.timed_out:
            return "still running after %.0f s, killed" % self.seconds
        if self.signal is not None:
            return "killed by %s" % signal.Signals(self.signal).name
        return "exit %d" % self.status

    def code(self):
        if self.timed_out:
            return "hang"
        if self.signal is not None:
            return signal.Signals(self.signal).name
        return str(self.status)

    def sanitizer_report(self):
        return any(w in self.err for w in SANITIZER_WORDS)


def tool_env(scanner):
    env = dict(os.environ)
    env.pop("QUIREL_VIRTUAL_TRACE", None)
    env.pop("XDG_RUNTIME_DIR", None)
    env["TMPDIR"] = WORK  # the preview FIFO is made here
    if scanner is None:
        env.pop("QUIREL_VIRTUAL_SCANNER", None)
    else:
        env["QUIREL_VIRTUAL_SCANNER"] = scanner
    return env


def run_tool(args, scanner=SCANNER, bound=30.0, watch=None, shell_prefix=None, poll=0.01):
    """Runs the tool once. `watch(pid, seconds, out)` is called while it
    runs; `shell_prefix` runs it through bash after that command (limits)."""
    cmd = [TOOL] + list(args)
    if shell_prefix:
        cmd = ["/bin/bash", "-c", shell_prefix + ' exec "$0" "$@"'] + cmd
    run = Run()
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=err, env=tool_env(scanner),
                                start_new_session=True)
        start = time.monotonic()
        reaped = False
        try:
            while True:
                pid, wstatus, usage = os.wait4(proc.pid, os.WNOHANG)
                if pid:
                    reaped = True
                    break
                run.seconds = time.monotonic() - start
                if run.seconds > bound:
                    run.timed_out = True
                    break
                if watch:
                    size = os.fstat(out.fileno()).st_size
                    watch(proc.pid, run.seconds, os.pread(out.fileno(), size, 0).decode(errors="replace"))
                if poll:
                    time.sleep(poll)
        finally:
            if not reaped:  # at its bound, or the watcher failed: end the whole group
                try:
                    os.killpg(proc.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                pid, wstatus, usage = os.wait4(proc.pid, 0)
        run.seconds = time.monotonic() - start
        proc.returncode = os.waitstatus_to_exitcode(wstatus)  # reaped here, not by Popen
        if os.WIFSIGNALED(wstatus):
            run.signal = os.WTERMSIG(wstatus)
        else:
            run.status = os.WEXITSTATUS(wstatus)
        if run.timed_out:
            run.signal = None
        run.peak_kib = usage.ru_maxrss
        run.out = os.pread(out.fileno(), 1 << 22, 0).decode(errors="replace")
        run.err = os.pread(err.fileno(), 1 << 22, 0).decode(errors="replace")
    return run


def run_together(arg_lists, scanner=SCANNER, bound=30.0):
    """Starts one tool run per argument list at the same moment."""
    runs = [None] * len(arg_lists)
    barrier = threading.Barrier(len(arg_lists))

    def one(i):
        barrier.wait()
        runs[i] = run_tool(arg_lists[i], scanner=scanner, bound=bound)

    threads = [threading.Thread(target=one, args=(i,)) for i in range(len(arg_lists))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return runs


def scan_new(path, sheets, fmt):
    """A file the cases start from, made by the tool itself."""
    run = run_tool(SMALL + ["--" + fmt, path], scanner="%s;sheets=%d" % (SCANNER, sheets))
    if run.status != 0 or not os.path.isfile(path):
        raise Failure("could not make the starting file: %s %s" % (run.ended(), run.err.strip()))
    return run


# ---------------------------------------------------------------- files


def sh(cmd):
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
    return proc.returncode, proc.stdout.decode(errors="replace")


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def check_file(path):
    """(sound, pages) of a PDF or TIFF; pages is None when unreadable."""
    if not os.path.isfile(path) or os.path.islink(path):
        return False, None
    with open(path, "rb") as f:
        magic = f.read(4)
    if magic == b"%PDF":
        rc, report = sh(["qpdf", "--check", path])
        sound = rc == 0 and "No syntax or stream encoding errors" in report
        rc, info = sh(["pdfinfo", path])
        m = re.search(r"^Pages:\s+(\d+)", info, re.M)
        return sound, int(m.group(1)) if rc == 0 and m else None
    if magic in (b"II*\0", b"MM\0*"):
        # -D reads every strip, so damaged image data shows too.
        rc, report = sh(["tiffinfo", "-D", path])
        if rc != 0 or "rror" in report:
            return False, None
        return True, report.count("TIFF Directory at offset")
    return False, None


def listing(folder):
    return sorted(os.listdir(folder))


def fresh_dir(name):
    path = os.path.join(WORK, name)
    os.mkdir(path)
    return path


def le16(v):
    return v.to_bytes(2, "little")


def le32(v):
    return v.to_bytes(4, "little")


def tiff_bytes(pages, width=16, height=16):
    """A little-endian gray TIFF of `pages` directories, each after its own
    strip. Returns the bytes, the directory offsets and the offsets of the
    directories' next-directory fields."""
    data = bytearray(b"II*\0" + le32(0))
    ifds, nexts = [], []
    for page in range(pages):
        strip = len(data)
        data += bytes((x * 16 + page * 40) & 0xFF for x in range(width * height))
        if len(data) % 2:
            data += b"\0"
        ifd = len(data)
        entries = [(256, 4, width), (257, 4, height), (258, 3, 8), (259, 3, 1), (262, 3, 1), (273, 4, strip),
                   (277, 3, 1), (278, 4, height), (279, 4, width * height)]
        data += le16(len(entries))
        for tag, kind, value in entries:
            data += le16(tag) + le16(kind) + le32(1) + (le16(value) + b"\0\0" if kind == 3 else le32(value))
        nexts.append(len(data))
        data += le32(0)
        ifds.append(ifd)
    data[4:8] = le32(ifds[0])
    for i in range(pages - 1):
        data[nexts[i]:nexts[i] + 4] = le32(ifds[i + 1])
    return bytes(data), ifds, nexts


def pdf_bytes(root_gen):
    """A one-page PDF whose catalog is object 1 with generation `root_gen`."""
    content = b"0 0 m 300 300 l S"
    objects = [
        (1, root_gen, b"<< /Type /Catalog /Pages 2 0 R >>"),
        (2, 0, b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>"),
        (3, 0, b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R /Resources << >> >>"),
        (4, 0, b"<< /Length %d >>\nstream\n" % len(content) + content + b"\nendstream"),
    ]
    data = bytearray(b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n")
    offsets = {}
    for num, gen, body in objects:
        offsets[num] = len(data)
        data += b"%d %d obj\n" % (num, gen) + body + b"\nendobj\n"
    xref = len(data)
    data += b"xref\n0 5\n0000000000 65535 f \n"
    for num, gen, _ in objects:
        data += b"%010d %05d n \n" % (offsets[num], gen)
    data += b"trailer\n<< /Size 5 /Root 1 %d R >>\nstartxref\n%d\n%%%%EOF\n" % (root_gen, xref)
    return bytes(data)


# ---------------------------------------------------------------- rows


class Row:
    def __init__(self, case):
        self.case = case
        self.happened = ""
        self.expected = "-"
        self.found = "-"
        self.valid = "-"
        self.status = "-"
        self.faults = []

    def fail(self, text):
        self.faults.append(text)

    def ok(self):
        return not self.faults


def expect_pages(row, path, want):
    """Checks a file that must hold `want` pages and be sound."""
    sound, pages = check_file(path)
    row.expected = str(want)
    row.found = "none" if pages is None else str(pages)
    row.valid = "yes" if sound else "no"
    if not sound:
        row.fail("%s is not a sound file" % os.path.basename(path))
    if pages != want:
        row.fail("%s holds %s pages, expected %d" % (os.path.basename(path), row.found, want))


def expect_untouched(row, path, before):
    same = os.path.isfile(path) and not os.path.islink(path) and sha256(path) == before
    row.valid = "unchanged" if same else "CHANGED"
    if not same:
        row.fail("%s was changed" % os.path.basename(path))


def expect_exit(row, run, what, statuses, described=None):
    """The run ended within its bound, by itself, with one of `statuses`
    (`described` names a long list). Returns whether it did."""
    if run.sanitizer_report():
        row.fail("%s: sanitizer report on standard error" % what)
    if run.status in statuses:
        return True
    wanted = described or "exit " + " or ".join(map(str, sorted(statuses)))
    row.fail("%s: %s, expected %s %s" % (what, run.ended(), wanted, last_line(run.err)[:80]))
    return False


def tally(codes):
    """Exit codes counted: 0, 8, 0, 0, 8 gives "3x0 2x8"."""
    counts = {}
    for code in codes:
        counts[code] = counts.get(code, 0) + 1
    return " ".join("%dx%s" % (n, code) for code, n in sorted(counts.items()))


def last_line(text):
    lines = [l for l in text.splitlines() if l.strip()]
    return lines[-1] if lines else ""


# ---------------------------------------------------------------- cases
#
# Each case returns its rows.


def concurrent_appenders(fmt):
    """Four runs append three duplex sheets each to one file at once: every
    page of every run must be in the file."""
    row = Row("concurrent --append x4 (%s)" % fmt.upper())
    folder = fresh_dir("together-" + fmt)
    path = os.path.join(folder, "together." + ("pdf" if fmt == "pdf" else "tif"))
    scan_new(path, 1, fmt)
    runs, sheets = 4, 3
    results = run_together([SMALL + ["--duplex", "--append", "--" + fmt, path]] * runs,
                           scanner="%s;sheets=%d" % (SCANNER, sheets))
    row.status = ",".join(r.code() for r in results)
    for i, r in enumerate(results):
        expect_exit(row, r, "run %d" % (i + 1), {0})
    expect_pages(row, path, 1 + runs * sheets * 2)
    row.happened = "%d runs at once, %s" % (runs, ", ".join(r.ended() for r in results))
    return [row]


def damaged_tiff_targets():
    """TIFF --append to targets whose directory chain is damaged: refused
    with exit 5 within the bound, the file byte for byte as it was. The same
    file undamaged takes the pages, so the refusals are about the damage."""
    folder = fresh_dir("damaged-tiff")
    rows = []

    def attempt(row, name, data, want_status, want_pages=None):
        path = os.path.join(folder, name)
        with open(path, "wb") as f:
            f.write(data)
        before = sha256(path)
        run = run_tool(SMALL + ["--tiff", "--append", path], scanner=SCANNER + ";sheets=1", bound=10)
        expect_exit(row, run, name, {want_status})
        if want_status != 0:
            if not run.err.strip():
                row.fail("%s: refused without a message" % name)
            expect_untouched(row, path, before)
        else:
            expect_pages(row, path, want_pages)
        return run

    intact, ifds, nexts = tiff_bytes(2)
    row = Row("TIFF --append: crafted target intact")
    run = attempt(row, "intact.tif", intact, 0, 3)
    row.status, row.happened = run.code(), "2-page file made here: " + run.ended()
    rows.append(row)

    looped = bytearray(intact)
    looped[nexts[1]:nexts[1] + 4] = le32(ifds[0])
    past_end = bytearray(intact)
    past_end[nexts[1]:nexts[1] + 4] = le32(len(intact) + 4096)
    # The second directory announces nine entries; the file ends after three.
    truncated = intact[:ifds[1] + 2 + 3 * 12]
    for label, name, data in (("directory chain loops", "loop.tif", looped),
                              ("next directory past the end", "past-end.tif", past_end),
                              ("truncated entry table", "truncated.tif", truncated)):
        row = Row("TIFF --append: " + label)
        run = attempt(row, name, bytes(data), 5)
        row.status, row.happened = run.code(), "%s; %s" % (run.ended(), last_line(run.err)[:60])
        rows.append(row)

    row = Row("TIFF --append: file of 1..7 bytes")
    codes = []
    for n in range(1, 8):
        run = attempt(row, "tiny-%d.tif" % n, intact[:n], 5)
        codes.append(run.code())
    row.status = ",".join(codes)
    row.happened = "7 runs: " + ("all refused" if all(c == "5" for c in codes) else "not all refused")
    rows.append(row)
    return rows


def planted_link(fmt):
    """A symbolic link at the output path points at a file the user keeps:
    the scan must not write through it."""
    row = Row("symlink at output path (%s)" % fmt.upper())
    folder = fresh_dir("link-" + fmt)
    victim = os.path.join(folder, "kept.pdf")
    scan_new(victim, 1, "pdf")
    before = sha256(victim)
    path = os.path.join(folder, "scan." + ("pdf" if fmt == "pdf" else "tif"))
    os.symlink(victim, path)
    run = run_tool(SMALL + ["--" + fmt, path], scanner=SCANNER + ";sheets=2")
    row.status = run.code()
    expect_exit(row, run, "scan", {0, 5})
    same = sha256(victim) == before
    if not same:
        row.fail("the link's target was overwritten")
    row.expected = "2"
    if run.status == 0:
        sound, pages = check_file(path)
        row.found = "none" if pages is None else str(pages)
        if os.path.islink(path) or not sound or pages != 2:
            row.fail("exit 0 but the output path holds no sound 2-page file")
        row.happened = "scan written to the path itself"
    elif run.status == 5:
        row.found = "refused"
        if not run.err.strip():
            row.fail("refused without a message")
        row.happened = "refused: " + last_line(run.err)[:60]
    else:
        row.happened = run.ended()
    row.valid = "target unchanged" if same else "target CHANGED"
    return [row]


def first_page_fails():
    """A scan without --append into an existing file whose first page fails:
    the old file stays as it was and no temporary file is left. A first page
    cut short by an unplug is written, so it replaces the file soundly."""
    rows = []
    cases = (
        ("paper jam on sheet 1", ";faults=jam=1", SMALL, "", {6}),
        ("cover open", ";faults=coveropen", SMALL, "", {4}),
        ("unplugged on sheet 1", ";faults=unplug=1",
         ["--adf", "--gray", "--resolution", "50", "--paper-height", "6000"], "", {9}),
        # A page larger than the file size limit: the write itself fails.
        ("first page write fails", "", ["--adf", "--gray", "--no-jpeg", "--resolution", "100",
                                        "--paper-height", "6000"], "trap '' XFSZ; ulimit -f 3;", {10}),
    )
    for i, (label, faults, args, prefix, statuses) in enumerate(cases):
        replaced = "unplugged" in label
        row = Row("existing file, " + label)
        folder = fresh_dir("existing-%d" % i)
        path = os.path.join(folder, "kept.pdf")
        scan_new(path, 2, "pdf")
        before, names = sha256(path), listing(folder)
        run = run_tool(args + ["--pdf", path], scanner=SCANNER + ";sheets=2" + faults, shell_prefix=prefix or None)
        row.status = run.code()
        expect_exit(row, run, "scan", statuses)
        sound, pages = check_file(path)
        if replaced:
            row.valid = "sound" if sound and pages == 1 else "UNSOUND"
            if row.valid != "sound": row.fail("the page cut short is not the file's one sound page")
        else:
            expect_untouched(row, path, before)
        row.expected, row.found = "1 (new)" if replaced else "2 (old)", "none" if pages is None else str(pages)
        left = sorted(set(listing(folder)) - set(names))
        if left:
            row.fail("left in the folder: " + ", ".join(left))
        row.happened = "%s; %s" % (run.ended(), last_line(run.err)[:50])
        rows.append(row)
    return rows


def busy_forever():
    """The scanner answers "not ready" without end; a SIGINT after two
    seconds must end the run with 8 within ten seconds, the file sound."""
    rows = []
    stop_at, grace = 2.0, 10.0
    for append in (False, True):
        row = Row("busy forever + SIGINT" + (" (--append)" if append else " (new file)"))
        folder = fresh_dir("busy-append" if append else "busy-new")
        path = os.path.join(folder, "busy.pdf")
        if append:
            scan_new(path, 1, "pdf")
        sent = []

        def watch(pid, seconds, out):
            if not sent and seconds >= stop_at:
                os.kill(pid, signal.SIGINT)
                sent.append(seconds)

        args = SMALL + (["--append"] if append else []) + ["--pdf", path]
        run = run_tool(args, scanner=SCANNER + ";sheets=2;faults=busy=1000000", bound=stop_at + grace, watch=watch)
        row.status = run.code()
        if not sent:
            row.fail("the run ended before the signal: " + run.ended())
        else:
            expect_exit(row, run, "scan", {8})
        after = run.seconds - sent[0] if sent else 0
        row.happened = "SIGINT at %.0f s; %s %.1f s later" % (stop_at, run.ended(), after)
        if append:
            expect_pages(row, path, 1)
        elif os.path.exists(path):
            expect_pages(row, path, 0)
        else:
            row.expected, row.found, row.valid = "0", "no file", "yes"
            if "Scan stopped on request: no file was written;" not in run.out:
                row.fail("the stop does not say that no file was written")
        rows.append(row)
    return rows


def failed_later_scan():
    """Page files good, damaged, good: the damaged one (sound checksums,
    data that cannot be decoded) fails the SCAN of sheet 2. The scan ends
    with the SCAN's own text and exit 9, the page of sheet 1 in the file
    and none for the sheet that was never scanned."""
    row = Row("SCAN of sheet 2 fails")
    folder = fresh_dir("failed-scan")
    data = zlib.compress(b"".join(b"\0" + bytes(range(0, 192, 2)) for _ in range(120)))
    pages = []
    for name, idat in (("good", data), ("bad", data[:2] + b"\xff" * 10 + data[12:])):
        chunks = ((b"IHDR", struct.pack(">IIBBBBB", 96, 120, 8, 0, 0, 0, 0)), (b"IDAT", idat), (b"IEND", b""))
        pages.append(os.path.join(folder, name + ".png"))
        with open(pages[-1], "wb") as f:
            f.write(b"\x89PNG\r\n\x1a\n" + b"".join(struct.pack(">I", len(d)) + k + d +
                                                   struct.pack(">I", zlib.crc32(k + d)) for k, d in chunks))
    codes = []
    for mode in (["--gray", "--no-jpeg"], ["--mono"], ["--gray"]):
        path = os.path.join(folder, mode[-1].strip("-") + ".pdf")
        run = run_tool(mode + ["--resolution", "100", "--pdf", path],
                       scanner="%s;dpi=100;pages=%s,%s,%s" % (SCANNER, pages[0], pages[1], pages[0]))
        codes.append(run.code())
        if expect_exit(row, run, " ".join(mode), {9}) and "(Cmd_Scan 04:00:05)" not in run.err:
            row.fail("%s: not the SCAN's own text: %s" % (" ".join(mode), last_line(run.err)[:60]))
        expect_pages(row, path, 1)
    row.status = ",".join(codes)
    row.happened = "3 modes: " + row.status
    return [row]


def preview_never_read():
    """A preview reader opens the FIFO and never reads: the scan must finish
    with every page."""
    row = Row("preview FIFO never read")
    folder = fresh_dir("preview")
    path = os.path.join(folder, "preview.pdf")
    held = []

    def watch(pid, seconds, out):
        m = re.search(r"^preview fifo: (.+)$", out, re.M)
        if m and not held:
            held.append(os.open(m.group(1), os.O_RDONLY | os.O_NONBLOCK))

    args = ["--adf", "--gray", "--no-jpeg", "--resolution", "100", "--paper-height", "6000", "--duplex",
            "--preview", "1000", "1000", "--pdf", path]
    try:
        run = run_tool(args, scanner=SCANNER + ";sheets=3", bound=30, watch=watch)
    finally:
        for fd in held:
            os.close(fd)
    row.status = run.code()
    if not held:
        row.fail("the FIFO was never announced")
    expect_exit(row, run, "scan", {0})
    expect_pages(row, path, 6)
    row.happened = "reader holds the FIFO unread; %s after %.1f s" % (run.ended(), run.seconds)
    return [row]


def proc_status(pid):
    """(threads, caught-signal mask) of a running process, or None."""
    try:
        with open("/proc/%d/status" % pid) as f:
            text = f.read()
    except OSError:
        return None
    threads = re.search(r"^Threads:\s+(\d+)", text, re.M)
    caught = re.search(r"^SigCgt:\s+([0-9a-fA-F]+)", text, re.M)
    if not threads or not caught:
        return None
    return int(threads.group(1)), int(caught.group(1), 16)


def early_signal(signum):
    """A stop signal right as the program starts working: the run must end
    with a status and a message, never be killed by the signal. The moment
    is when its second thread appears, the earliest point at which the scan
    engine is at work (a signal inside the dynamic loader ends any program),
    or when the handlers are in place, whichever comes first: a thread
    running before both handlers are installed fails the row. The window is
    short, so each timing is tried a few times."""
    name = signal.Signals(signum).name
    row = Row("%s as the program starts" % name)
    folder = fresh_dir("early-" + name)
    wanted = (1 << (signal.SIGINT - 1)) | (1 << (signal.SIGTERM - 1))
    all_codes, notes = [], []
    for delay in (0.0, 0.005, 0.020):
        what = "%d ms" % int(delay * 1000)
        codes, unguarded, missed = [], 0, 0
        for attempt in range(5):
            path = os.path.join(folder, "early-%d-%d.pdf" % (int(delay * 1000), attempt))
            state = {"sent": False, "unguarded": False}

            def watch(pid, seconds, out):
                if state["sent"]:
                    return
                st = proc_status(pid)
                if st is None:
                    return
                threads, caught = st
                guarded = (caught & wanted) == wanted
                if threads < 2 and not guarded:
                    return
                state["unguarded"] = not guarded
                if delay:
                    time.sleep(delay)
                os.kill(pid, signum)
                state["sent"] = True

            run = run_tool(SMALL + ["--pdf", path], scanner=SCANNER + ";sheets=3", bound=20, watch=watch, poll=0)
            codes.append(run.code())
            # On a loaded machine a run can be over before the signal goes
            # out; that attempt tests nothing, but every one of them may not.
            missed += not state["sent"]
            unguarded += state["unguarded"]
            if expect_exit(row, run, what, {0, 8}):
                if "scanned" not in last_line(run.out):
                    row.fail("%s: ended without a summary or stop message" % what)
                if os.path.exists(path):
                    if not check_file(path)[0]:
                        row.fail("%s: the file is not sound" % what)
                elif run.status == 0:
                    row.fail("%s: exit 0 without a file" % what)
        if missed == len(codes):
            row.fail("%s: every run ended before the signal: %s" % (what, run.ended()))
        if unguarded:
            row.fail("%s: in %d of %d runs a thread ran before the handlers were installed" %
                     (what, unguarded, len(codes)))
        all_codes += codes
        notes.append("%s: %s" % (what, tally(codes)))
    row.status = tally(all_codes)
    row.happened = "; ".join(notes)
    return [row]


def low_address_space():
    """Under a tight `ulimit -v` the tool never aborts: it runs or ends with
    a documented status and a message. Limits too tight for the dynamic
    loader itself are passed over."""
    rows = []
    limits_mib = (8, 16, 24, 32, 48, 64, 96, 128, 192, 256)
    for label, args, scanner in (("--help", ["--help"], None),
                                 ("--enumerate", ["--enumerate"], SCANNER),
                                 ("scan", None, SCANNER + ";sheets=2")):
        row = Row("ulimit -v: " + label)
        folder = fresh_dir("ulimit-" + label.strip("-"))
        loaded, codes = 0, []
        for mib in limits_mib:
            path = os.path.join(folder, "low-%d.pdf" % mib)
            run = run_tool(args or SMALL + ["--pdf", path], scanner=scanner, bound=30,
                           shell_prefix="ulimit -v %d;" % (mib * 1024))
            if run.status == 127 and "error while loading shared libraries" in run.err:
                continue
            loaded += 1
            codes.append("%d MiB:%s" % (mib, run.code()))
            # 8 would claim a stop nobody asked for.
            if not expect_exit(row, run, "%d MiB" % mib, DOCUMENTED - {8}, "a documented status other than 8"):
                continue
            if run.status != 0 and not run.err.strip():
                row.fail("%d MiB: %s without a message" % (mib, run.ended()))
            if args is None and os.path.exists(path):
                sound, pages = check_file(path)
                if not sound:
                    row.fail("%d MiB: the file is not sound" % mib)
                if run.status == 0 and pages != 2:
                    row.fail("%d MiB: exit 0 with %s pages" % (mib, pages))
        if not loaded:
            row.fail("no limit tried lets the program load")
        row.status = tally(c.split(":")[1] for c in codes)
        row.happened = ", ".join(codes)
        rows.append(row)
    return rows


def low_memory_sweep():
    """Duplex colour pages of 33 MB under limits that run out of memory at
    every stage of a scan (threads, pages, page buffers, Deflate, the
    writers), PDF and TIFF side by side: no run ends by a signal or hangs;
    every run that fails says why with a documented status, and its file, if
    any, is sound and holds the pages the run reports written. (A
    sanitizer's shadow memory does not fit under ulimit -v: CMakeLists.txt
    runs this script only without one, and a sanitized tool is passed over
    here.)"""
    rc, libs = sh(["ldd", TOOL])
    if "libasan" in libs or "libtsan" in libs:
        return []

    def sweep(fmt, row):
        folder = fresh_dir("low-memory-" + fmt)
        codes, reported, found = [], 0, 0
        # 24 limits 40..416 MiB, the two formats interleaved. The 8 MiB
        # stacks (fixed here) of 5 + n workers make the lowest ones fail early.
        for mib in range(40 if fmt == "pdf" else 48, 420, 16):
            path = os.path.join(folder, "low-%d.%s" % (mib, "pdf" if fmt == "pdf" else "tif"))
            run = run_tool(["--adf", "--rgb", "--no-jpeg", "--duplex", "--resolution", "300", "--" + fmt, path],
                           scanner="model=fi-6130;sheets=3", bound=60,
                           shell_prefix="ulimit -s 8192; ulimit -v %d;" % (mib * 1024))
            codes.append(run.code())
            what = "%d MiB" % mib
            if not expect_exit(row, run, what, DOCUMENTED - {8}, "a documented status other than 8"):
                continue
            if run.status != 0 and not run.err.strip():
                row.fail("%s: exit %d without a message" % (what, run.status))
            m = re.search(r"^(\d+) pages? scanned", last_line(run.out))
            pages = int(m.group(1)) if m else 0
            if run.status == 0 and pages != 6:
                row.fail("%s: exit 0 with %d pages reported" % (what, pages))
            sound, in_file = check_file(path) if os.path.exists(path) else (True, 0)
            reported, found = reported + pages, found + (in_file or 0)
            if not sound or in_file != pages:
                row.fail("%s: %s file with %s pages, %d reported" % (what, "sound" if sound else "damaged", in_file,
                                                                   pages))
        row.status = tally(codes)
        row.expected, row.found = str(reported), str(found)
        row.valid = "yes" if row.ok() else "no"
        row.happened = "%d limits, %d pages reported" % (len(codes), reported)

    def guarded(fmt, row):
        try:
            sweep(fmt, row)
        except Exception as e:  # a thread's exception would be lost: fail its row instead
            row.fail("could not run: %s" % e)

    rows = [Row("low memory sweep (%s)" % fmt.upper()) for fmt in ("pdf", "tiff")]
    threads = [threading.Thread(target=guarded, args=(fmt, row)) for fmt, row in zip(("pdf", "tiff"), rows)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return rows


def closed_streams():
    """The tool started with standard output closed (`>&-`), with standard
    output and error closed, or with standard input closed: the scan works
    as usual (status 0, a sound file of every page), and no progress line
    or message ends up in the output file."""
    rows = []
    folder = fresh_dir("closed-streams")
    for label, closing, fmt in (("standard output", ">&-", "pdf"), ("standard output", ">&-", "tiff"),
                                ("standard output and error", ">&- 2>&-", "pdf"),
                                ("standard input", "<&-", "tiff")):
        row = Row("%s closed (%s)" % (label, fmt.upper()))
        path = os.path.join(folder, "closed-%d.%s" % (len(rows), "pdf" if fmt == "pdf" else "tif"))
        run = run_tool(SMALL + ["--" + fmt, path], scanner=SCANNER + ";sheets=3", bound=30,
                       shell_prefix="exec %s;" % closing)
        row.status = run.code()
        expect_exit(row, run, "scan", {0})
        expect_pages(row, path, 3)
        if os.path.isfile(path):
            with open(path, "rb") as f:
                data = f.read()
            for words in (b" scanned", b"Supported scanner"):
                if words in data:
                    row.fail("the output file holds %r" % words.decode())
        row.happened = "%s; %s" % (closing, run.ended())
        rows.append(row)
    return rows


def number_options():
    """Number options take exactly the digits --help shows: a leading blank
    or plus is refused with exit 64 naming the option."""
    row = Row("number options")
    folder = fresh_dir("numbers")
    base = ["--adf", "--gray", "--no-jpeg", "--paper-height", "6000"]
    refused = (
        (["--resolution", " +300"], "--resolution"),
        (["--resolution", "+300"], "--resolution"),
        (["--resolution", " 300"], "--resolution"),
        (["--threshold", "+5"], "--threshold"),
        (["--paper-height", " 6000"], "--paper-height"),
        (["--pages-per-file", "+2"], "--pages-per-file"),
        (["--preview", " 100", "100"], "--preview"),
        (["--density", " 1.5"], "--density"),
        (["--density", "+1.5"], "--density"),
    )
    codes = []
    for extra, option in refused:
        what = repr(" ".join(extra))
        run = run_tool(base + extra + ["--pdf", os.path.join(folder, "n.pdf")], scanner=SCANNER + ";sheets=1",
                       bound=20)
        codes.append(run.code())
        if expect_exit(row, run, what, {64}) and option not in run.err:
            row.fail("%s: the message does not name %s: %s" % (what, option, last_line(run.err)))
        for name in listing(folder):
            row.fail("%s: %s was written" % (what, name))
            os.unlink(os.path.join(folder, name))
    path = os.path.join(folder, "good.pdf")
    run = run_tool(base + ["--resolution", "300", "--pdf", path], scanner=SCANNER + ";sheets=1", bound=30)
    codes.append(run.code())
    expect_exit(row, run, "--resolution 300", {0})
    expect_pages(row, path, 1)
    row.status = ",".join(codes)
    row.happened = "%d malformed values refused, --resolution 300 %s" % (codes.count("64"), run.ended())
    return [row]


def pdf_generation_limits():
    """A PDF target whose catalog has a generation number at or beyond the
    integer limit: --append refuses it (exit 5, file unchanged) or appends
    correctly, and never crashes. Generation 0 is the control."""
    rows = []
    folder = fresh_dir("generations")
    for gen in (0, 65535, 2147483646, 2147483647, 2147483648, 99999999999):
        row = Row("PDF --append, Root generation %d" % gen)
        path = os.path.join(folder, "gen-%d.pdf" % gen)
        with open(path, "wb") as f:
            f.write(pdf_bytes(gen))
        before = sha256(path)
        run = run_tool(SMALL + ["--pdf", "--append", path], scanner=SCANNER + ";sheets=1", bound=20)
        row.status = run.code()
        if not expect_exit(row, run, "append", {0} if gen == 0 else {0, 5}):
            row.happened = run.ended()
        elif run.status == 0:
            expect_pages(row, path, 2)
            row.happened = "appended"
        else:
            row.expected, row.found = "refusal", "refused"
            expect_untouched(row, path, before)
            if not run.err.strip():
                row.fail("refused without a message")
            row.happened = "refused: " + last_line(run.err)[:60]
        rows.append(row)
    return rows


def deep_page_files():
    """Page files of 16-bit samples are refused with a message naming the
    file, never read past their buffer."""
    row = Row("16-bit PGM/PPM page file")
    folder = fresh_dir("deep")
    codes = []
    for name, magic, channels in (("deep.pgm", b"P5", 1), ("deep.ppm", b"P6", 3)):
        page = os.path.join(folder, name)
        w, h = 300, 400
        samples = w * h * channels * 2  # whole, so only the depth is wrong
        with open(page, "wb") as f:
            f.write(magic + b"\n%d %d\n65535\n" % (w, h) + (bytes(range(256)) * (samples // 256 + 1))[:samples])
        path = os.path.join(folder, name + ".pdf")
        run = run_tool(SMALL + ["--pdf", path], scanner="%s;dpi=50;pages=%s" % (SCANNER, page), bound=20)
        codes.append(run.code())
        refused = expect_exit(row, run, name, DOCUMENTED - {0, 8}, "a documented failure status")
        if refused and page not in run.err:
            row.fail("%s: the message does not name the file: %s" % (name, last_line(run.err)))
    row.status = ",".join(codes)
    row.happened = "refused with the file named" if row.ok() else "; ".join(row.faults)[:70]
    row.expected, row.found = "0", "-"
    return [row]


def many_page_files():
    """A duplex colour scan of 40 page files at 300 dpi: the peak memory
    stays flat, below 400 MiB."""
    row = Row("memory: 40 page files, duplex colour")
    folder = fresh_dir("pages")
    w, h, count, bound_mib = 2550, 3300, 40, 400
    header = b"P6\n%d %d\n255\n" % (w, h)
    row_bytes = w * 3
    base = bytearray(b"\xf0" * (row_bytes * h))
    for y in range(200, h - 200, 60):  # lines of text-like gray bars
        base[y * row_bytes + 600:y * row_bytes + row_bytes - 600] = b"\x30" * (row_bytes - 1200)
    pages = []
    for i in range(count):
        image = bytearray(base)
        for y in range(100, 160):  # a band that tells the pages apart
            start = y * row_bytes + 300 + i * 150
            image[start:start + 120] = b"\x00" * 120
        page = os.path.join(folder, "p%02d.ppm" % i)
        with open(page, "wb") as f:
            f.write(header)
            f.write(image)
        pages.append(page)
    path = os.path.join(folder, "many.pdf")
    run = run_tool(["--adf", "--rgb", "--no-jpeg", "--resolution", "300", "--duplex", "--pdf", path],
                   scanner="%s;dpi=300;pages=%s" % (SCANNER, ",".join(pages)), bound=60, poll=0.05)
    for page in pages:
        os.unlink(page)
    row.status = run.code()
    expect_exit(row, run, "scan", {0})
    expect_pages(row, path, count)
    peak = run.peak_kib // 1024
    if peak >= bound_mib:
        row.fail("peak %d MiB, bound %d MiB" % (peak, bound_mib))
    row.happened = "peak %d MiB (bound %d MiB), %s in %.1f s" % (peak, bound_mib, run.ended(), run.seconds)
    return [row]


# ---------------------------------------------------------------- kills and limits
#
# Scans of 6 duplex sheets (12 sides) ended from outside at spread moments:
# the moment is when the run reports its Nth side, when that side's page is
# about to be written, with a few milliseconds more or less.

KILL_SCAN = ["--adf", "--gray", "--no-jpeg", "--resolution", "200", "--duplex"]
KILL_SCANNER = SCANNER + ";sheets=6"
ULIMIT_TEXT = "Page would exceed the file size limit of this process (ulimit -f)."


def sides_reported(out):
    """How many "side N scanned" lines a run printed."""
    return len(re.findall(r"^side \d+ scanned$", out, re.M))


def pages_reported(out):
    """The pages the run's "file:" line says it wrote (those added to a file
    appended to), or None."""
    m = re.search(r"^file: .* \((\d+) pages?(?:, (\d+) added)?\)$", out, re.M)
    return int(m.group(2) or m.group(1)) if m else None


def signalled_scan(args, signum, side, delay):
    """A scan sent `signum` `delay` seconds after its `side`th side is
    reported. Returns the run and whether the signal went out."""
    sent = []

    def watch(pid, seconds, out):
        if not sent and sides_reported(out) >= side:
            if delay:
                time.sleep(delay)
            os.kill(pid, signum)
            sent.append(seconds)

    run = run_tool(KILL_SCAN + args, scanner=KILL_SCANNER, bound=30, watch=watch, poll=0.001)
    return run, bool(sent)


def kill_sweep():
    """SIGKILL at 12 moments of a new PDF, a new TIFF and an append to a PDF:
    the file is sound and holds every page reported before the kill but the
    last (whose write may have been under way), or does not exist yet when
    no page was finished."""
    rows = []
    for label, fmt, append in (("new PDF", "pdf", False), ("new TIFF", "tiff", False), ("--append to a PDF", "pdf", True)):
        row = Row("SIGKILL sweep: " + label)
        folder = fresh_dir("kill-%s-%s" % (fmt, "append" if append else "new"))
        codes, low, high = [], 0, 0
        for k in range(12):
            path = os.path.join(folder, "k%d.%s" % (k, fmt))
            before = 2 if append else 0
            if append:
                scan_new(path, before, "pdf")
            run, sent = signalled_scan((["--append"] if append else []) + ["--" + fmt, path], signal.SIGKILL, k + 1,
                                       (k % 3) * 0.004)
            codes.append(run.code())
            sides = sides_reported(run.out)
            what = "kill at side %d" % (k + 1)
            if not sent or run.signal != signal.SIGKILL:
                if not expect_exit(row, run, what + " (ended first)", {0}):
                    continue
            least, most = before + max(sides - 1, 0), before + sides
            low, high = low + least, high + most
            if not os.path.exists(path):
                if least > 0:
                    row.fail("%s: no file after %d sides reported" % (what, sides))
                continue
            sound, pages = check_file(path)
            if not sound:
                row.fail("%s: the file is not sound (%d sides reported)" % (what, sides))
            elif pages < least or pages > most:
                row.fail("%s: %s pages, %d sides reported" % (what, pages, sides))
        row.status = tally(codes)
        row.expected, row.found = "%d-%d" % (low, high), "see faults" if row.faults else "in range"
        row.valid = "yes" if row.ok() else "no"
        row.happened = "12 kills, %d of them by the signal" % codes.count("SIGKILL")
        rows.append(row)
    return rows


def stop_signal_sweep():
    """SIGHUP and SIGQUIT at 6 moments of a new PDF: taken as a stop (exit
    8, or 0 when every sheet had been fed), the file sound with the pages
    the run reports."""
    rows = []
    for signum in (signal.SIGHUP, signal.SIGQUIT):
        name = signal.Signals(signum).name
        row = Row("%s sweep: new PDF" % name)
        folder = fresh_dir("stop-" + name)
        codes = []
        for k in range(0, 12, 2):
            path = os.path.join(folder, "s%d.pdf" % k)
            run, sent = signalled_scan(["--pdf", path], signum, k + 1, 0.002 * k)
            codes.append(run.code())
            what = "%s at side %d" % (name, k + 1)
            if not expect_exit(row, run, what, {0, 8} if sent else {0}):
                continue
            reported = pages_reported(run.out) or 0
            # A stop after the last sheet was fed stops nothing.
            if run.status == 0 and reported != 12:
                row.fail("%s: exit 0 with %d pages" % (what, reported))
            if os.path.exists(path):
                sound, pages = check_file(path)
                if not sound or pages != reported:
                    row.fail("%s: %s file with %s pages, %d reported" % (what, "sound" if sound else "damaged", pages,
                                                                       reported))
            elif reported:
                row.fail("%s: no file, %d pages reported" % (what, reported))
        row.status = tally(codes)
        row.valid = "yes" if row.ok() else "no"
        row.happened = "6 signals: " + row.status
        rows.append(row)
    return rows


def file_size_limit():
    """`ulimit -f` (the tool ignores SIGXFSZ): the page that would pass the
    limit fails with exit 10 and its text; a new file keeps the pages before
    (or is not made at all, nothing hidden left), a file appended to keeps
    every page it had and stays sound."""
    rows = []
    cases = (("new PDF", "pdf", False, 150), ("new PDF, first page", "pdf", False, 8), ("new TIFF", "tiff", False, 10000),
             ("new TIFF, first page", "tiff", False, 8), ("--append to a PDF", "pdf", True, None))
    for label, fmt, append, kib in cases:
        row = Row("ulimit -f: " + label)
        folder = fresh_dir("fsize-%d" % len(rows))
        path = os.path.join(folder, "limited." + fmt)
        before = 0
        if append:
            scan_new(path, 2, "pdf")
            before, kib = 2, os.path.getsize(path) // 1024 + 60
        names = listing(folder)
        run = run_tool(KILL_SCAN + (["--append"] if append else []) + ["--" + fmt, path], scanner=KILL_SCANNER,
                       shell_prefix="trap '' XFSZ; ulimit -f %d;" % kib)
        row.status = run.code()
        if expect_exit(row, run, "scan", {10}) and ULIMIT_TEXT not in run.err:
            row.fail("the message is not the limit's: " + last_line(run.err)[:60])
        reported = pages_reported(run.out) or 0
        if os.path.exists(path):
            expect_pages(row, path, before + reported)
        else:
            row.expected, row.found, row.valid = str(reported), "no file", "yes"
            if reported:
                row.fail("no file, %d pages reported" % reported)
        left = sorted(set(listing(folder)) - set(names) - {os.path.basename(path)})
        if left:
            row.fail("left in the folder: " + ", ".join(left))
        row.happened = "ulimit -f %d KiB: %s, %d pages written" % (kib, run.ended(), reported)
        rows.append(row)
    return rows


def cut_short_append():
    """--append to a PDF whose last update was cut short (bytes of an
    update after its last %%EOF): the pages go after those bytes, every
    page before stays and the file is sound."""
    row = Row("PDF --append after a cut-short update")
    folder = fresh_dir("cut-short")
    path = os.path.join(folder, "cut.pdf")
    scan_new(path, 2, "pdf")
    with open(path, "ab") as f:
        f.write(b"7 0 obj\r\n<</Type/XObject/Subtype/Image/Length 90000/Filter/FlateDecode>>stream\r\n" +
                bytes(range(256)) * 12)
    with open(path, "rb") as f:
        old = f.read()
    run = run_tool(SMALL + ["--append", "--pdf", path], scanner=SCANNER + ";sheets=2")
    row.status = run.code()
    expect_exit(row, run, "append", {0})
    with open(path, "rb") as f:
        if not f.read().startswith(old):
            row.fail("the bytes before were changed")
    expect_pages(row, path, 4)
    row.happened = run.ended() + "; " + last_line(run.out)[:50]
    return [row]


def replaced_file_mode():
    """A scan over an existing file of mode 0600 replaces it with a file of
    mode 0600, whatever the umask gives new files."""
    rows = []
    for fmt in ("pdf", "tiff"):
        row = Row("replaced 0600 file stays 0600 (%s)" % fmt.upper())
        folder = fresh_dir("mode-" + fmt)
        path = os.path.join(folder, "private." + ("pdf" if fmt == "pdf" else "tif"))
        scan_new(path, 1, fmt)
        os.chmod(path, 0o600)
        run = run_tool(SMALL + ["--" + fmt, path], scanner=SCANNER + ";sheets=2", shell_prefix="umask 022;")
        row.status = run.code()
        expect_exit(row, run, "scan", {0})
        expect_pages(row, path, 2)
        mode = os.stat(path).st_mode & 0o7777
        if mode != 0o600:
            row.fail("the new file has mode %04o" % mode)
        row.happened = "%s, mode %04o" % (run.ended(), mode)
        rows.append(row)
    return rows


def squatted_temporary_folder():
    """With XDG_RUNTIME_DIR unset, another user can make this user's
    temporary folder name in a shared TMPDIR first: a folder open to others
    or a link to a folder is never used. A line-art PDF (its pages are
    encoded through that folder) is then made through a folder of this
    user's own beside it, the squatted one left empty; when none can be made
    beside it, the scan is refused with exit 5 before paper moves. (A folder
    of another user's needs root; as root the refusal runs as nobody.)"""
    rows = []
    shared = tempfile.mkdtemp(prefix="quirel-shared-")  # outside WORK: the other user reaches it
    uid = os.getuid()
    args = ["--adf", "--mono", "--resolution", "200", "--paper-height", "6000", "--pdf"]
    try:
        elsewhere = os.path.join(shared, "elsewhere")  # looks private: the link alone is wrong
        os.mkdir(elsewhere, 0o700)
        for label, make in (("a folder of mode 0755", lambda p: (os.mkdir(p), os.chmod(p, 0o755))),
                            ("a link to a folder", lambda p: os.symlink(elsewhere, p))):
            row = Row("squatted temporary folder: " + label)
            squat = os.path.join(shared, "quirel-%d" % uid)
            make(squat)
            path = os.path.join(shared, "art.pdf")
            run = run_tool(args + [path], scanner=SCANNER + ";sheets=2", shell_prefix="export TMPDIR=%s;" % shared)
            row.status = run.code()
            expect_exit(row, run, "scan", {0})
            expect_pages(row, path, 2)
            if os.listdir(squat):
                row.fail("something was made in the squatted folder: " + ", ".join(os.listdir(squat)))
            own = [n for n in os.listdir(shared) if n.startswith("quirel-%d-" % uid)]
            if len(own) != 1 or os.stat(os.path.join(shared, own[0])).st_mode & 0o777 != 0o700:
                row.fail("no folder of mode 0700 of its own beside it: %s" % own)
            row.happened = "%s through %s" % (run.ended(), ", ".join(own))
            if os.path.islink(squat):
                os.unlink(squat)
            else:
                os.rmdir(squat)
            for name in own:
                shutil.rmtree(os.path.join(shared, name))
            if os.path.exists(path):
                os.unlink(path)
            rows.append(row)

        row = Row("squatted temporary folder, none beside it")
        user = 65534 if os.geteuid() == 0 else uid
        locked = os.path.join(shared, "locked")
        out = os.path.join(shared, "out")
        os.mkdir(locked)
        os.mkdir(os.path.join(locked, "quirel-%d" % user), 0o755)
        os.chmod(locked, 0o555)
        os.mkdir(out)
        os.chmod(out, 0o777)
        os.chmod(shared, 0o755)
        prefix = "export TMPDIR=%s;" % locked
        if os.geteuid() == 0:
            prefix += ' exec setpriv --reuid=65534 --regid=65534 --clear-groups "$0" "$@";'
        run = run_tool(args + [os.path.join(out, "art.pdf")], scanner=SCANNER + ";sheets=2", shell_prefix=prefix)
        row.status = run.code()
        if expect_exit(row, run, "scan", {5}) and "cannot use a temporary folder" not in run.err:
            row.fail("not the folder's text: " + last_line(run.err)[:60])
        if "side " in run.out:
            row.fail("a sheet was fed")
        row.expected, row.found = "refusal", "refused" if run.status == 5 else run.code()
        row.happened = last_line(run.err)[:70]
        os.chmod(locked, 0o755)
        rows.append(row)
    finally:
        shutil.rmtree(shared, ignore_errors=True)
    return rows


def leftovers_of_killed_run():
    """A run killed while its first page is written leaves its hidden
    temporary file beside the target and its preview FIFO; an older version
    left a Group 4 buffer. The next scan removes them as it starts, while the
    files of a run still going (stopped for the while, its temporary locked,
    its process there) stay, and that run then ends normally."""
    row = Row("leftovers of a killed run, a live run's kept")
    folder = fresh_dir("leftovers")
    path = os.path.join(folder, "scan.tif")
    private = os.path.join(WORK, "quirel-%d" % os.getuid())
    big = ["--adf", "--rgb", "--no-jpeg", "--resolution", "600", "--compress", "none", "--preview", "100", "100",
           "--tiff", path]
    readers = []

    def temps():
        return set(n for n in listing(folder) if n.startswith(".scan.tif."))

    def fifos():
        return set(n for n in listing(private) if n.startswith("quirel-preview-")) if os.path.isdir(private) else set()

    def at_temp(action, others=frozenset()):
        """A watcher that reads no preview and calls action(pid) once the
        run's temporary file is there (besides `others`)."""
        state = {"done": False, "reader": False}

        def watch(pid, seconds, out):
            m = re.search(r"^preview fifo: (.+)$", out, re.M)
            if m and not state["reader"]:
                readers.append(os.open(m.group(1), os.O_RDONLY | os.O_NONBLOCK))
                state["reader"] = True
            if not state["done"] and temps() - others:
                state["done"] = True
                action(pid)
        return watch

    try:
        dead_temps, dead_fifos = set(), set()
        for attempt in range(5):
            before_t, before_f = temps(), fifos()
            run_tool(big, scanner=SCANNER + ";sheets=2", bound=60, poll=0.002,
                     watch=at_temp(lambda pid: os.kill(pid, signal.SIGKILL), before_t))
            dead_temps, dead_fifos = temps() - before_t, fifos() - before_f
            if dead_temps and dead_fifos:
                break
        if not dead_temps or not dead_fifos:
            raise Failure("no kill met the temporary file in 5 runs")
        buffer = os.path.join(private, "quirel-" + "K" * 20 + ".tif")
        with open(buffer, "wb") as f:
            f.write(b"II*\0")
        seen = {}

        def stopped(pid):
            os.kill(pid, signal.SIGSTOP)
            live_t, live_f = temps() - dead_temps, fifos() - dead_fifos
            if not live_t:  # its page was in place before it stopped: try again
                os.kill(pid, signal.SIGCONT)
                return
            nxt = run_tool(SMALL + ["--tiff", path], scanner=SCANNER + ";sheets=1")
            seen.update(next=nxt, live_t=live_t, live_f=live_f, temps=temps(), fifos=fifos(),
                        buffer=os.path.exists(buffer))
            os.kill(pid, signal.SIGCONT)

        for attempt in range(5):
            live = run_tool(big, scanner=SCANNER + ";sheets=2", bound=60, poll=0.002,
                            watch=at_temp(stopped, dead_temps))
            if seen:
                break
        if not seen:
            raise Failure("the live run never had its temporary file while watched")
        row.status = "%s,%s" % (seen["next"].code(), live.code())
        expect_exit(row, seen["next"], "next scan", {0})
        expect_exit(row, live, "live run", {0})
        if seen["temps"] & dead_temps or seen["fifos"] & dead_fifos or seen["buffer"]:
            row.fail("left after the next start: %s" % sorted((seen["temps"] & dead_temps) |
                                                             (seen["fifos"] & dead_fifos)))
        if not seen["live_t"] <= seen["temps"] or not seen["live_f"] <= seen["fifos"] or not seen["live_t"]:
            row.fail("the live run's files were removed: %s %s" % (sorted(seen["live_t"]), sorted(seen["live_f"])))
        if temps() or fifos():
            row.fail("left at the end: %s" % sorted(temps() | fifos()))
        expect_pages(row, path, 2)
        row.happened = "removed %d files of the killed run, kept %d of the live one" % (
            len(dead_temps) + len(dead_fifos) + 1, len(seen["live_t"]) + len(seen["live_f"]))
    finally:
        for fd in readers:
            os.close(fd)
    return [row]


CASES = (
    ("concurrent-pdf", lambda: concurrent_appenders("pdf")),
    ("concurrent-tiff", lambda: concurrent_appenders("tiff")),
    ("damaged-tiff", damaged_tiff_targets),
    ("symlink-pdf", lambda: planted_link("pdf")),
    ("symlink-tiff", lambda: planted_link("tiff")),
    ("existing-file", first_page_fails),
    ("busy", busy_forever),
    ("failed-scan", failed_later_scan),
    ("preview", preview_never_read),
    ("early-sigint", lambda: early_signal(signal.SIGINT)),
    ("early-sigterm", lambda: early_signal(signal.SIGTERM)),
    ("ulimit", low_address_space),
    ("low-memory", low_memory_sweep),
    ("closed-streams", closed_streams),
    ("numbers", number_options),
    ("pdf-generation", pdf_generation_limits),
    ("deep-pages", deep_page_files),
    ("memory", many_page_files),
    ("kill-sweep", kill_sweep),
    ("stop-signals", stop_signal_sweep),
    ("file-size-limit", file_size_limit),
    ("cut-short", cut_short_append),
    ("replaced-mode", replaced_file_mode),
    ("squatted-folder", squatted_temporary_folder),
    ("leftovers", leftovers_of_killed_run),
)


def print_table(rows):
    head = ("case", "what happened", "pages expected", "pages found", "file valid", "exit status", "")
    cells = [head] + [(r.case, r.happened[:70], r.expected, r.found, r.valid, r.status, "ok" if r.ok() else "FAIL")
                      for r in rows]
    widths = [max(len(c[i]) for c in cells) for i in range(len(head))]
    for n, c in enumerate(cells):
        print(" | ".join(c[i].ljust(widths[i]) for i in range(len(head))).rstrip())
        if n == 0:
            print("-+-".join("-" * w for w in widths))
    failed = [r for r in rows if not r.ok()]
    if failed:
        print()
        for r in failed:
            print("FAIL %s:" % r.case)
            for text in r.faults:
                print("  - " + text)


def main(argv):
    global TOOL, WORK
    if len(argv) < 2:
        print(__doc__.strip(), file=sys.stderr)
        return 64
    TOOL = os.path.abspath(argv[1])
    if not os.access(TOOL, os.X_OK):
        print("reliability_replay: %s is not an executable" % TOOL, file=sys.stderr)
        return 64
    words = argv[2:]
    WORK = tempfile.mkdtemp(prefix="quirel-reliability-")
    rows = []
    started = time.monotonic()
    try:
        for name, case in CASES:
            if words and not any(w in name for w in words):
                continue
            t0 = time.monotonic()
            try:
                got = case()
            except Exception as e:  # a case that cannot run is a failed row, not a stopped script
                row = Row(name)
                row.happened = "could not run: %s" % e
                row.fail(row.happened)
                got = [row]
            rows.extend(got)
            for r in got:
                print("%-4s %s" % ("ok" if r.ok() else "FAIL", r.case))
            print("     (%s: %.1f s)" % (name, time.monotonic() - t0), flush=True)
    finally:
        shutil.rmtree(WORK, ignore_errors=True)
    print()
    print_table(rows)
    failed = sum(1 for r in rows if not r.ok())
    print()
    print("replayed in %.0f s" % (time.monotonic() - started))
    print("%d passed, %d failed" % (len(rows) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
