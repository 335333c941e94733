# Reading what kvtapefw leaves behind (exit code, run report, discovery
# document) and turning it into the outcome a deployment engine understands.
# Kept in Python rather than Jinja so that the rules live in one place and can
# be exercised without a host (scripts/ansible-test.sh does).

import csv
import decimal
import hashlib
import html
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


PACKAGE_PROGRAM = "/usr/sbin/kvtapefw"
# Where the package's program writes its setup log when systemdrive is
# unset; the package ships the log's folder there.
PACKAGE_LOG_ROOT = "/var/lib/kvtapefw"


def remote_paths(directory, windows, log_root="", program="", package=""):
    """Where things are on a host. The program reads fwimage/ from its
    current folder, so the working folder holds everything; the setup log is
    %systemdrive%\\vtxsystem\\log\\vtxsetup.log. On Windows the root stays
    %SystemDrive% unless one is given: the modules that create the log's
    folder expand it there, so the role never needs the host's environment.
    A POSIX host has no system drive: its log goes under the working folder
    unless a root is given. With a Debian `package` the program is the one
    it installs, and the log goes where the installed program keeps it."""
    sep = "\\" if windows else "/"
    home = _strip_separators(directory)
    if not home:
        raise ValueError("kvtapefw_dir is empty")
    installed = bool(str(package or "").strip()) and not windows
    default_root = "%SystemDrive%" if windows else (PACKAGE_LOG_ROOT if installed else home)
    root = _strip_separators(log_root) or default_root
    name = re.split(r"[\\/]", str(program or ""))[-1] or ("kvtapefw.exe" if windows else "kvtapefw")

    def join(*parts):
        return sep.join([parts[0].rstrip(sep)] + list(parts[1:]))

    paths = {
        "dir": home,
        "program": PACKAGE_PROGRAM if installed else join(home, name),
        "fwimage": join(home, "fwimage"),
        "discovery": join(home, "discovery.xml"),
        "selection": join(home, "selection.xml"),
        # KVFW_REPORT: the program writes it whole or not at all.
        "report": join(home, "run-report.json"),
        "log_root": root,
        "log_dir": join(root, "vtxsystem", "log"),
        "log": join(root, "vtxsystem", "log", "vtxsetup.log"),
    }
    if installed:
        paths["package"] = join(home, os.path.basename(str(package).rstrip("/")))
    return paths


