# The one place that turns what happened on a host (not reached, refused,
# not staged, a run that ended, a run whose wait was lost) into its
# outcome, the words people read, and the control-node files that keep it:
# discover's plans and marks, upgrade's outcome for the report.

import json
import os

import kvtapefw_files as files
from kvtapefw_judge import device_name, judge, load_report
from kvtapefw_plans import carry_plan, plan_devices, plan_lines


def _lost_outcome(run, discovery):
    """A run whose wait ended without its result: the program may have gone
    on, so what was sent is unknown."""
    note = "%s: what was sent is unknown; the program goes on there to its end, and its run report and setup log" \
           " %s tell what it did" % (run["lost"], run.get("setup_log") or "on the host")
    return {"state": "unreachable" if run.get("unreachable_lost") else "failed", "exit_code": None,
            "changed": not discovery, "note": note, "message": [note]}


def _outcome_of_run(run, failure, unreachable, discovery, require_signature=False):
    if unreachable is not None:
        note = "unreachable: %s" % str(unreachable).strip()
        return {"state": "unreachable", "exit_code": None, "note": note, "message": [note]}
    if failure is not None:
        note = "kvtapefw could not be staged or run: %s" % (failure or "unknown error")
        return {"state": "failed", "exit_code": None, "note": note, "message": [note]}
    if run.get("lost"):
        return _lost_outcome(run, discovery)
    return judge(run.get("report"), run.get("exit_code"), run.get("console"), run.get("stopped"),
                 began=run.get("began"), setup_log=run.get("setup_log"),
                 mode="discover" if discovery else None, require_signature=require_signature)


def discovered(host, local, run=None, failure=None, unreachable=None, signature="none", stamp="",
               document_path=None, version_line=None, require_signature=False):
    """Judges a discovery and keeps what it found: the plan (with a person's
    review carried forward), the document as the program wrote it, the run
    report and the catalogue signature's fingerprint beside it, or the mark
    of no drive or of a failed discovery. A failed discovery replaces
    nothing but its mark. Returns found (plan, none, failed), the outcome,
    the lines to show and this host's lines of the listing."""
    run = run or {}
    outcome = _outcome_of_run(run, failure, unreachable, discovery=True, require_signature=require_signature)
    if outcome["state"] in ("failed", "unreachable"):
        found = "failed"
    else:
        found = {1: "plan", 3: "none"}.get(outcome.get("exit_code"), "failed")
    carry = {"plan": "", "reviewed": False, "carried": [], "changed": []}
    kept = "%s.%s" % (local["plan"], stamp)
    lines = []
    if found != "failed":
        document = (run.get("outputs") or {}).get(document_path) or "" if found == "plan" else ""
        if found == "plan" and not document.strip():
            found, outcome = "failed", dict(outcome, state="failed",
                                            note="kvtapefw left no discovery document at %s" % document_path)
            outcome["message"] = [outcome["note"]]
    if found != "failed":
        carry = carry_plan(document, files.read_text(local["plan"]), files.read_text(local["document"]))
        if found == "plan":
            files.write_file(local["runs"] + "-discover.xml", document)
        if carry["reviewed"]:
            files.copy_file(local["plan"], kept)
        if found == "plan":
            files.write_file(local["plan"], carry["plan"])
            files.write_file(local["document"], document)
        files.write_file(local["discovered"], run.get("report") or "")
        files.write_file(local["signature"], signature + "\n")
        lines = carry["carried"] + carry["changed"] + (
            ["the reviewed plan it replaced is kept as " + kept] if carry["reviewed"] else [])
    why = outcome.get("note") or (outcome.get("message") or [""])[0]
    for path, keep in ((local["plan"], found != "none"), (local["document"], found != "none"),
                       (local["no_drive"], found != "plan"), (local["discover_failed"], found == "failed")):
        if not keep:
            files.remove_file(path)
    if found == "none":
        files.write_file(local["no_drive"], "kvtapefw found no tape drive of the maker on %s (%s)%s\n"
                         % (host, outcome.get("result"),
                            ("; warning: " + outcome["warning"]) if outcome.get("warning") else ""))
    elif found == "failed":
        files.write_file(local["discover_failed"], why + "\n")
    if found == "plan":
        devices = plan_devices(carry["plan"])
        names = {str(device.get("device")): {"name": device_name(device), "running": device.get("firmware_before"),
                                             "catalogue": device.get("target_version")}
                 for device in (load_report(run.get("report")) or {}).get("devices") or []}
        listing = plan_lines(host, devices, names)
        shown = ["plan of %d drive(s) written to %s" % (len(devices), local["plan"])] + carry["carried"] \
            + carry["changed"]
    elif found == "none":
        warning = ("; warning: " + outcome["warning"]) if outcome.get("warning") else ""
        listing = [host + "  no tape drive of the maker" + warning]
        shown = ["no tape drive of the maker found (%s): nothing to plan%s" % (outcome.get("result"), warning)] \
            + carry["changed"]
    else:
        listing = [host + ("  unreachable" if unreachable is not None else "  discover failed: " + why)]
        shown = outcome["message"] + ["plans: %s and what came with it are left as they were" % local["plan"]]
    listing += ["%s  %s" % (host, line) for line in lines]
    return {"found": found, "outcome": outcome, "why": why, "listing": listing,
            "shown": ([version_line] if version_line else []) + shown}


