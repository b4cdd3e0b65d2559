"""Long fuzz campaign over every public function of Voxstep, Voxstep4 and
_voxstep_host (the cases of tests/fuzzing.py), each function in a child
process that is restarted after a crash or a hang, so a crash is recorded
with the case that caused it.

    PYTHONPATH=build/dev .venv/bin/python scripts/fuzz_campaign.py --calls 10000
    PYTHONPATH=build/dev .venv/bin/python scripts/fuzz_campaign.py --seconds 600 --only Inject
    PYTHONPATH=build/dev .venv/bin/python scripts/fuzz_campaign.py --repro Voxstep.Inject_J:ints:17

Cases cycle through the mutation families (seed s uses family s mod the
family count). Prints calls, successes, refusals and failures per function,
then one line per distinct failure (kind, family, what) with a reproducer;
--json writes the same figures. Exit code 1 when anything failed."""
import argparse
import collections
import json
import os
import pathlib
import select
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

WORKER = r"""
import sys
sys.path.insert(0, {tests!r})
import fuzzing
entry = fuzzing.BY_ID[{entry!r}]
fams = fuzzing.FAMILIES if not {families!r} else {families!r}
out = sys.stdout
for line in sys.stdin:
    seed = int(line)
    fam = fams[seed % len(fams)]
    case = fuzzing.make_case(entry, fam, seed)
    if case is None:
        out.write("S\n"); out.flush(); continue
    out.write("C %s %d\n" % (fam, seed)); out.flush()
    try:
        kind = fuzzing.check(case)
        out.write("R %s\n" % kind)
    except fuzzing.Failure as f:
        out.write("F %s\t%s\t%s\n" % (f.kind, case.what, str(f).replace("\n", " ")[:300]))
    out.flush()
"""


class Worker:
    def __init__(self, entry_id, families):
        code = WORKER.format(tests=str(ROOT / "tests"), entry=entry_id, families=families)
        # stderr goes to a file: a pipe nobody reads could fill and block
        # the worker
        self.err = tempfile.TemporaryFile()
        self.p = subprocess.Popen([sys.executable, "-c", code], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, stderr=self.err, text=True,
                                  bufsize=1)
        self.buf = b""

    def ask(self, seed, timeout):
        """Returns ("S"), ("R", kind), ("F", kind, what, detail), ("crash", ...)
        or ("hang", ...), reading past the case-start line."""
        try:
            self.p.stdin.write(f"{seed}\n")
            self.p.stdin.flush()
        except BrokenPipeError:
            return ("crash", "?", "worker gone before the case", self._stderr())
        started = None
        deadline = time.monotonic() + timeout
        while True:
            line = self._line(deadline)
            if line is None:
                self.kill()
                return ("hang", started or "?", f"no answer within {timeout} s", "")
            if not line:
                rc = self.p.wait()
                return ("crash", started or "?", f"exit status {rc}", self._stderr())
            tag, _, rest = line.rstrip("\n").partition(" ")
            if tag == "C":
                started = rest
                continue
            if tag == "S":
                return ("S",)
            if tag == "R":
                return ("R", rest)
            if tag == "F":
                kind, what, detail = rest.split("\t", 2)
                return ("F", kind, what, detail)

    def _line(self, deadline):
        """The next line of the worker's output, "" at its end, None at the
        deadline (read unbuffered, so select sees every byte)."""
        fd = self.p.stdout.fileno()
        while b"\n" not in self.buf:
            ready, _, _ = select.select([fd], [], [], max(0.0, deadline - time.monotonic()))
            if not ready:
                return None
            data = os.read(fd, 65536)
            if not data:
                return ""
            self.buf += data
        line, _, self.buf = self.buf.partition(b"\n")
        return line.decode()

    def _stderr(self):
        try:
            self.err.seek(0)
            return self.err.read().decode(errors="replace")[-3000:]
        except Exception:  # noqa: BLE001
            return ""

    def kill(self):
        if self.p.poll() is None:
            self.p.kill()
            self.p.wait()

    def close(self):
        try:
            self.p.stdin.close()
        except Exception:  # noqa: BLE001
            pass
        self.p.wait(timeout=30)


