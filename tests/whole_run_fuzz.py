#!/usr/bin/env python3
"""Seeded randomized whole runs of the built kvtapefw on the simulated bus.

Each seed makes one case: a bus of 1 to 6 drives (models, versions, serial
numbers absent, shared, cut or holding a control byte, renumbering after a
restart, fault rules and signals at random commands, signals in sleeps), a
catalogue with and without checksums and a few broken images, and a mode:
upgrade all, or discover and then upgrade from the (sometimes edited)
document. After every run one oracle checks what the program promises:

  - no "Result : Success" unless every drive runs what its plan promised
    (and a drive that took up an image came back);
  - every verdict belongs to the physical drive it names: the bus file,
    rewritten when a drive takes up an image or restarts, is the truth;
  - the report on disk (also after SIGKILL) parses, fits its schema, names
    each physical drive at most once and names every drive the trace shows
    was sent WRITE BUFFER data; a run that ended by itself says one result,
    the same on the console, in the exit code and in the report.

Usage: whole_run_fuzz.py --program PATH (--seeds 1-20,35 | --minutes N [--from S])
       [--show] [--keep DIR]
The same seed makes the same case and the same runs (the bus's clock is
simulated, so no run waits). A failing seed prints its problems, its bus
file, catalogue and command lines.
"""
import argparse
import hashlib
import itertools
import json
import os
import random
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import jsonschema

SCHEMA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "docs", "run-report.schema.json")
# product, layout, lto, drive ID (hw_config)
MODELS = [("ULTRIUM-HH6", "ultrium", True, "0x00a4"), ("ULTRIUM-HH7", "ultrium", True, "0x00b2"),
          ("ULTRIUM-HH5", "ultrium", False, "0x00c8"), ("KTR320", "other", False, "0x0320"),
          ("VXA-320", "other", False, "0x0b20")]
VERSIONS = ["1.90", "2.05", "2.10", "2.20"]
CDBS = ["00", "03", "12 00", "12 01 80", "12 01 c0", "12 01 c1", "44", "3c", "16", "3b 04", "3b 05", "3b 04 01"]
SENSES = ["06 29 00", "02 04 01", "03 11 00", "05 24 00", "0b 00 00", "05 26 00"]
SIGNALS = ["INT", "TERM", "HUP", "KILL", "QUIT", "USR1"]


def image_bytes(version, hw_config, size):
    text = "KV firmware image\nFWVERSION=%s\nHWCONF=%s\n" % (version, hw_config)
    return (text + "".join(chr(97 + i % 26) for i in range(len(text), size))).encode()