def host_verdict(outcome, discover_failed=None):
    """The host's verdict as every fleet output shows it (the printed
    summary, rollout.md, drives.csv, rollout.html): its latest upgrade
    outcome, unless its last discovery failed since, which fails it.
    `state` stays the upgrade's own outcome (rollout.csv keeps it); the note
    says that the last discovery failed."""
    row = dict(outcome)
    row["verdict"] = row.get("state") or ""
    if discover_failed is not None:
        row["verdict"] = "failed"
        row["note"] = "; ".join(text for text in ("the last discovery failed: " + discover_failed,
                                                  row.get("note") or "") if text)
    return row


def stop_mark(local, rollout):
    """The mark that stops every process of a rollout split across several
    (kvtapefw_rollout): max_fail_percentage holds within one process only."""
    return os.path.join(local["reports"], "stop-%s" % rollout)


def upgraded(host, local, mode, system, source, refusal="", run=None, failure=None, unreachable=None, now="",
             version_line=None, rollout="", require_signature=False):
    """Judges an upgrade (or why there was none) and keeps the host's
    outcome as reports/hosts/<host>.json, which report.yml reads. A host
    that fails a rollout named by `rollout` leaves its stop mark, so that
    the other processes of that rollout refuse their next hosts."""
    run = run or {}
    judged = False
    if unreachable is not None:
        outcome = _outcome_of_run(run, None, unreachable, discovery=False)
    elif refusal:
        outcome = {"state": "failed", "note": "refused: " + refusal}
    elif source == "no_drive":
        outcome = {"state": "ok", "result": "no tape drive of the maker at discovery",
                   "note": "%s: discover found no tape drive of the maker; nothing to do" % local["no_drive"]}
    elif source == "missing":
        outcome = {"state": "failed", "result": "no plan",
                   "note": "No plan at %s: run discover.yml first, or upgrade all with -e kvtapefw_mode=all"
                   % local["plan"]}
    else:
        outcome = _outcome_of_run(run, failure, None, discovery=False, require_signature=require_signature)
        judged = failure is None and not run.get("lost")
    row = {"host": host, "os": system, "mode": mode, "state": outcome["state"],
           "exit_code": outcome.get("exit_code"), "result": outcome.get("result") or "",
           "upgraded": outcome.get("upgraded", 0), "skipped": outcome.get("skipped", 0),
           "failed": outcome.get("failed", 0), "finished": outcome.get("finished") or now,
           "flashed": outcome.get("flashed", 0), "catalogue_sha256": outcome.get("catalogue_sha256"),
           "report": run.get("report_copy") or "" if judged else "", "note": outcome.get("note") or ""}
    # Written before any host of the batch is failed, so that the failing
    # host's outcome is among those report.yml finds.
    files.write_file(os.path.join(local["results"], host + ".json"), json.dumps([row], indent=4, sort_keys=True))
    failed_host = outcome["state"] in ("failed", "unreachable")
    if failed_host and rollout and not os.path.lexists(stop_mark(local, rollout)):
        files.write_file(stop_mark(local, rollout), "%s: %s\n" % (host, outcome.get("note") or outcome["state"]))
    shown = outcome.get("message") or [outcome.get("note") or ""]
    return {"outcome": outcome, "row": row, "drives_changed": bool(outcome.get("changed")),
            "shown": ([version_line] if version_line else []) + shown,
            "failed_host": failed_host}
