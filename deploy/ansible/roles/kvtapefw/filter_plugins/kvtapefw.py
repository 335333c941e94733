# Reading what kvtapefw leaves behind (exit code, run report, discovery
# document) and turning it into the outcome a deployment engine understands.
# Kept in Python rather than Jinja so that the rules live in one place and can
# be exercised without a host (scripts/ansible-test.sh does).

import csv
import hashlib
import io
import json
import os
import re
import xml.etree.ElementTree as ElementTree
from xml.sax.saxutils import escape

try:
    from ansible.utils.unsafe_proxy import wrap_var as _unsafe
except ImportError:  # read without Ansible, as the test's rule checks do
    def _unsafe(value):
        return value

EXIT_SUCCESS = 1
EXIT_FAILURE = 0
EXIT_NOTHING_TO_DO = 3

FLASHING_ACTIONS = ("upgrade", "downgrade", "rewrite")


def control_path(path):
    """A control-node path: relative ones are taken from the folder
    ansible-playbook was started in, as the program itself treats its
    arguments."""
    return os.path.abspath(os.path.expanduser(str(path)))


def _strip_separators(path):
    text = str(path or "")
    stripped = text.rstrip("\\/")
    return stripped if stripped or not text else text[0]


def remote_paths(directory, windows, log_root="", program=""):
    """Where things are on a host. The program reads fwimage/ from its
    current folder, so the working folder holds everything; the setup log is
    %systemdrive%\\vtxsystem\\log\\vtxsetup.log. On Windows the root stays
    %SystemDrive% unless one is given: the modules that create the log's
    folder expand it there, so the role never needs the host's environment.
    A POSIX host has no system drive: its log goes under the working folder
    unless a root is given."""
    sep = "\\" if windows else "/"
    home = _strip_separators(directory)
    if not home:
        raise ValueError("kvtapefw_dir is empty")
    root = _strip_separators(log_root) or ("%SystemDrive%" if windows else home)
    name = re.split(r"[\\/]", str(program or ""))[-1] or ("kvtapefw.exe" if windows else "kvtapefw")

    def join(*parts):
        return sep.join([parts[0].rstrip(sep)] + list(parts[1:]))

    return {
        "dir": home,
        "program": join(home, name),
        "fwimage": join(home, "fwimage"),
        "discovery": join(home, "discovery.xml"),
        "selection": join(home, "selection.xml"),
        # KVFW_REPORT: the program writes it whole or not at all.
        "report": join(home, "run-report.json"),
        "log_root": root,
        "log_dir": join(root, "vtxsystem", "log"),
        "log": join(root, "vtxsystem", "log", "vtxsetup.log"),
    }


def _file_digest(path, algorithm):
    digest = hashlib.new(algorithm)
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
    files = [{"src": program, "dest": remote["program"], "mode": "0755", "checksum": _file_digest(program, "sha1")}]
    for name in sorted(os.listdir(fwimage)):
        path = os.path.join(fwimage, name)
        if os.path.isfile(path):
            files.append({"src": path, "dest": remote["fwimage"] + "/" + name, "mode": "0644",
                          "checksum": _file_digest(path, "sha1")})
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


def load_report(text):
    """A run report as the program wrote it (JSON text, as a file lookup
    returns it), or None when there is none or it is not a whole report: the
    program writes the file whole or not at all, so anything else is not a
    report of this run."""
    if isinstance(text, dict):
        return text
    if not text or not str(text).strip():
        return None
    try:
        document = json.loads(str(text))
    except ValueError:
        return None
    if not isinstance(document, dict) or document.get("format") != 1 or not isinstance(document.get("devices"), list):
        return None
    return document


def _exit_code(rc):
    try:
        return int(rc)
    except (TypeError, ValueError):
        return None


def device_line(device):
    """One drive of a report as a person reads it."""
    before, after = device.get("firmware_before"), device.get("firmware_after")
    versions = (before or after or "?") if after in (None, before) or before is None else "%s -> %s" % (before, after)
    line = "TAPE%s (card %s, lun %s) %s %s %s: %s" % (
        device.get("device"), device.get("card"), device.get("lun"), device.get("product") or "?",
        device.get("drive_id") or "?", versions, device.get("verdict"))
    if device.get("flashed"):
        line += ", image sent"
    if device.get("reason"):
        line += ": %s" % device["reason"]
    if failure_text(device):
        line += ": %s" % failure_text(device)
    return line