def make_case(seed):
    r = random.Random(seed)
    count = r.randint(1, 6)
    addresses = sorted(r.sample(range(8), count))
    after = list(addresses)  # unique by construction: moves are swaps or moves to a free number
    for _ in range(r.choice([0, 0, 1, 2, 3])):
        i, to = r.randrange(count), r.randrange(8)
        if to in after:
            j = after.index(to)
            after[i], after[j] = after[j], after[i]
        else:
            after[i] = to
    family = "HU%02d" % r.randrange(100)  # serials that read alike once cut
    drives, serials = [], []
    for i, address in enumerate(addresses):
        product, layout, lto, hw = r.choice(MODELS)
        drive = {"address": address, "vendor": "KV" if r.random() < 0.9 else "QT", "product": product,
                 "layout": layout, "firmware": r.choice(VERSIONS[:3]), "hw_config": hw,
                 "lto": lto if product == "KTR320" or r.random() < 0.8 else not lto,
                 "reboot_seconds": r.choice([0, 20, 60, 200, 700]),
                 # Always present, so that its absence afterwards tells that the drive restarted.
                 "address_after_reboot": after[i]}
        if layout == "ultrium" and r.random() < 0.05:  # not one of the maker's drives
            drive["inquiry_number"] = "0"
        if r.random() < 0.05:
            drive["open"] = "fail"
        kind = r.choice(["default", "unique", "none", "shared", "shared", "cut", "control"])
        if kind == "shared" and serials:
            drive["serial"] = r.choice(serials)
        elif kind == "none":
            drive["serial"] = ""
        elif kind == "control":
            drive["serial"] = family + "%02d\nResult : Success" % i
        elif kind != "default":
            drive["serial"] = family + "%06d" % r.randrange(10 ** 6)
        serials.append(drive.get("serial", "KV%08d" % address))
        faults = []
        if kind == "cut":  # page 80h answered short: header and the family's 4 characters
            faults.append({"cdb": "12 01 80", "reply": "short", "moved": 8})
        for _ in range(r.choice([0, 0, 0, 0, 0, 1, 1, 2, 3])):
            rule = {"cdb": r.choice(CDBS), "reply": r.choice(["busy", "check", "check", "host", "short", "conflict"])}
            if rule["reply"] == "check":
                rule["sense"] = r.choice(SENSES)
            if rule["reply"] == "host":
                rule["error"] = r.choice(["io", "not_ready", "other"])
            if rule["reply"] == "short":
                rule["moved"] = r.randrange(0, 64)
            rule["skip"] = r.randrange(0, 6)
            if r.random() < 0.85:
                rule["count"] = r.randint(1, 3)
            faults.append(rule)
        if r.random() < 0.2:
            faults.insert(0, {"cdb": r.choice(CDBS), "skip": r.randrange(0, 5), "count": 1,
                              "signal": r.choice(SIGNALS)})
        if faults:
            drive["faults"] = faults
        drives.append(drive)
    bus = {"command_ms": r.choice([1, 1, 1, 250]), "drives": drives}
    if r.random() < 0.15:
        bus["sleeps"] = [{"skip": r.randrange(0, 3), "count": 1, "signal": r.choice(SIGNALS)}]

    catalogue, images, targets = "$ drive ID | image | version | checksum\n", {}, {}
    for _, _, _, hw in MODELS:
        if r.random() < 0.15:
            continue
        version, name = r.choice(VERSIONS[1:]), "IMG%s.BIN" % hw[2:].upper()
        targets[hw] = version
        data = image_bytes(version if r.random() < 0.93 else r.choice(VERSIONS),
                           hw if r.random() < 0.95 else "0x0bad", r.randint(1000, 100000))
        line = "%s|%s|%s" % (hw, name, version)
        if r.random() < 0.5:
            digest = hashlib.sha256(data).hexdigest()
            line += "|sha256:" + (digest if r.random() < 0.9 else digest[::-1])
        catalogue += line + "\n"
        if r.random() < 0.95:
            images[name] = data
    mode = r.choice(["a", "a", "a", "du"])
    edits = [r.choice([None, None, None, "upgrade", "downgrade", "rewrite", "skip"]) for _ in range(8)]
    if r.random() < 0.03:  # an error page saved as the catalogue: no entry, so no plan can succeed
        catalogue, targets = "<html><body><h1>502 Bad Gateway</h1></body></html>\n", None
    return {"seed": seed, "bus": bus, "catalogue": catalogue, "images": images, "targets": targets,
            "mode": mode, "edits": edits}


def run_program(program, work, args):
    env = {k: v for k, v in os.environ.items() if not k.startswith("KVFW_")}
    env.update({"systemdrive": os.path.join(work, "sd"), "KVFW_SIM_BUS": os.path.join(work, "bus.json"),
                "KVFW_SIM_TRACE": os.path.join(work, "trace.txt"), "KVFW_REPORT": os.path.join(work, "report.json"),
                "TMPDIR": os.path.join(work, "tmp")})
    for name in ("trace.txt", "report.json"):
        if os.path.exists(os.path.join(work, name)):
            os.remove(os.path.join(work, name))
    no_core = lambda: resource.setrlimit(resource.RLIMIT_CORE, (0, 0))  # SIGQUIT
    done = subprocess.run([program] + args, cwd=work, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                          preexec_fn=no_core)
    return done.returncode, done.stdout.decode(errors="replace")


def edit_document(path, edits):
    xml = open(path, encoding="utf-8").read()
    def edit(match):
        device = match.group(0)
        want = edits[int(re.search(r'<busnumber value="(\d+)"/>', device).group(1))]
        return re.sub(r'<action value="[^"]*"/>', '<action value="%s"/>' % want, device) if want else device
    open(path, "w", encoding="utf-8").write(re.sub(r"<device>.*?</device>", edit, xml))


def document_actions(path):
    xml = open(path, encoding="utf-8").read()
    return {int(re.search(r'<busnumber value="(\d+)"/>', d).group(1)): re.search(r'<action value="([^"]*)"/>', d).group(1)
            for d in re.findall(r"<device>.*?</device>", xml)}


def expected_firmware(case, drive, mode, actions):
    """What the drive must run after a run that ends Success."""
    target = (case["targets"] or {}).get(drive["hw_config"])
    if mode == "a":
        maker = drive.get("vendor", "KV") == "KV" and drive.get("inquiry_number") != "0"
        if maker and target and float(target) > float(drive["firmware"]):
            return target
    elif mode == "u" and actions.get(drive["address"]) in ("upgrade", "downgrade", "rewrite"):
        return target
    return drive["firmware"]


