# The rollout's reports on the control node: each host's latest upgrade
# outcome (rollout.csv), every drive of the fleet from each host's latest
# run report (drives.csv, and the rows of rollout.html), and the files a
# run replaces, kept under history/.

import csv
import decimal
import io
import json
import os
import re

from kvtapefw_judge import (EXIT_NOTHING_TO_DO, UNEXAMINED, _exit_code, device_node, failure_text, image_sent,
                            load_report)
from kvtapefw_plans import plan_devices
from kvtapefw_verdict import host_verdict
from kvtapefw_paths import SAFE_HOST, control_path

try:
    from ansible.utils.unsafe_proxy import wrap_var as _unsafe
except ImportError:  # read without Ansible, as the test's rule checks do
    def _unsafe(value):
        return value

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


def _discover_failed(plans_dir, host):
    """Why the host's last discovery failed (its mark in plans/), or None."""
    if not plans_dir:
        return None
    marker = os.path.join(control_path(plans_dir), host + ".discover-failed")
    if not os.path.isfile(marker):
        return None
    with open(marker, encoding="utf-8", errors="replace") as handle:
        return handle.read().strip() or "no reason kept"


def report(hosts, results_dir, plans_dir=None):
    """Rows of the rollout report: one per host with an upgrade outcome, in
    the order of `hosts` (the inventory), then the other hosts that have one.
    A run with --limit replaces only its own hosts' outcomes, so the others
    keep their rows; a host of the inventory without any is listed as not
    run (the rollout stopped before it, or no upgrade ran there yet)."""
    results = host_results(results_dir)
    order = _known_hosts(hosts, results)
    rows = [host_verdict(results[host], _discover_failed(plans_dir, host)) for host in order if host in results]
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


DRIVE_FIELDS = ["host", "device", "serial", "vendor", "product", "firmware_before", "target_version",
                "firmware_after", "verdict", "reason", "behind", "mode", "finished", "action"]


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


def _plan_actions(plans_dir, host):
    """The reviewed plan's action of each drive (by device number), from
    plans/<host>.xml; {} without a plan or with one that cannot be read."""
    path = os.path.join(plans_dir, host + ".xml")
    try:
        with open(path, encoding="utf-8", errors="replace") as handle:
            return {str(device["address"]): device["action"] for device in plan_devices(handle.read())}
    except (OSError, ValueError, SyntaxError):
        return {}


def _drive_row(host, device, source, windows, reviewed, seen_before, failed_discovery):
    """One drive's row: what it is, what was planned for it (the reviewed
    plan's action, or the one an upgrade-all run planned itself) and what
    came of it. A drive a review set to skip is "skipped (reviewed)", not a
    success; after a discovery a row tells the action planned. Rows of a
    host whose last discovery failed are from before it: marked stale."""
    mode = source.get("mode") or ""
    action = device.get("action") or ""
    if mode != "upgrade-all":
        action = reviewed.get(str(device.get("device")), action)
    verdict = device.get("verdict") or ""
    if verdict == "planned":
        verdict = "%s planned" % action if action else verdict
    elif action == "skip" and mode == "upgrade-from-document" and verdict != "failed":
        verdict = "skipped (reviewed)"
    reason = ": ".join(str(text) for text in (device.get("reason"), failure_text(device)) if text)
    if device.get("flashed") and not image_sent(device):
        reason = ": ".join(text for text in (reason, "the drive refused the first chunk; no image was sent") if text)
    if failed_discovery is not None:
        reason = "stale, from %s %s before the last discovery failed%s" % (
            mode, source.get("finished") or "(unfinished)", (": " + reason) if reason else "")
    before = device.get("firmware_before") or seen_before.get(str(device.get("serial"))) or (
        device.get("firmware_after") if not device.get("flashed") else "") or ""
    return {"host": host, "device": device_node(device, windows), "number": device.get("device"),
            "serial": device.get("serial") or "", "vendor": device.get("vendor") or "",
            "product": device.get("product") or "", "firmware_before": before,
            "target_version": device.get("target_version") or "", "firmware_after": device.get("firmware_after") or "",
            "verdict": verdict, "reason": reason, "behind": behind(dict(device, firmware_before=before)),
            "mode": mode, "finished": source.get("finished") or "", "action": action}


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
        failed_discovery = _discover_failed(plans, host)
        reviewed = _plan_actions(plans, host)
        seen_before = {str(device.get("serial")): device.get("firmware_before")
                       for other, _ in reports for device in other.get("devices") or []
                       if device.get("serial") and device.get("firmware_before")}
        # A failed discovery names no drive: the drives stay as the last
        # report that named them saw them, marked stale.
        shown = [item for item in reports if item[0].get("devices")] if failed_discovery is not None else reports
        for device, source in _drives_of(shown):
            rows.append(_drive_row(host, device, source, windows, reviewed, seen_before, failed_discovery))
        issues = []
        if failed_discovery is not None:
            issues.append(("failed", "discover failed: " + failed_discovery))
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
        elif document is not None and document.get("refusal") and not issues:
            issues.append(("failed", "refused: %s" % document["refusal"]))
        elif document is not None and not devices and not issues:
            issues.append(("no-drive" if document.get("exit_code") == EXIT_NOTHING_TO_DO else "no-report",
                           "no tape drive of the maker: %s" % (document.get("result") or "no result")
                           if document.get("exit_code") == EXIT_NOTHING_TO_DO
                           else "the run report names no drive (%s)" % (document.get("result") or "unfinished")))
        if document is not None and document.get("warning") and not devices:
            issues.append(("warning", "warning: %s" % document["warning"]))
        if issues:
            rows.append({"host": host, "device": "", "number": -1, "serial": "", "vendor": "", "product": "",
                         "firmware_before": "", "target_version": "", "firmware_after": "",
                         "verdict": issues[0][0], "reason": "; ".join(text for _, text in issues), "behind": "",
                         "mode": (document or {}).get("mode") or "", "finished": (document or {}).get("finished") or "",
                         "action": ""})
    for row in rows:
        row["group"] = ("failed" if row["verdict"] in ("failed", "unreachable") or UNEXAMINED in row["reason"]
                        else "behind" if row["behind"] == "yes" else "rest")
    order = {"failed": 0, "behind": 1, "rest": 2}
    rows.sort(key=lambda row: (order[row["group"]], row["host"], _exit_code(row["number"]) or 0))
    return _unsafe(rows)


def drives_csv(rows):
    return _unsafe(_csv_text(rows, DRIVE_FIELDS))
