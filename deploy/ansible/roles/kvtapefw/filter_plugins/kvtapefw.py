# Reading what kvtapefw leaves behind (exit code, console, setup log, discovery
# document) and turning it into the outcome a deployment engine understands.
# Kept in Python rather than Jinja so that the rules live in one place and can
# be exercised without a host (scripts/ansible-test.sh does).

import base64
import csv
import hashlib
import io
import json
import os
import re
import xml.etree.ElementTree as ElementTree

EXIT_SUCCESS = 1
EXIT_FAILURE = 0
EXIT_NOTHING_TO_DO = 3

# One line per drive, written by the program; the flash step writes the same
# shape right before it sends an image, followed by a "File name:" line, and
# the verification after the settle wait writes it once per drive found.
DRIVE_LINE = re.compile(r"^Drive ID: (?P<id>\S+), Product ID: (?P<product>.*?)"
                        r"(?:, Action: (?P<action>\S+)| (?P<unplanned>is not suggested to be upgraded)\.)\s*$")
FLASHING_ACTIONS = ("upgrade", "downgrade", "rewrite")
RESULT_PREFIX = "Result : "


def control_path(path):
    """A control-node path: relative ones are taken from the folder
    ansible-playbook was started in, as the program itself treats its
    arguments."""
    return os.path.abspath(os.path.expanduser(str(path)))


def _strip_separators(path):
    text = str(path or "")
    stripped = text.rstrip("\\/")
    return stripped if stripped or not text else text[0]


def remote_paths(directory, windows, log_root="", program="", system_drive="C:"):
    """Where things are on a host. The program reads fwimage/ from its
    current folder, so the working folder holds everything; the setup log is
    %systemdrive%\\vtxsystem\\log\\vtxsetup.log. A POSIX host has no system
    drive: its log goes under the working folder unless a root is given."""
    sep = "\\" if windows else "/"
    home = _strip_separators(directory)
    if not home:
        raise ValueError("kvtapefw_dir is empty")
    root = _strip_separators(log_root) or (_strip_separators(system_drive) if windows else home)
    name = re.split(r"[\\/]", str(program or ""))[-1] or ("kvtapefw.exe" if windows else "kvtapefw")

    def join(*parts):
        return sep.join([parts[0].rstrip(sep)] + list(parts[1:]))

    return {
        "dir": home,
        "program": join(home, name),
        "fwimage": join(home, "fwimage"),
        "discovery": join(home, "discovery.xml"),
        "selection": join(home, "selection.xml"),
        "log_root": root,
        "log_dir": join(root, "vtxsystem", "log"),
        "log": join(root, "vtxsystem", "log", "vtxsetup.log"),
    }