def check_run(case, mode, code, console, work, actions, validator):
    """The oracle: the problems of one finished (or killed) run."""
    problems = []
    before = case["bus"]["drives"]
    after = json.load(open(os.path.join(work, "bus.json")))["drives"]
    restarted = ["address_after_reboot" not in d for d in after]
    sent = set()  # initial addresses of drives sent WRITE BUFFER data
    for line in open(os.path.join(work, "trace.txt")) if os.path.exists(os.path.join(work, "trace.txt")) else []:
        m = re.match(r"exec (\d+) .* cdb=3b\S* dir=out len=([1-9]\d*) ", line)
        if m:
            sent.add(int(m.group(1)))
    if mode == "d" and sent:
        problems.append("discover sent WRITE BUFFER data to devices %s" % sorted(sent))
    killed = code < 0
    # Nothing the generator makes refuses a run at its start (the host's own
    # trusted keys, a lock held elsewhere would): such a run checks nothing.
    if code == 255:
        problems.append("the run was refused at its start (exit 255): the case tested nothing")
    results = [l[len("Result : "):] for l in console.splitlines() if l.startswith("Result : ")]
    if not killed and len(results) > 1:
        problems.append("the console says %d results: %s" % (len(results), results))
    success = not killed and results == ["Success"]
    if success and case["targets"] is None:
        problems.append("Success, but the catalogue holds no entry")
    # A drive that took up another version and has not restarted does not answer.
    away = [a["firmware"] != b["firmware"] and not back for b, a, back in zip(before, after, restarted)]
    for b, a, gone in zip(before, after, away):
        want = expected_firmware(case, b, mode, actions)
        if success and (a["firmware"] != want or gone):
            problems.append("Success, but device %d %s, not %s" % (
                b["address"], "has not come back" if gone else "runs " + a["firmware"], want))
    try:
        report = json.load(open(os.path.join(work, "report.json"), encoding="utf-8"))
    except (OSError, ValueError) as error:
        return problems + ["the report on disk does not parse: %s" % error]
    problems += ["report: %s at /%s" % (e.message, "/".join(map(str, e.absolute_path)))
                 for e in validator.iter_errors(report)]
    if not killed and (report.get("exit_code") != code or report.get("result") != (results[-1] if results else None)):
        problems.append("the report says exit %s, %s; the run ended %d, %s"
                        % (report.get("exit_code"), report.get("result"), code, results))
    by_address = {d["address"]: i for i, d in enumerate(before)}
    # A drive without a serial number that restarted at another number is
    # not guessed to be the flashed drive (that guess could put a verdict on
    # another drive): the run names the drive found at the new number in an
    # entry of its own, "not-planned", and fails the flashed drive's entry.
    # (or "left-untouched" when it could not be identified there). Such an
    # entry is no second name when it is the only other entry there, names
    # no download, and the moved drive's own entry is not a success.
    arrived = {a["address"]: j for j, a in enumerate(after) if not away[j] and a["address"] != before[j]["address"]}
    named, moved_entries = {}, []
    for entry in report.get("devices", []):
        where = entry.get("device")
        newcomer = where not in by_address or where in named
        if newcomer:
            j = arrived.get(where)
            if (j is None or entry.get("verdict") not in ("not-planned", "left-untouched") or entry.get("flashed") is not False
                    or len(named.get(where, [])) >= (2 if where in by_address else 1)):
                problems.append(("device %s has a second entry: %s" if where in by_address else
                                 "an entry for device %s, where no drive was: %s") % (where, json.dumps(entry)))
                continue
            moved_entries.append(before[j]["address"])
            state = "runs %s at device %d" % (after[j]["firmware"], after[j]["address"])
            for field, truth in (("firmware_after", after[j]["firmware"]), ("device_after", after[j]["address"])):
                if entry.get(field) is not None and entry[field] != truth:
                    problems.append("device %d: %s %s, but the drive there %s" % (where, field, entry[field], state))
            named.setdefault(where, []).append(None)  # counted, judged below
            continue
        named.setdefault(where, []).append(entry)
        i = by_address[where]
        b, a = before[i], after[i]
        state = "has not come back" if away[i] else "runs %s at device %d" % (a["firmware"], a["address"])
        for field, truth in (("firmware_after", a["firmware"]), ("device_after", a["address"])):
            if entry.get(field) is not None and (away[i] or entry[field] != truth):
                problems.append("device %d: %s %s, but the drive %s" % (where, field, entry[field], state))
        want = expected_firmware(case, b, mode, actions)
        if entry.get("verdict") == "success" and (a["firmware"] != want or away[i]):
            problems.append("device %d: success, but the drive %s, not %s" % (where, state, want))
    for where in moved_entries:
        own = [e for e in named.get(where, []) if e is not None]
        if any(e.get("verdict") == "success" for e in own):
            problems.append("device %d moved and is named again at its new number, but its own entry says success"
                            % where)
    for where in sorted(sent):
        if not any(entry is not None and entry.get("flashed") is True for entry in named.get(where, [])):
            problems.append("device %d was sent image data; the report does not name it flashed" % where)
    return problems