def failure_text(device):
    """The words of the command a download failed on, as the setup log gives
    them (command, status, sense key, ASC/ASCQ and their meaning), or "".
    Pieced together from the fields when the report carries no text."""
    failure = (device.get("download") or {}).get("failure") or {}
    if not failure:
        return ""
    if failure.get("text"):
        return str(failure["text"])
    parts = [failure.get("status") or "no SCSI status (the call itself failed)"]
    if failure.get("sense_key"):
        parts.append(str(failure["sense_key"]))
    if failure.get("asc") is not None:
        parts.append("ASC/ASCQ %s/%s" % (failure.get("asc"), failure.get("ascq")))
    return "%s: %s" % (failure.get("command") or "command", ", ".join(parts))


UNEXAMINED = "it could not be examined"
LACK_OF_RIGHTS = "lack of rights"


def judge(report, rc=None, console=None, stopped="", tail=8, began=None, setup_log=None, mode=None):
    """Maps one run of the program to the outcome the engine shows, from the
    run report it left: exit code 1 is ok, 3 (no drive of the maker) is ok,
    anything else failed, and so is a run that was `stopped` at the time
    limit or left no whole report of its own. A run that sent image data to
    any drive changed the host, also when it failed.

    The program rewrites its report as it goes (finished null until it
    ends), so a report whose `started` is before `began` (the host's clock
    when the job was started) belongs to an earlier run, and an unfinished
    one tells only what was sent up to the moment the run was cut. With no
    report of this run, or an unfinished one that names a drive sent image
    data, what reached the drives is unknown: failed and changed, pointing
    at the setup log. An unfinished report that names no such drive shows
    that nothing was sent. `mode` "discover": the run sends no image; a
    device it could not examine fails it, as the plan may then miss a
    drive."""
    discovery = mode == "discover"
    document = load_report(report)
    stale = None
    if document is not None and began and (document.get("started") or "") < str(began):
        stale, document = document, None
    unfinished = document is not None and not document.get("finished")
    console = [str(line) for line in (console or []) if str(line).strip()]
    code = _exit_code(rc)
    if code is None and document is not None:
        code = document.get("exit_code")
    devices = document["devices"] if document else []
    flashed = [device for device in devices if device.get("flashed")]
    failed = [device for device in devices if device.get("verdict") == "failed"]
    unexamined = [device for device in devices
                  if discovery and str(device.get("reason") or "").startswith(UNEXAMINED)]
    upgraded = [device for device in flashed if device.get("verdict") == "success"]
    unknown = not discovery and (document is None or (unfinished and bool(flashed)))
    result = (document or {}).get("result") or ""
    outcome = {"exit_code": code, "result": result, "changed": bool(flashed) or unknown, "flashed": len(flashed),
               "upgraded": len(upgraded), "failed": len(failed),
               "skipped": len(devices) - len(upgraded) - len(failed),
               "finished": (document or {}).get("finished"),
               "catalogue_sha256": ((document or {}).get("catalogue") or {}).get("sha256"),
               "setup_log": (document or {}).get("setup_log")}
    if stopped:
        why = "kvtapefw was %s" % stopped
    elif stale is not None:
        why = ("kvtapefw left no run report of this run (exit code %s): the one there started %s, before the job"
               " began at %s" % (rc if code is None else code, stale.get("started"), began))
    elif document is None:
        why = "kvtapefw left no run report (exit code %s)" % (rc if code is None else code)
    elif unfinished:
        why = "kvtapefw did not end its run (exit code %s): its run report is unfinished" % code
    elif code == EXIT_SUCCESS or code == EXIT_NOTHING_TO_DO:
        why = None
    elif code == EXIT_FAILURE:
        why = "kvtapefw failed: exit code 0, Result : %s" % (result or "(none)")
    else:
        why = "kvtapefw ended with unexpected exit code %s" % code
    if why is None and unexamined:
        why = "kvtapefw could not examine %d device(s), so a plan may miss a drive" % len(unexamined)
    outcome["state"] = "failed" if why else ("changed" if flashed else "ok")
    lines = [device_line(device) for device in devices]
    if why:
        reasons = ["TAPE%s: %s" % (device.get("device"), ": ".join(
            text for text in (device.get("reason"), failure_text(device)) if text)) for device in failed + unexamined]
        if any(LACK_OF_RIGHTS in str(device.get("reason")) for device in unexamined):
            reasons.append("opening a device was refused for lack of rights: run with become"
                           " (--become, or become: true for the host)")
        if unknown:
            reasons.append("what was sent is unknown; see the setup log %s"
                           % (setup_log or outcome["setup_log"] or "on the host"))
        elif unfinished and not discovery:
            reasons.append("nothing was sent: the report names no drive that was sent image data")
        outcome["note"] = "; ".join([why] + reasons)
        outcome["message"] = [why] + reasons[len(failed + unexamined):] + lines + ["last console lines:"] \
            + (console[-tail:] or ["(none)"])
    else:
        outcome["note"] = ""
        outcome["message"] = ["kvtapefw exit code %s: %s (upgraded %d, skipped %d, failed %d)"
                              % (code, result or "no result line", len(upgraded), outcome["skipped"],
                                 len(failed))] + lines
    return outcome