def _sha1(path):
    digest = hashlib.sha1()
    with open(path, "rb") as handle:
        for block in iter(lambda: handle.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def stage_files(program, fwimage, remote):
    """What a host needs, read on the control node: the program and every
    file of the fwimage folder (catalogue and images), each with its SHA-1,
    the host's path for it and its permissions."""
    program = control_path(program)
    fwimage = control_path(fwimage)
    if not os.path.isfile(program):
        raise ValueError("kvtapefw_program: no file at %s" % program)
    if not os.path.isfile(os.path.join(fwimage, "firmware.cfg")):
        raise ValueError("kvtapefw_fwimage: no firmware.cfg in %s" % fwimage)
    files = [{"src": program, "dest": remote["program"], "mode": "0755", "checksum": _sha1(program)}]
    for name in sorted(os.listdir(fwimage)):
        path = os.path.join(fwimage, name)
        if os.path.isfile(path):
            files.append({"src": path, "dest": remote["fwimage"] + "/" + name, "mode": "0644",
                          "checksum": _sha1(path)})
    return files


def stale_files(wanted, found):
    """The files of `wanted` that the host lacks, holds with other content or
    with other permissions; `found` is what a find with checksums returned."""
    have = {item.get("path"): item for item in (found or [])}
    stale = []
    for item in wanted:
        there = have.get(item["dest"])
        if (there is None or there.get("checksum") != item["checksum"]
                or "%04o" % (int(there.get("mode", "0"), 8) & 0o7777) != item["mode"]):
            stale.append(item)
    return stale


def log_lines(data, start=0, end=None, encoded=False):
    """The setup-log lines between two byte offsets. The log is append-only
    across runs, so a run is judged by what it added after the size recorded
    before it started. `data` is base64 (as slurp returns it) when `encoded`,
    else text (as a lookup returns it)."""
    if data is None:
        return []
    raw = base64.b64decode(data) if encoded else str(data).encode("utf-8", "surrogateescape")
    start = int(start or 0)
    if start > len(raw):  # the log was replaced since: all of it is new
        start = 0
    chunk = raw[start:] if end is None else raw[start:int(end)]
    return [line for line in chunk.decode("latin-1").splitlines() if line.strip()]


def log_size(data):
    """Bytes in a base64 text as slurp returns it."""
    return len(base64.b64decode(data)) if data else 0


def _verification_lines(lines):
    """Drive lines written by the verification, leaving out the ones the flash
    step writes before each image (those are followed by "File name:")."""
    found = []
    for index, line in enumerate(lines):
        match = DRIVE_LINE.match(line)
        if not match:
            continue
        following = lines[index + 1] if index + 1 < len(lines) else ""
        if following.startswith("File name:"):
            continue
        found.append(match)
    return found


def drive_counts(lines):
    counts = {"upgraded": 0, "skipped": 0, "failed": 0}
    for match in _verification_lines(lines):
        action = match.group("action")
        if match.group("unplanned") or action == "skip":
            counts["skipped"] += 1
        elif action in FLASHING_ACTIONS:
            counts["upgraded"] += 1
        else:
            counts["failed"] += 1
    return counts


def _flashed_something(lines):
    """False only when the log shows drives and every one of them was left
    alone; without any drive line nothing proves the run changed nothing."""
    matches = [DRIVE_LINE.match(line) for line in lines]
    matches = [match for match in matches if match]
    if not matches:
        return True
    return any(match.group("action") not in (None, "skip") for match in matches)


def result_text(stdout_lines):
    for line in reversed(stdout_lines or []):
        if line.startswith(RESULT_PREFIX):
            return line[len(RESULT_PREFIX):].strip()
    return ""


def judge(rc, stdout_lines=None, lines=None, tail=8):
    """Maps one run of the program to changed / ok / failed:
    1 changed (ok when every drive line of this run says skip), 3 ok (no
    drive of the maker: nothing to do), 0 and anything else failed, the
    message then carrying the last lines of the setup log and console."""
    lines = list(lines or [])
    stdout_lines = [line for line in (stdout_lines or []) if str(line).strip()]
    try:
        code = int(rc)
    except (TypeError, ValueError):
        code = None
    result = result_text(stdout_lines)
    outcome = {"exit_code": code, "result": result, **drive_counts(lines)}
    if code == EXIT_SUCCESS:
        outcome["state"] = "changed" if _flashed_something(lines) else "ok"
    elif code == EXIT_NOTHING_TO_DO:
        outcome["state"] = "ok"
    else:
        outcome["state"] = "failed"
    if outcome["state"] == "failed":
        if code == EXIT_FAILURE and result:
            why = "kvtapefw failed: exit code 0, Result : %s" % result
        elif code == EXIT_FAILURE:
            why = "kvtapefw refused its command line or bus file: exit code 0, no result line"
        else:
            why = "kvtapefw ended with unexpected exit code %s" % rc
        outcome["message"] = ([why, "last setup-log lines of this run:"] + (lines[-tail:] or ["(none)"])
                              + ["last console lines:"] + (stdout_lines[-tail:] or ["(none)"]))
    else:
        outcome["message"] = ["kvtapefw exit code %s: %s (upgraded %d, skipped %d, failed %d)"
                              % (code, result or "no result line", outcome["upgraded"], outcome["skipped"],
                                 outcome["failed"])]
    return outcome


def _trim_version(text):
    text = (text or "").strip()
    if "." in text:
        text = text.rstrip("0").rstrip(".")
    return text


def plan_devices(document):
    """The drives a discovery document lists, one dict each."""
    text = str(document or "")
    if "<!DOCTYPE" in text or "<!ENTITY" in text:
        raise ValueError("discovery document carries a DTD or entity declaration; refused")
    root = ElementTree.fromstring(text)

    def value(node, name):
        leaf = node.find(name)
        return "" if leaf is None else leaf.get("value", "")

    devices = []
    for device in root.iter("device"):
        item = device.find("fw_item")
        item = item if item is not None else ElementTree.Element("fw_item")
        devices.append({
            "address": value(device, "busnumber"),
            "card": value(device, "devicenumber"),
            "lun": value(device, "funcnumber"),
            "drive_id": value(device, "device_id"),
            "product": value(device, "product_id"),
            "running": _trim_version(value(item, "active_version")),
            "catalogue": _trim_version(value(item, "version")),
            "action": value(item, "action"),
        })
    return devices


def plan_lines(host, devices):
    return ["%s  TAPE%s (card %s, lun %s)  %s  %s  running %s  catalogue %s  %s"
            % (host, d["address"], d["card"], d["lun"], d["drive_id"], d["product"], d["running"],
               d["catalogue"], d["action"]) for d in devices]


CSV_FIELDS = ["host", "os", "mode", "state", "exit_code", "result", "upgraded", "skipped", "failed", "finished"]


def rollout_csv(rows):
    out = io.StringIO()
    writer = csv.DictWriter(out, fieldnames=CSV_FIELDS, extrasaction="ignore", lineterminator="\n")
    writer.writeheader()
    for row in rows:
        writer.writerow({key: ("" if row.get(key) is None else row.get(key)) for key in CSV_FIELDS})
    return out.getvalue()


def report(hosts, results_dir, counts=None):
    """Rows of the rollout report in play order: one per host that has a
    result of the last upgrade run (upgrade.yml keeps one file per batch),
    its drive counts replaced by those read from the fetched setup log where
    there are any; and the hosts that did not run."""
    counts = counts or {}
    results = {}
    if os.path.isdir(str(results_dir)):
        for name in sorted(os.listdir(str(results_dir))):
            if name.endswith(".json"):
                with open(os.path.join(str(results_dir), name), encoding="utf-8") as handle:
                    for result in json.load(handle):
                        results[result["host"]] = result
    rows, not_run = [], []
    for host in hosts:
        if host not in results:
            not_run.append(host)
            continue
        row = dict(results[host])
        row.update(counts.get(host) or {})
        rows.append(row)
    return {"rows": rows, "not_run": not_run}


def report_result(results_dir, host):
    """One host's result of the last upgrade run, or an empty dict."""
    return next((row for row in report([host], results_dir)["rows"]), {})


class FilterModule:
    def filters(self):
        return {
            "kvtapefw_control_path": control_path,
            "kvtapefw_remote_paths": remote_paths,
            "kvtapefw_stage_files": stage_files,
            "kvtapefw_stale_files": stale_files,
            "kvtapefw_log_lines": log_lines,
            "kvtapefw_log_size": log_size,
            "kvtapefw_judge": judge,
            "kvtapefw_drive_counts": drive_counts,
            "kvtapefw_plan_devices": plan_devices,
            "kvtapefw_plan_lines": plan_lines,
            "kvtapefw_rollout_csv": rollout_csv,
            "kvtapefw_report": report,
            "kvtapefw_report_result": report_result,
        }