def campaign(entry_ids, calls, seconds, start, families, timeout, seeds=None):
    stats = {}
    problems = collections.OrderedDict()
    for eid in entry_ids:
        st = stats[eid] = collections.Counter()
        w = Worker(eid, families)
        t_end = time.monotonic() + seconds if seconds else None
        seed = start
        while ((calls is None or st["calls"] < calls) and (t_end is None or time.monotonic() < t_end)
               and (seeds is None or seed < start + seeds)):
            ans = w.ask(seed, timeout)
            if ans[0] == "S":
                seed += 1
                continue
            st["calls"] += 1
            if ans[0] == "R":
                st[ans[1]] += 1
            else:
                kind = ans[1] if ans[0] == "F" else ans[0]
                st["fail:" + kind] += 1
                fam = (ans[1].split()[0] if ans[0] != "F" and ans[1] != "?" else
                       (families or FAMILIES)[seed % len(families or FAMILIES)])
                what = ans[2]
                key = (eid, kind, fam, what.split()[0] if ans[0] == "F" else what)
                if key not in problems:
                    problems[key] = (f"{eid}:{fam}:{seed}", ans[-1])
                if ans[0] != "F":
                    w = Worker(eid, families)
            seed += 1
        w.kill()
        line = f"{eid:45s} calls {st['calls']:7d}  ok {st['ok']:7d}  raised {st['raised']:7d}"
        bad = sum(v for k, v in st.items() if k.startswith("fail:"))
        print(line + (f"  FAILED {bad}" if bad else ""), flush=True)
    return stats, problems


def main():
    global FAMILIES
    import fuzzing
    FAMILIES = fuzzing.FAMILIES
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--calls", type=int, help="calls per function (default 2000 without --seconds)")
    ap.add_argument("--seconds", type=float, help="time per function")
    ap.add_argument("--start", type=int, default=0, help="first seed")
    ap.add_argument("--seeds", type=int, help="stop after this many seeds")
    ap.add_argument("--only", default="", help="substring of the function ids to run")
    ap.add_argument("--families", default="", help="comma-separated mutation families")
    ap.add_argument("--timeout", type=float, default=60.0, help="seconds before a case counts as hung")
    ap.add_argument("--json", help="write the figures here")
    ap.add_argument("--repro", help="run one case ENTRY:FAMILY:SEED in this process")
    a = ap.parse_args()
    if a.repro:
        eid, fam, seed = a.repro.rsplit(":", 2)
        case = fuzzing.make_case(fuzzing.BY_ID[eid], fam, int(seed))
        print(case.what if case else "no case for this seed")
        print("result:", fuzzing.check(case) if case else "-")
        return 0
    calls = a.calls if a.calls or a.seconds or a.seeds else 2000
    ids = [e.id for e in fuzzing.ENTRIES if a.only in e.id]
    fams = [f for f in a.families.split(",") if f]
    t0 = time.monotonic()
    stats, problems = campaign(ids, calls, a.seconds, a.start, fams, a.timeout, a.seeds)
    total = sum(s["calls"] for s in stats.values())
    print(f"\n{total} calls over {len(ids)} functions in {time.monotonic() - t0:.0f} s")
    for (eid, kind, fam, what), (repro, detail) in problems.items():
        print(f"  {kind:20s} {repro:55s} {detail[:300]}")
    if a.json:
        pathlib.Path(a.json).write_text(json.dumps(
            {"calls": {k: dict(v) for k, v in stats.items()},
             "problems": [dict(function=k[0], kind=k[1], family=k[2], what=k[3], repro=v[0],
                               detail=v[1]) for k, v in problems.items()]}, indent=1))
    return 1 if problems else 0


if __name__ == "__main__":
    os.environ.setdefault("OMP_NUM_THREADS", "1")
    sys.exit(main())