def run_case(case, program, work, validator, show=False):
    """Writes the case into `work`, runs its mode(s); returns (problems, commands)."""
    os.makedirs(os.path.join(work, "sd", "vtxsystem", "log"))
    for folder in ("tmp", "fwimage"):
        os.makedirs(os.path.join(work, folder))
    json.dump(case["bus"], open(os.path.join(work, "bus.json"), "w"), indent=2)
    open(os.path.join(work, "fwimage", "firmware.cfg"), "w").write(case["catalogue"])
    for name, data in case["images"].items():
        open(os.path.join(work, "fwimage", name), "wb").write(data)
    steps = [("a", ["/a", "/s"])] if case["mode"] == "a" else [("d", ["/d", "plan.xml", "/s"]), ("u", ["/u", "plan.xml", "/s"])]
    problems, commands, actions = [], [], {}
    for mode, args in steps:
        if mode == "u":
            if not os.path.exists(os.path.join(work, "plan.xml")):
                break
            edit_document(os.path.join(work, "plan.xml"), case["edits"])
            actions = document_actions(os.path.join(work, "plan.xml"))
            # The truth before this run is the bus as the last run left it.
            case = dict(case, bus=json.load(open(os.path.join(work, "bus.json"))))
        commands.append("kvtapefw " + " ".join(args))
        code, console = run_program(program, work, args)
        if show:
            print("--- kvtapefw %s: exit %d\n%s" % (" ".join(args), code, console))
        problems += ["%s: %s" % (commands[-1], p) for p in check_run(case, mode, code, console, work, actions, validator)]
    return problems, commands


def seeds_of(text):
    for part in text.replace(";", ",").split(","):
        first, _, last = part.partition("-")
        yield from range(int(first), int(last or first) + 1)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--program", required=True)
    parser.add_argument("--seeds")
    parser.add_argument("--minutes", type=float)
    parser.add_argument("--from", dest="start", type=int, default=None)
    parser.add_argument("--show", action="store_true", help="print each run's console")
    parser.add_argument("--keep", help="keep each seed's folder under this folder")
    options = parser.parse_args()
    validator = jsonschema.Draft202012Validator(json.load(open(SCHEMA)), format_checker=jsonschema.FormatChecker())
    if options.minutes is not None:
        start = options.start if options.start is not None else random.SystemRandom().randrange(10 ** 6, 10 ** 9)
        end = time.monotonic() + 60 * options.minutes
        seeds = itertools.takewhile(lambda _: time.monotonic() < end, itertools.count(start))
    else:
        seeds = seeds_of(options.seeds or "1")
    failed, ran = [], 0
    for seed in seeds:
        case = make_case(seed)
        work = tempfile.mkdtemp(prefix="kvfw-fuzz-%d-" % seed, dir=options.keep)
        try:
            problems, commands = run_case(case, os.path.abspath(options.program), work, validator, options.show)
        finally:
            if not options.keep:
                shutil.rmtree(work, ignore_errors=True)
        ran += 1
        if problems:
            failed.append(seed)
            print("=== seed %d FAILED (%s)" % (seed, " then ".join(commands)))
            for problem in problems:
                print("  " + problem)
            print("bus.json:\n" + json.dumps(case["bus"], indent=2))
            print("fwimage/firmware.cfg:\n" + case["catalogue"], end="")
            print("images: %s\n" % ", ".join("%s (%d bytes)" % (n, len(d)) for n, d in case["images"].items()))
        sys.stdout.flush()
    print("%d seeds run, %d failed%s" % (ran, len(failed), (": " + " ".join(map(str, failed))) if failed else ""))
    return 1 if failed or ran == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