def catalogue_sha256(fwimage):
    """The SHA-256 of firmware.cfg in a control-node fwimage folder, or None
    when there is none."""
    path = os.path.join(control_path(fwimage), "firmware.cfg")
    return _file_digest(path, "sha256") if os.path.isfile(path) else None


def read_files(paths):
    """The text of each control-node file of `paths` that exists."""
    texts = []
    for path in paths or []:
        path = control_path(path)
        if os.path.isfile(path):
            with open(path, encoding="utf-8", errors="replace") as handle:
                texts.append(handle.read())
    return texts


def catalogue_refusal(discovered, current_sha256):
    """Why a plan may not be used with the catalogue as it is now, or "".
    The plan was made against the catalogue its discovery read; a catalogue
    changed since may name other versions or images than the ones reviewed.
    A discovery that read no catalogue (no drive of the maker) binds none."""
    document = load_report(discovered)
    if document is None:
        return "the plan has no discovery report beside it: discover again"
    catalogue = document.get("catalogue")
    if not catalogue or not catalogue.get("sha256"):
        return ""
    if catalogue["sha256"] != current_sha256:
        return ("the catalogue changed since the plan was made (sha256 %s then, %s now): discover again"
                % (catalogue["sha256"], current_sha256 or "no firmware.cfg"))
    return ""


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
            "serial": value(device, "serial"),
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


def _drive_key(device):
    """What makes a drive the one a person reviewed: where it is, what it is,
    its serial number (an identical drive can take its device number) and
    the firmware it ran. Any of these changed, the review no longer speaks
    for it."""
    return tuple(device.get(name) for name in ("card", "address", "lun", "serial", "drive_id", "product", "running"))


def _drive_words(device):
    return "TAPE%s (card %s, lun %s) %s %s running %s" % (
        device["address"], device["card"], device["lun"], device["drive_id"], device["product"], device["running"])


def carry_plan(discovered, plan="", previous=""):
    """A new discovery's plan that keeps a person's review. `discovered` is
    the document the program just wrote, `plan` the plan as it stands (maybe
    edited), `previous` the document the earlier discovery wrote, kept beside
    the plan: an action of `plan` that differs from `previous` for the same
    drive was chosen by a person. Each such action is set on the drive of
    `discovered` with the same card, address, lun, drive ID, product and
    firmware; a reviewed drive not found so needs a new review. The new plan
    again differs from `discovered` where an action was carried, so carried
    actions stay reviewed in later discoveries.

    Returns the new plan's text ("" without `discovered`), whether `plan`
    holds a review (it differs from `previous`, or nothing tells what the
    program wrote), and lines for people: what was carried, which reviewed
    drives changed."""
    plan = str(plan or "")
    previous = str(previous or "")
    text = str(discovered or "")
    reviewed = bool(plan.strip()) and plan.strip() != previous.strip()
    chosen, lines, changed = {}, [], []
    if reviewed and not previous.strip():
        changed.append("the plan has no record of what discover wrote beside it, so no action of it can be told"
                       " from a review: none carried; review the new plan")
    elif reviewed:
        wrote = {_drive_key(device): device["action"] for device in plan_devices(previous)}
        for device in plan_devices(plan):
            if wrote.get(_drive_key(device)) != device["action"]:
                chosen[_drive_key(device)] = device
    if text.strip():
        devices = plan_devices(text)
        blocks = list(re.finditer(r"<device\b.*?</device>", text, re.S))
        if len(blocks) != len(devices):
            raise ValueError("discovery document: %d device elements, %d read" % (len(blocks), len(devices)))
        pieces, at = [], 0
        for device, block in zip(devices, blocks):
            review = chosen.pop(_drive_key(device), None)
            if review is None:
                continue
            edited, count = re.subn(r'(<action\s+value=")[^"]*(")',
                                    lambda m: m.group(1) + escape(review["action"], {'"': "&quot;"}) + m.group(2),
                                    block.group(0), count=1)
            if not count:
                raise ValueError("discovery document: no action for %s" % _drive_words(device))
            pieces += [text[at:block.start()], edited]
            at = block.end()
            lines.append("carried %s for %s from the reviewed plan (discover said %s)"
                         % (review["action"], _drive_words(device), device["action"]))
        text = "".join(pieces) + text[at:]
    for device in chosen.values():
        changed.append("reviewed %s (%s) is not found as it was: review the new plan"
                       % (_drive_words(device), device["action"]))
    # The plan is the drives' own words: a product name that reads like a
    # template must reach the file as it is.
    return {"plan": _unsafe(text), "reviewed": reviewed, "carried": lines, "changed": changed}