def _file_digest(path, algorithm):
    digest = hashlib.new(algorithm)
    with open(path, "rb") as handle:
        for block in iter(lambda: handle.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def stage_files(program, fwimage, remote, package=""):
    """What a host needs, read on the control node: the program (or the
    Debian package that installs it) and every file of the fwimage folder
    (catalogue and images), each with its SHA-1, the host's path for it and
    its permissions."""
    fwimage = control_path(fwimage)
    if str(package or "").strip():
        source, mode, what = control_path(package), "0644", "kvtapefw_package"
        if not source.endswith(".deb"):
            raise ValueError("kvtapefw_package: %s is not a Debian package (.deb)" % source)
        dest = remote["package"]
    else:
        source, mode, what = control_path(program), "0755", "kvtapefw_program"
        dest = remote["program"]
    if not os.path.isfile(source):
        raise ValueError("%s: no file at %s" % (what, source))
    if not os.path.isfile(os.path.join(fwimage, "firmware.cfg")):
        raise ValueError("kvtapefw_fwimage: no firmware.cfg in %s" % fwimage)
    files = [{"src": source, "dest": dest, "mode": mode, "checksum": _file_digest(source, "sha1")}]
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


def signature_sha256(fwimage):
    """The SHA-256 of firmware.cfg.sig in a control-node fwimage folder, or
    "none" when there is none: with the catalogue's own digest, the
    fingerprint of what a plan was made against."""
    path = os.path.join(control_path(fwimage), "firmware.cfg.sig")
    return _file_digest(path, "sha256") if os.path.isfile(path) else "none"


def signed_catalogue(fwimage):
    """Whether a control-node fwimage folder holds a catalogue signature."""
    return os.path.isfile(os.path.join(control_path(fwimage), "firmware.cfg.sig"))


def trusted_key_files(keys):
    """The control-node key files to install on a host, each checked to be a
    file named *.pem: the program reads no other name, so a key under
    another name would silently not guard anything."""
    files = []
    for key in keys or []:
        path = control_path(key)
        if not path.lower().endswith(".pem"):
            raise ValueError("kvtapefw_trusted_keys: %s is not named *.pem; the program would not read it" % path)
        if not os.path.isfile(path):
            raise ValueError("kvtapefw_trusted_keys: no file at %s" % path)
        files.append({"src": path, "name": os.path.basename(path)})
    return files


def catalogue_refusal(discovered, current_sha256, signature_then=None, signature_now=None):
    """Why a plan may not be used with the catalogue as it is now, or "".
    The plan was made against the catalogue its discovery read; a catalogue
    changed since may name other versions or images than the ones reviewed,
    and one signed anew (or no longer signed) is not the catalogue that was
    vouched for. A discovery that read no catalogue (no drive of the maker)
    binds none. `signature_then` is what the discovery recorded of the
    signature file (a plan made before that was recorded counts as
    unsigned), `signature_now` the folder's today."""
    document = load_report(discovered)
    if document is None:
        return "the plan has no discovery report beside it: discover again"
    catalogue = document.get("catalogue")
    if not catalogue or not catalogue.get("sha256"):
        return ""
    if catalogue["sha256"] != current_sha256:
        return ("the catalogue changed since the plan was made (sha256 %s then, %s now): discover again"
                % (catalogue["sha256"], current_sha256 or "no firmware.cfg"))
    then = str(signature_then or "none").strip() or "none"
    now = str(signature_now or "none").strip() or "none"
    if signature_now is not None and then != now:
        return ("the catalogue's signature changed since the plan was made (firmware.cfg.sig sha256 %s then, %s now):"
                " discover again" % (then, now))
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


def _csv_text(rows, fields):
    """The rows as CSV with a header of `fields`; a missing or null value is
    an empty cell."""
    out = io.StringIO()
    writer = csv.DictWriter(out, fieldnames=fields, extrasaction="ignore", lineterminator="\n")
    writer.writeheader()
    for row in rows:
        writer.writerow({key: ("" if row.get(key) is None else row.get(key)) for key in fields})
    return out.getvalue()


def rollout_csv(rows):
    return _csv_text(rows, CSV_FIELDS)


SAFE_HOST = re.compile(r"^[A-Za-z0-9_][A-Za-z0-9_.-]*$")


def _known_hosts(hosts, *found):
    """The hosts given (inventory order), then any other host whose files
    the control node holds, by name: a host run once from another
    inventory, or left out of this one, keeps its place in the reports.
    Names that are not safe file names are never read from disk."""
    known = [str(host) for host in (hosts or []) if SAFE_HOST.match(str(host))]
    extra = sorted({host for names in found for host in names if SAFE_HOST.match(host)} - set(known))
    return known + extra


def _read_json(path):
    try:
        with open(path, encoding="utf-8") as handle:
            return json.load(handle)
    except (OSError, ValueError):
        return None


def host_results(results_dir):
    """The latest upgrade outcome of each host, as upgrade.yml keeps it in
    <reports>/hosts/: <host>.json, and batch-*.json as earlier versions of
    the role wrote them (a list of outcomes each). A host's own file wins."""
    results = {}
    folder = str(results_dir)
    if not os.path.isdir(folder):
        return results
    names = sorted(os.listdir(folder), key=lambda name: (not name.startswith("batch-"), name))
    for name in names:
        if not name.endswith(".json"):
            continue
        content = _read_json(os.path.join(folder, name))
        for result in content if isinstance(content, list) else [content]:
            if isinstance(result, dict) and result.get("host"):
                results[str(result["host"])] = result
    return results


def report(hosts, results_dir):
    """Rows of the rollout report: one per host with an upgrade outcome, in
    the order of `hosts` (the inventory), then the other hosts that have one.
    A run with --limit replaces only its own hosts' outcomes, so the others
    keep their rows; a host of the inventory without any is listed as not
    run (the rollout stopped before it, or no upgrade ran there yet)."""
    results = host_results(results_dir)
    order = _known_hosts(hosts, results)
    rows = [results[host] for host in order if host in results]
    return {"rows": rows, "not_run": [host for host in order if host not in results]}


RUN_MODES = ("discover", "upgrade-from-document", "upgrade-all")
# One report play replaces these, an upgrade or discover run these of each
# of its hosts: each run keeps a copy under history/<UTC time>/ first.
HISTORY_FILES = {
    "report": ["rollout.csv", "rollout.md", "drives.csv", "rollout.html"],
    "discover": ["runs/{host}-discover.json", "runs/{host}-discover.xml", "logs/{host}.vtxsetup.log"],
    "upgrade": ["runs/{host}-upgrade-from-document.json", "runs/{host}-upgrade-all.json",
                "logs/{host}.vtxsetup.log", "hosts/{host}.json"],
}


def history_files(reports_dir, kind, hosts=()):
    """The files under `reports_dir` (relative paths) that a run of `kind`
    (report, discover, upgrade) on `hosts` is about to replace."""
    base = control_path(reports_dir)
    names = []
    for pattern in HISTORY_FILES[kind]:
        for host in ([h for h in hosts or [] if SAFE_HOST.match(str(h))] if "{host}" in pattern else [None]):
            name = pattern.format(host=host)
            if os.path.isfile(os.path.join(base, name)) and name not in names:
                names.append(name)
    if kind == "upgrade" and os.path.isdir(os.path.join(base, "hosts")):
        # The one-file-per-batch outcomes of earlier versions of the role.
        names += ["hosts/" + name for name in sorted(os.listdir(os.path.join(base, "hosts")))
                  if name.startswith("batch-") and name.endswith(".json")]
    return names


_VERSION = re.compile(r"\s*([+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+))")


def version_number(text):
    """A firmware version as the program compares it: the decimal number
    its text begins with, leading spaces skipped, so "2.1" and "2.10" are
    the same version and "2.05" is older; None without a number."""
    match = _VERSION.match(str(text)) if text is not None else None
    return decimal.Decimal(match.group(1)) if match else None


def behind(device):
    """yes when the drive runs an older version than the catalogue's for it
    (the version read after the run, or before it when it was not read
    after), no when not or when the catalogue has none for it, "" when the
    drive's version is unknown."""
    target = version_number(device.get("target_version"))
    after = device.get("firmware_after")
    running = version_number(after if after is not None else device.get("firmware_before"))
    if running is None:
        return ""
    if target is None:
        return "no"
    return "yes" if running < target else "no"


def _windows_report(document):
    log = str(document.get("setup_log") or "")
    return bool(re.match(r"^([A-Za-z]:|%[^%]+%)?\\", log) or re.match(r"^[A-Za-z]:", log))


def device_node(number, windows):
    """The name a person finds the drive under on its host."""
    return ("\\\\.\\Tape%s" if windows else "/dev/nst%s") % number


DRIVE_FIELDS = ["host", "device", "serial", "vendor", "product", "firmware_before", "target_version",
                "firmware_after", "verdict", "reason", "behind", "mode", "finished"]
# Verdicts of a host as a whole, for a row without a device.
HOST_VERDICTS = ("unreachable", "no-drive", "no-report")


def _runs(runs_dir, host):
    """The host's whole run reports on the control node, latest first: by
    the time each started (the host's clock), then by when it was fetched."""
    found = []
    for mode in RUN_MODES:
        path = os.path.join(runs_dir, "%s-%s.json" % (host, mode))
        if not os.path.isfile(path):
            continue
        with open(path, encoding="utf-8", errors="replace") as handle:
            document = load_report(handle.read())
        if document is not None:
            found.append(((str(document.get("started") or ""), os.path.getmtime(path)), document, path))
    found.sort(key=lambda item: item[0], reverse=True)
    return [(document, path) for _, document, path in found]


def _drives_of(runs):
    """The drives to show from a host's reports, latest first, each with the
    report it comes from: those of the latest; when that run did not end,
    its report may not name every drive yet, and the others are shown as
    the latest finished report saw them."""
    if not runs:
        return []
    latest = runs[0][0]
    drives = [(device, latest) for device in latest.get("devices") or []]
    if not latest.get("finished"):
        finished = next((document for document, _ in runs[1:] if document.get("finished")), None)
        named = {(device.get("serial") or None, device.get("device")) for device, _ in drives}
        serials = {serial for serial, _ in named if serial}
        for device in (finished or {}).get("devices") or []:
            if device.get("serial") in serials or (None, device.get("device")) in named:
                continue
            drives.append((device, finished))
    return sorted(drives, key=lambda item: _exit_code(item[0].get("device")) or 0)


def fleet(hosts, reports_dir, plans_dir):
    """Every drive of every host known to the rollout (`hosts`, the
    inventory, and any other with files under `reports_dir`), one row each
    from the host's latest run report, with DRIVE_FIELDS and `group`:
    failed (the drive failed, could not be examined, or its host failed
    or could not be reached since), behind (older than the catalogue) or
    rest. A host that the rows of its drives would not show as it stands
    gets a row without a device: its last upgrade or discovery failed after
    the report was written, it has no drive of the maker, or no run report
    yet."""
    runs = os.path.join(control_path(reports_dir), "runs")
    plans = control_path(plans_dir)
    results = host_results(os.path.join(control_path(reports_dir), "hosts"))
    found = set()
    if os.path.isdir(runs):
        for name in os.listdir(runs):
            for mode in RUN_MODES:
                if name.endswith("-%s.json" % mode):
                    found.add(name[:-len(mode) - 6])
    rows = []
    for host in _known_hosts(hosts, results, found):
        reports = _runs(runs, host)
        document, path = reports[0] if reports else (None, None)
        devices = (document or {}).get("devices") or []
        windows = _windows_report(document or {})
        for device, source in _drives_of(reports):
            reason = ": ".join(str(text) for text in (device.get("reason"), failure_text(device)) if text)
            row = {"host": host, "device": device_node(device.get("device"), windows),
                   "number": device.get("device"), "serial": device.get("serial") or "",
                   "vendor": device.get("vendor") or "", "product": device.get("product") or "",
                   "firmware_before": device.get("firmware_before") or "",
                   "target_version": device.get("target_version") or "",
                   "firmware_after": device.get("firmware_after") or "", "verdict": device.get("verdict") or "",
                   "reason": reason, "behind": behind(device), "mode": source.get("mode") or "",
                   "finished": source.get("finished") or ""}
            rows.append(row)
        issues = []
        marker = os.path.join(plans, host + ".discover-failed")
        if os.path.isfile(marker):
            with open(marker, encoding="utf-8", errors="replace") as handle:
                issues.append(("failed", "discover failed: " + handle.read().strip()))
        outcome = results.get(host)
        if outcome and outcome.get("state") in ("failed", "unreachable") and document is not None:
            same_run = os.path.basename(str(outcome.get("report") or "")) == os.path.basename(path)
            newer = str(outcome.get("finished") or "") >= str(document.get("started") or "")
            told = same_run and any(device.get("verdict") == "failed" for device in devices)
            if (same_run or newer) and not told:
                issues.append((outcome["state"], str(outcome.get("note") or outcome["state"])))
        elif outcome and outcome.get("state") in ("failed", "unreachable"):
            issues.append((outcome["state"], str(outcome.get("note") or outcome["state"])))
        if document is None and not issues:
            issues.append(("no-report", "no run report yet: run discover.yml"))
        elif document is not None and not devices and not issues:
            issues.append(("no-drive" if document.get("exit_code") == EXIT_NOTHING_TO_DO else "no-report",
                           "no tape drive of the maker: %s" % (document.get("result") or "no result")
                           if document.get("exit_code") == EXIT_NOTHING_TO_DO
                           else "the run report names no drive (%s)" % (document.get("result") or "unfinished")))
        if issues:
            rows.append({"host": host, "device": "", "number": -1, "serial": "", "vendor": "", "product": "",
                         "firmware_before": "", "target_version": "", "firmware_after": "",
                         "verdict": issues[0][0], "reason": "; ".join(text for _, text in issues), "behind": "",
                         "mode": (document or {}).get("mode") or "", "finished": (document or {}).get("finished") or ""})
    for row in rows:
        row["group"] = ("failed" if row["verdict"] in ("failed", "unreachable") or row["reason"].startswith(UNEXAMINED)
                        else "behind" if row["behind"] == "yes" else "rest")
    order = {"failed": 0, "behind": 1, "rest": 2}
    rows.sort(key=lambda row: (order[row["group"]], row["host"], _exit_code(row["number"]) or 0))
    return _unsafe(rows)


def drives_csv(rows):
    return _unsafe(_csv_text(rows, DRIVE_FIELDS))


GROUP_TITLES = (("failed", "Failed, unreachable or not examined"), ("behind", "Behind the catalogue"),
                ("rest", "The rest"))
# Colours that tell the verdicts apart at a glance, each with its word
# beside it for those who do not see the colour (or print in grey).
PAGE_STYLE = """
body { font-family: system-ui, "Segoe UI", "DejaVu Sans", sans-serif; margin: 1.5em; color: #1f2328; }
h1 { font-size: 1.5em; margin-bottom: 0.2em; }
h2 { font-size: 1.2em; margin-top: 1.6em; border-bottom: 2px solid #d0d7de; }
h2.failed { border-color: #cf222e; } h2.behind { border-color: #bf8700; }
p.when { color: #57606a; margin-top: 0; }
table { border-collapse: collapse; margin: 0.5em 0; }
th, td { border: 1px solid #d0d7de; padding: 0.25em 0.5em; text-align: left; vertical-align: top; }
th { background: #f6f8fa; }
tbody tr:nth-child(even) { background: #fafbfc; }
table.drives { font-size: 0.9em; }
td.c-serial, td.c-device, td.c-version { font-family: "DejaVu Sans Mono", Consolas, monospace; white-space: nowrap; }
td.c-host, td.c-product, td.c-finished { white-space: nowrap; }
td.c-reason { min-width: 12em; max-width: 28em; }
td.c-behind, td.c-mode, td.c-finished { color: #57606a; }
.verdict { display: inline-block; padding: 0.05em 0.5em; border-radius: 0.8em; font-weight: bold;
           font-size: 0.85em; text-transform: uppercase; white-space: nowrap; color: #fff; background: #6e7781; }
.v-success { background: #1a7f37; } .v-failed { background: #cf222e; } .v-unreachable { background: #8250df; }
.v-planned { background: #0969da; } .v-not-planned, .v-left-untouched { background: #6e7781; }
.v-no-drive, .v-no-report { background: #afb8c1; color: #1f2328; }
.behind-yes { display: inline-block; padding: 0.05em 0.5em; border-radius: 0.8em; font-weight: bold;
              font-size: 0.85em; background: #bf8700; color: #fff; }
tr.failed td:first-child { border-left: 4px solid #cf222e; } tr.behind td:first-child { border-left: 4px solid #bf8700; }
table.counts td.number { text-align: right; font-weight: bold; font-size: 1.2em; }
nav a { margin-right: 0.6em; }
"""


def rollout_html(rows, written=""):
    """reports/rollout.html: one self-contained page (its style inline; no
    script, and no link but to its own anchors), counts per verdict and of
    drives behind the catalogue first, then the failed drives, those
    behind, and the rest, one row each; an index of hosts links to each
    host's rows in each group. Every text from a report is escaped."""
    esc = lambda value: html.escape("" if value is None else str(value), quote=True)  # noqa: E731
    rows = list(rows or [])
    hosts = []
    for row in sorted(rows, key=lambda row: row["host"]):
        if row["host"] not in hosts:
            hosts.append(row["host"])
    verdicts = {}
    for row in rows:
        verdicts[row["verdict"]] = verdicts.get(row["verdict"], 0) + 1
    drives = [row for row in rows if row["device"]]
    out = ['<!DOCTYPE html>', '<html lang="en">', '<head>', '<meta charset="utf-8">',
           '<meta name="viewport" content="width=device-width, initial-scale=1">',
           '<title>kvtapefw rollout</title>', '<style>' + PAGE_STYLE + '</style>', '</head>', '<body>',
           '<h1>kvtapefw rollout</h1>',
           '<p class="when">%d drive(s) on %d host(s), from each host\'s latest run report%s.</p>'
           % (len(drives), len(hosts), (", written " + esc(written)) if written else ""),
           '<table class="counts" id="counts"><thead><tr><th>verdict</th><th>rows</th></tr></thead><tbody>']
    for verdict in sorted(verdicts, key=lambda v: (v not in ("failed", "unreachable"), v)):
        out.append('<tr data-verdict="%s"><td><span class="verdict v-%s">%s</span></td><td class="number">%d</td></tr>'
                   % (esc(verdict), esc(verdict), esc(verdict), verdicts[verdict]))
    out.append('<tr data-verdict="behind"><td><span class="behind-yes">behind the catalogue</span></td>'
               '<td class="number">%d</td></tr>' % sum(1 for row in rows if row["behind"] == "yes"))
    out += ['</tbody></table>', '<h2>Hosts</h2>', '<table class="hosts"><thead><tr><th>host</th>'
            + "".join('<th>%s</th>' % esc(title) for _, title in GROUP_TITLES) + '</tr></thead><tbody>']
    for host in hosts:
        cells = []
        for group, _ in GROUP_TITLES:
            count = sum(1 for row in rows if row["host"] == host and row["group"] == group)
            cells.append('<td>%s</td>' % ('<a href="#%s-%s">%d</a>' % (group, esc(host), count) if count else ""))
        out.append('<tr id="host-%s"><td>%s</td>%s</tr>' % (esc(host), esc(host), "".join(cells)))
    out.append('</tbody></table>')
    for group, title in GROUP_TITLES:
        members = [row for row in rows if row["group"] == group]
        out.append('<h2 class="%s" id="%s">%s (%d)</h2>' % (group, group, esc(title), len(members)))
        if not members:
            out.append('<p>None.</p>')
            continue
        out.append('<table class="drives"><thead><tr>%s</tr></thead><tbody>'
                   % "".join('<th>%s</th>' % esc(field.replace("_", " ")) for field in DRIVE_FIELDS))
        seen = set()
        for row in members:
            anchor = ""
            if row["host"] not in seen:
                seen.add(row["host"])
                anchor = ' id="%s-%s"' % (group, esc(row["host"]))
            cells = []
            for field in DRIVE_FIELDS:
                value = esc(row.get(field))
                if field == "verdict":
                    value = '<span class="verdict v-%s">%s</span>' % (esc(re.sub(r"[^a-z-]", "", row["verdict"])), value)
                elif field == "behind" and row["behind"] == "yes":
                    value = '<span class="behind-yes">behind</span>'
                kind = ("version" if field in ("firmware_before", "target_version", "firmware_after")
                        else field)
                cells.append('<td class="c-%s">%s</td>' % (kind, value))
            out.append('<tr class="%s"%s data-host="%s" data-device="%s" data-verdict="%s">%s</tr>'
                       % (group, anchor, esc(row["host"]), esc(row["device"]), esc(row["verdict"]), "".join(cells)))
        out.append('</tbody></table>')
    out += ['</body>', '</html>', '']
    return _unsafe("\n".join(out))


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
            "kvtapefw_signature_sha256": signature_sha256,
            "kvtapefw_signed_catalogue": signed_catalogue,
            "kvtapefw_trusted_key_files": trusted_key_files,
            "kvtapefw_plan_devices": plan_devices,
            "kvtapefw_plan_lines": plan_lines,
            "kvtapefw_carry_plan": carry_plan,
            "kvtapefw_would_send": would_send,
            "kvtapefw_rollout_csv": rollout_csv,
            "kvtapefw_report": report,
            "kvtapefw_history_files": history_files,
            "kvtapefw_fleet": fleet,
            "kvtapefw_drives_csv": drives_csv,
            "kvtapefw_rollout_html": rollout_html,
        }
