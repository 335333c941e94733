# Plans: the drives a discovery document lists, a person's review carried
# into a new discovery, and what a check run says a plan would send.

import os
import re
import xml.etree.ElementTree as ElementTree
from xml.sax.saxutils import escape

from kvtapefw_judge import _exit_code, device_name, load_report
from kvtapefw_paths import control_path

try:
    from ansible.utils.unsafe_proxy import wrap_var as _unsafe
except ImportError:  # read without Ansible, as the test's rule checks do
    def _unsafe(value):
        return value

FLASHING_ACTIONS = ("upgrade", "downgrade", "rewrite")


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


def plan_lines(host, devices, names=None):
    """The listing of a plan, each drive by the name its discovery report
    gives it and its versions as the drive and the catalogue write them
    (`names`: device number to a dict of name, running and catalogue)."""
    names = names or {}
    lines = []
    for d in devices:
        seen = names.get(str(d["address"])) or {}
        lines.append("%s  %s  %s  running %s  catalogue %s  %s" % (
            host, seen.get("name") or "device %s (card %s, lun %s) %s" % (d["address"], d["card"], d["lun"],
                                                                          d["product"]),
            d["drive_id"], seen.get("running") or d["running"], seen.get("catalogue") or d["catalogue"], d["action"]))
    return lines


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
        # Compared as the plan writes versions; shown as the drive and the
        # catalogue write them, where the report has them.
        running = last.get("firmware_after") or last.get("firmware_before")
        now = _trim_version(running or plan.get("running"))
        shown_now = running or plan.get("running")
        target = last.get("target_version") if _trim_version(last.get("target_version")) == plan.get("catalogue") \
            else plan.get("catalogue")
        where = device_name(last) if last else "device %s (card %s, lun %s) %s" % (
            plan.get("address"), plan.get("card"), plan.get("lun"), plan.get("product"))
        action = plan.get("action")
        if action not in FLASHING_ACTIONS:
            lines.append("%s: %s, nothing sent" % (where, action or "not planned"))
        elif action != "rewrite" and now == plan.get("catalogue"):
            lines.append("%s: already at %s, nothing sent" % (where, shown_now))
        else:
            lines.append("%s: would send %s (%s) over %s" % (where, target, action, shown_now or "?"))
    source = ("latest run report: %s of %s" % (latest.get("mode"), latest.get("finished"))
              if latest else "no run report yet")
    return lines + ["(" + source + ")"]


def read_files(paths):
    """The text of each control-node file of `paths` that exists."""
    texts = []
    for path in paths or []:
        path = control_path(path)
        if os.path.isfile(path):
            with open(path, encoding="utf-8", errors="replace") as handle:
                texts.append(handle.read())
    return texts