def would_send(devices, reports):
    """What upgrading from a plan would send, for a check run: each planned
    drive with its catalogue version, set against the version the latest of
    the host's run reports saw on it. The program sends nothing to a drive
    already at its target, nor to one the plan skips. `devices` is None in
    upgrade-all mode: the program then picks the drives, and the latest
    report's targets tell which."""
    known = [document for document in (load_report(text) for text in (reports or [])) if document]
    latest = max(known, key=lambda document: document.get("finished") or "") if known else None
    seen = {}
    for device in (latest or {}).get("devices", []):
        seen[(device.get("card"), device.get("device"), device.get("lun"))] = device
    if devices is None:
        devices = [{"address": d.get("device"), "card": d.get("card"), "lun": d.get("lun"),
                    "product": d.get("product"), "drive_id": d.get("drive_id"),
                    "running": _trim_version(d.get("firmware_before")),
                    "catalogue": _trim_version(d.get("target_version")),
                    "action": "upgrade" if d.get("target_version") else "skip"} for d in seen.values()]
    lines = []
    for plan in devices:
        key = tuple(_exit_code(plan.get(name)) for name in ("card", "address", "lun"))
        last = seen.get(key) or {}
        now = _trim_version(last.get("firmware_after") or last.get("firmware_before") or plan.get("running"))
        where = "TAPE%s (card %s, lun %s) %s" % (plan.get("address"), plan.get("card"), plan.get("lun"),
                                                 plan.get("product"))
        action = plan.get("action")
        if action not in FLASHING_ACTIONS:
            lines.append("%s: %s, nothing sent" % (where, action or "not planned"))
        elif action != "rewrite" and now == plan.get("catalogue"):
            lines.append("%s: already at %s, nothing sent" % (where, now))
        else:
            lines.append("%s: would send %s (%s) over %s" % (where, plan.get("catalogue"), action, now or "?"))
    source = ("latest run report: %s of %s" % (latest.get("mode"), latest.get("finished"))
              if latest else "no run report yet")
    return lines + ["(" + source + ")"]


# The first ten columns are the ones readers of earlier reports rely on;
# later ones are only ever added after them.
CSV_FIELDS = ["host", "os", "mode", "state", "exit_code", "result", "upgraded", "skipped", "failed", "finished",
              "flashed", "catalogue_sha256", "report", "note"]


def rollout_csv(rows):
    out = io.StringIO()
    writer = csv.DictWriter(out, fieldnames=CSV_FIELDS, extrasaction="ignore", lineterminator="\n")
    writer.writeheader()
    for row in rows:
        writer.writerow({key: ("" if row.get(key) is None else row.get(key)) for key in CSV_FIELDS})
    return out.getvalue()


def report(hosts, results_dir):
    """Rows of the rollout report in play order: one per host that has a
    result of the last upgrade run (upgrade.yml keeps one file per batch,
    unreachable hosts included); and the hosts that did not run."""
    results = {}
    if os.path.isdir(str(results_dir)):
        for name in sorted(os.listdir(str(results_dir))):
            if name.endswith(".json"):
                with open(os.path.join(str(results_dir), name), encoding="utf-8") as handle:
                    for result in json.load(handle):
                        results[result["host"]] = result
    rows = [results[host] for host in hosts if host in results]
    return {"rows": rows, "not_run": [host for host in hosts if host not in results]}


class FilterModule:
    def filters(self):
        return {
            "kvtapefw_control_path": control_path,
            "kvtapefw_remote_paths": remote_paths,
            "kvtapefw_stage_files": stage_files,
            "kvtapefw_stale_files": stale_files,
            "kvtapefw_load_report": load_report,
            "kvtapefw_judge": judge,
            "kvtapefw_catalogue_sha256": catalogue_sha256,
            "kvtapefw_read_files": read_files,
            "kvtapefw_catalogue_refusal": catalogue_refusal,
            "kvtapefw_plan_devices": plan_devices,
            "kvtapefw_plan_lines": plan_lines,
            "kvtapefw_carry_plan": carry_plan,
            "kvtapefw_would_send": would_send,
            "kvtapefw_rollout_csv": rollout_csv,
            "kvtapefw_report": report,
        }
