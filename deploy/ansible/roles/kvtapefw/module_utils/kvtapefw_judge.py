# Reading what kvtapefw leaves behind (exit code, run report) and turning
# it into the outcome a deployment engine understands. Kept in Python
# rather than Jinja so that the rules live in one place and can be
# exercised without a host (scripts/ansible-test.sh does).

import json

EXIT_SUCCESS = 1


EXIT_FAILURE = 0


EXIT_NOTHING_TO_DO = 3


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


def device_node(device, windows=False):
    """The node a person finds the drive under on its host, as the report
    names it; reports of earlier versions give only the device number."""
    if device.get("node"):
        return str(device["node"])
    return ("\\\\.\\Tape%s" if windows else "/dev/nst%s") % device.get("device")


def device_name(device, windows=False):
    """One name per drive: its node, then vendor, product and serial (those
    it answered)."""
    return " ".join([device_node(device, windows)] + [str(device[key]) for key in ("vendor", "product", "serial")
                                                      if device.get(key)])


def image_sent(device):
    """A drive that took image bytes. One that refused its first chunk was
    sent a command, not an image: it runs what it ran."""
    if not device.get("flashed"):
        return False
    download = device.get("download")
    return not isinstance(download, dict) or int(download.get("bytes") or 0) > 0


def device_line(device):
    """One drive of a report as a person reads it."""
    before, after = device.get("firmware_before"), device.get("firmware_after")
    versions = (before or after or "?") if after in (None, before) or before is None else "%s -> %s" % (before, after)
    verdict = device.get("verdict")
    if verdict == "success" and device.get("action") == "skip" and not device.get("flashed"):
        verdict = "skipped"
    line = "%s %s: %s" % (device_name(device), versions, verdict)
    if device.get("action"):
        line += " (%s)" % device["action"]
    if image_sent(device):
        line += ", image sent"
    elif device.get("flashed"):
        line += ", the drive refused the first chunk of its image"
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


def judge(report, rc=None, console=None, stopped="", tail=8, began=None, setup_log=None, mode=None,
          require_signature=False):
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
    drive. `require_signature`: a run whose report does not say that the
    catalogue's signature was verified failed, whatever else it says."""
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
    elif (document or {}).get("refusal"):
        why = "kvtapefw refused the run: %s (exit code %s)" % (document["refusal"], code)
    elif code == EXIT_FAILURE:
        why = "kvtapefw failed: exit code 0, Result : %s" % (result or "(none)")
    else:
        why = "kvtapefw ended with unexpected exit code %s" % code
    signature = (((document or {}).get("catalogue") or {}).get("signature") or {})
    if why is None and require_signature and signature.get("verified") is not True:
        why = ("kvtapefw_require_signature is set and the run report does not say that the catalogue's signature"
               " was verified (%s)" % (signature.get("reason") or "no signature judged"))
    if why is None and unexamined:
        why = "kvtapefw could not examine %d device(s), so a plan may miss a drive" % len(unexamined)
    outcome["state"] = "failed" if why else ("changed" if flashed else "ok")
    outcome["refusal"] = (document or {}).get("refusal")
    # Exit 3 with no tape device node at all is the Part's "nothing to do",
    # but a host that should have drives and shows none deserves a word.
    outcome["warning"] = (document or {}).get("warning") or (
        "no tape device was found" if code == EXIT_NOTHING_TO_DO and (document or {}).get("scanned") == 0 else None)
    lines = [device_line(device) for device in devices]
    if why:
        reasons = ["%s: %s" % (device_name(device), ": ".join(
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
        outcome["note"] = ("warning: " + outcome["warning"]) if outcome["warning"] else ""
        outcome["message"] = ([outcome["note"]] if outcome["warning"] else []) + ["kvtapefw exit code %s: %s (upgraded %d, skipped %d, failed %d)"
                              % (code, result or "no result line", len(upgraded), outcome["skipped"],
                                 len(failed))] + lines
    return outcome
