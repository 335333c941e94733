#!/usr/bin/env bash
# Rehearses a fleet rollout with the playbooks of deploy/ansible on six hosts
# of this machine (local connections, each with its own working folder, setup
# log root and simulated bus): discover, review (one drive set to skip),
# canary upgrade that stops at a host whose drive refuses its image, report,
# a batch of two that stops at that host, a check run, a catalogue changed
# since discover; then the same plans run again after the fix, once more with
# nothing left to do, an unreachable host, an upgrade-all on one host, a
# device that could not be examined at discover, discover again after a
# review, a batch whose slow runs go side by side with one fork, a program
# that hangs past the time limit, a run stopped with its report
# unfinished, a program that does not stop when asked, an archive that
# arrives cut, a host lost while the role waits for its run, a program
# that does not start, a rollout split across processes that stops in all
# of them, and the role's Debian package
# path (argument checks, --check, and an install through the role that is
# removed again). Everything is checked from the outside: plans, run
# reports, bus files, setup logs, exit codes, recaps, the CSV reports, the
# history of replaced reports, and the fleet's page as headless Chromium
# renders it (KVFW_KEEP_SCRATCH=1 keeps its screenshots). Also lints the
# role and playbooks and syntax-checks them against a Windows inventory.
# KVFW_DEB names a package built by scripts/package.sh for the install;
# without it a stand-in around the program under test is built.
#
# Usage: scripts/ansible-test.sh [path of the kvtapefw program]
# (the native build's program by default)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
program=$(realpath "${1:-$root/build/normal/kvtapefw}")
playbooks=$root/deploy/ansible
started=$(date +%s)

fail() {
  echo "ansible-test: FAILED: $*" >&2
  exit 1
}
[ -x "$program" ] || fail "no program at $program (build it first)"
command -v ansible-playbook >/dev/null || fail "ansible-playbook missing (scripts/install-deps.sh installs it)"
command -v ansible-lint >/dev/null || fail "ansible-lint missing (scripts/install-deps.sh installs it)"
command -v chromium >/dev/null || fail "chromium missing (scripts/install-deps.sh installs it)"

work=$(mktemp -d /tmp/kvtapefw-ansible.XXXXXX)
# KVFW_KEEP_SCRATCH=1 keeps the hosts' folders, plans, reports and outputs.
if [ "${KVFW_KEEP_SCRATCH:-0}" = 1 ]; then echo "== scratch folder: $work"; else trap 'rm -rf "$work"' EXIT; fi

# Nothing from the user's or the machine's Ansible configuration, no terminal
# needed, temp files in the scratch folder.
: >"$work/ansible.cfg"
export ANSIBLE_CONFIG=$work/ansible.cfg ANSIBLE_HOME=$work/ansible-home
export ANSIBLE_LOCAL_TEMP=$work/tmp/local ANSIBLE_REMOTE_TEMP=$work/tmp/remote
export ANSIBLE_HOST_KEY_CHECKING=False ANSIBLE_NOCOWS=1 ANSIBLE_NOCOLOR=1 ANSIBLE_FORCE_COLOR=0
export ANSIBLE_STDOUT_CALLBACK=default ANSIBLE_LOAD_CALLBACK_PLUGINS=0 ANSIBLE_RETRY_FILES_ENABLED=False
export ANSIBLE_PIPELINING=True ANSIBLE_FORKS=10 ANSIBLE_PYTHON_INTERPRETER=/usr/bin/python3
export ANSIBLE_LOCALHOST_WARNING=False ANSIBLE_DEPRECATION_WARNINGS=False ANSIBLE_ASYNC_DIR=$work/async
# kvfw_local: a local connection that can cut the staging archive or drop
# the wait for a run, for the rows that need a network that fails.
export ANSIBLE_CONNECTION_PLUGINS=$root/tests/support/ansible/connection
# A fact cache, as a fleet would have one: the role then learns each host's
# operating system once instead of in every playbook.
export ANSIBLE_CACHE_PLUGIN=jsonfile ANSIBLE_CACHE_PLUGIN_CONNECTION=$work/facts
export XDG_CACHE_HOME=$work/cache NO_COLOR=1 PY_COLORS=0 PYTHONDONTWRITEBYTECODE=1
mkdir -p "$ANSIBLE_HOME" "$ANSIBLE_LOCAL_TEMP" "$ANSIBLE_REMOTE_TEMP" "$XDG_CACHE_HOME"
# One program for the whole rehearsal, even if the build is redone meanwhile:
# a different program would be staged again and count as a change.
cp "$program" "$work/kvtapefw"
program=$work/kvtapefw

echo "== ansible-lint (role and playbooks)"
(cd "$playbooks" && ansible-lint --offline --nocolor -q discover.yml upgrade.yml report.yml roles/kvtapefw) \
  >"$work/lint.txt" 2>&1 || { cat "$work/lint.txt"; fail "ansible-lint found problems"; }

echo "== syntax check against a Windows inventory (no Windows host here)"
cat >"$work/windows.ini" <<'EOF'
winhost ansible_connection=winrm ansible_shell_type=powershell kvtapefw_dir=C:\kvtapefw
EOF
for playbook in discover upgrade report; do
  ansible-playbook -i "$work/windows.ini" --syntax-check "$playbooks/$playbook.yml" >"$work/syntax.txt" 2>&1 ||
    { cat "$work/syntax.txt"; fail "syntax check of $playbook.yml"; }
done
# The role includes each system's task files by the host's system, which a
# syntax check of the playbooks does not read: these are imported here, all
# of them (the role's plugins named to Ansible), so that both branches are
# read whole.
role=$playbooks/roles/kvtapefw
{
  echo "- name: Every task file of both systems"
  echo "  hosts: all"
  echo "  gather_facts: false"
  echo "  tasks:"
  for file in posix/run.yml posix/run_package.yml posix/reach.yml windows/run.yml windows/run_package.yml \
    windows/reach.yml discover_check.yml upgrade_check.yml; do
    printf '    - name: Read %s\n      ansible.builtin.import_tasks: %s\n' "$file" "$role/tasks/$file"
  done
} >"$work/branches.yml"
ANSIBLE_ACTION_PLUGINS=$role/action_plugins ANSIBLE_FILTER_PLUGINS=$role/filter_plugins ANSIBLE_LIBRARY=$role/library \
  ansible-playbook -i "$work/windows.ini" --syntax-check "$work/branches.yml" >"$work/syntax.txt" 2>&1 ||
  { cat "$work/syntax.txt"; fail "syntax check of the task files of both systems"; }

echo "== rules the role judges by (exit codes, run reports, catalogue, check lines, paths)"
PYTHONPATH=$playbooks/roles/kvtapefw/filter_plugins python3 - <<'EOF' || fail "role's judging rules"
import json
import kvtapefw as k

def expect(what, got, want):
    if got != want:
        raise SystemExit("%s: got %r, want %r" % (what, got, want))

def device(n, verdict="success", flashed=False, before="2.05", after="2.05", reason=None):
    return {"device": n, "card": 0, "lun": 0, "product": "ULTRIUM-HH6", "drive_id": "0x0000a4", "action": "upgrade",
            "firmware_before": before, "firmware_after": after, "target_version": "2.10", "flashed": flashed,
            "verdict": verdict, "reason": reason}

def report(code, *devices, mode="upgrade-from-document", finished="2026-01-01T00:00:00Z", sha="ab" * 32,
           started="2026-01-01T00:00:00Z"):
    return json.dumps({"format": 1, "mode": mode, "exit_code": code, "result": None, "finished": finished,
                       "started": started,
                       "catalogue": {"path": "fwimage/firmware.cfg", "sha256": sha} if sha else None,
                       "setup_log": "/x/vtxsetup.log", "devices": list(devices)})

sent, untouched = device(1, flashed=True, after="2.10"), device(3, "not-planned", reason="not in the catalogue")
refused = device(1, "failed", flashed=True, reason="the drive refused the image")
ok = k.judge(report(1, sent, untouched), 1)
expect("a flashed drive", [ok[key] for key in ("state", "upgraded", "skipped", "failed")], ["changed", 1, 1, 0])
expect("nothing sent", k.judge(report(1, device(1), untouched), "1")["state"], "ok")
expect("no drive of the maker", k.judge(report(3), 3)["state"], "ok")
bad = k.judge(report(0, refused, untouched), 0)
expect("a refused image", [bad[key] for key in ("state", "changed", "failed")], ["failed", True, 1])
expect("a refused image's reason", "/dev/nst1 ULTRIUM-HH6: the drive refused the image" in bad["note"], True)
# Every refusal says why; a drive is named by its node, vendor, product and
# serial; one that refused its first chunk was sent no image; a host with no
# tape device node at all is ok with a warning, never silently.
named = dict(refused, node="/dev/nst1", vendor="KV", serial="S1", download={"bytes": 0, "failure": None})
for what, text, code, state, words in (
        ("a refused run", dict(json.loads(report(0)), refusal="Selection document /d.xml is missing"), 0, "failed",
         "kvtapefw refused the run: Selection document /d.xml is missing"),
        ("no tape device node", dict(json.loads(report(3)), scanned=0, warning="no tape device was found; the st driver"
                                     " is not loaded"), 3, "ok", "warning: no tape device was found; the st driver is not loaded"),
        ("no device, no warning in the report", dict(json.loads(report(3)), scanned=0), 3, "ok", "warning: no tape device was found"),
        ("a drive that refused its first chunk", json.loads(report(0, named)), 0, "failed",
         "/dev/nst1 KV ULTRIUM-HH6 S1 2.05: failed (upgrade), the drive refused the first chunk of its image")):
    judged = k.judge(json.dumps(text), code)
    expect(what, [judged["state"], any(words in line for line in judged["message"])], [state, True])
expect("no drive of the maker, devices scanned", k.judge(json.dumps(dict(json.loads(report(3)), scanned=2)), 3)["note"], "")
expect("no image sent", "image sent" in k.judge(report(0, named), 0)["message"][1], False)
for code in (255, -1, 2):
    expect("exit code %r" % (code,), k.judge(report(1, device(1)), code)["state"], "failed")
for text in ("", None, report(1, device(1))[:-9], "[]"):
    expect("no whole report %r" % (text,), k.judge(text, 1)["state"], "failed")
# Discovery: a device it could not examine fails it whatever the exit code,
# with become advised where rights were missing; one passed over does not.
denied = device(5, "left-untouched", reason="it could not be examined: opening it was refused for lack of rights; x")
seen = k.judge(report(0, denied, mode="discover"), 0, mode="discover")
expect("not examined for lack of rights", [seen["state"], "run with become" in seen["note"]], ["failed", True])
expect("passed over", k.judge(report(1, untouched, mode="discover"), 1, mode="discover")["state"], "ok")
# A report of an earlier run tells nothing of this one; an unfinished one of
# this run that names no drive sent image data shows that nothing was sent.
began = "2026-01-01T00:00:00Z"
for what, text, changed in (("an earlier run's", report(1, device(1), started="2025-12-31T23:59:59Z"), True),
                            ("unfinished, nothing sent", report(None, device(1), finished=None), False)):
    cut = k.judge(text, 1, began=began, setup_log="L")
    expect(what, [cut["state"], cut["changed"], "what was sent is unknown; see the setup log L" in cut["note"]],
           ["failed", changed, changed])
bare = dict(refused, download={"failure": {"command": "WRITE BUFFER", "status": "CHECK CONDITION",
            "sense_key": "ILLEGAL REQUEST", "asc": "0x26", "ascq": "0x00", "text": ""}})
expect("failure without the log's words", "/dev/nst1 ULTRIUM-HH6: the drive refused the image: WRITE BUFFER: CHECK CONDITION, ILLEGAL "
       "REQUEST, ASC/ASCQ 0x26/0x00" in k.judge(report(0, bare), 0)["note"], True)
# A plan without what discover wrote beside it cannot tell a review apart:
# nothing is carried.
def doc(*actions):
    return '<kv_rom_discovery><devices>%s</devices></kv_rom_discovery>' % "".join(
        '<device><device_id value="0x0000a4"/><product_id value="ULTRIUM-HH6"/><busnumber value="%d"/><devicenumber value="0"/>'
        '<funcnumber value="0"/><fw_item><active_version value="2.05"/><action value="%s"/></fw_item></device>' % item
        for item in enumerate(actions))
again = doc("upgrade", "skip")
legacy = k.carry_plan(again, doc("skip", "skip"), "")
expect("no record of what discover wrote", [legacy["reviewed"], legacy["carried"], legacy["plan"]], [True, [], again])
expect("same catalogue", k.catalogue_refusal(report(1), "ab" * 32), "")
expect("changed catalogue", "discover again" in k.catalogue_refusal(report(1), "cd" * 32), True)
expect("no catalogue read", k.catalogue_refusal(report(3, sha=None), "cd" * 32), "")
expect("no discovery report", "discover again" in k.catalogue_refusal("", "ab" * 32), True)
expect("same signature", k.catalogue_refusal(report(1), "ab" * 32, "ef" * 32, "ef" * 32), "")
expect("signed since the plan", "signature changed" in k.catalogue_refusal(report(1), "ab" * 32, None, "ef" * 32), True)
expect("signature gone", "signature changed" in k.catalogue_refusal(report(1), "ab" * 32, "ef" * 32, "none"), True)
try:
    k.trusted_key_files(["/etc/hostname"])
    expect("a key not named *.pem", "accepted", "refused")
except ValueError as error:
    expect("a key not named *.pem", "is not named *.pem" in str(error), True)
plan = [{"address": "1", "card": "0", "lun": "0", "product": "ULTRIUM-HH6", "running": "2.05", "catalogue": "2.1",
         "action": "upgrade"}, {"address": "3", "card": "0", "lun": "0", "product": "ULTRIUM-HH8", "running": "4.2",
         "catalogue": "4.2", "action": "skip"}]
later = report(1, sent, mode="upgrade-from-document", finished="2026-01-02T00:00:00Z")
expect("check after the upgrade", k.would_send(plan, [later, report(1, device(1), mode="discover")])[:2],
       ["/dev/nst1 ULTRIUM-HH6: already at 2.10, nothing sent", "device 3 (card 0, lun 0) ULTRIUM-HH8: skip, nothing sent"])
expect("check before it", k.would_send(plan, [])[0], "device 1 (card 0, lun 0) ULTRIUM-HH6: would send 2.1 (upgrade) over 2.05")
windows = k.remote_paths("C:\\kvtapefw\\", True, "", "/build/kvtapefw.exe")
expect("Windows program", windows["program"], "C:\\kvtapefw\\kvtapefw.exe")
expect("Windows log", windows["log"], "%SystemDrive%\\vtxsystem\\log\\vtxsetup.log")
expect("Windows log, given root", k.remote_paths("C:\\kv", True, "E:\\", "kvtapefw.exe")["log"],
       "E:\\vtxsystem\\log\\vtxsetup.log")
expect("POSIX log", k.remote_paths("/srv/kv/", False, "", "/x/kvtapefw")["log"], "/srv/kv/vtxsystem/log/vtxsetup.log")
# A package runs the program it installs and logs where that program does,
# unless a root is given.
deb = k.remote_paths("/srv/kv", False, "", "", "/pkgs/kvtapefw_1.0.0_amd64.deb")
expect("package paths", [deb["program"], deb["package"], deb["log"]],
       ["/usr/sbin/kvtapefw", "/srv/kv/kvtapefw_1.0.0_amd64.deb", "/var/lib/kvtapefw/vtxsystem/log/vtxsetup.log"])
expect("package, given root", k.remote_paths("/srv/kv", False, "/logs", "", "/p/k.deb")["log_root"], "/logs")

# The fleet, drive by drive, from run reports on disk.
import os, tempfile, html.parser
expect("versions as numbers", [k.version_number(v) < k.version_number(w) for v, w in
                               (("2.05", "2.1"), ("2.10", "2.1"), ("9.9", "10.0"), (" 1.2 ", "1.20"))],
       [True, False, True, False])
def drive(n, before, target, after, verdict="success", **more):
    return dict(device(n, verdict, before=before, after=after), target_version=target, serial="KV%08d" % n,
                vendor="KV", **more)
expect("behind", [k.behind(d) for d in (drive(1, "2.05", "2.10", None, "failed"), drive(1, None, "2.10", "2.1"),
                                        drive(1, "2.05", "2.10", "2.05"), drive(1, "1.0", None, None),
                                        drive(1, None, "2.10", None))], ["yes", "no", "yes", "no", ""])
reports = tempfile.mkdtemp()
for folder in ("runs", "hosts", "plans"):
    os.mkdir(os.path.join(reports, folder))
def put(name, text):
    with open(os.path.join(reports, name), "w") as handle:
        handle.write(text)
failure = {"failure": {"command": "WRITE BUFFER", "status": "CHECK CONDITION", "sense_key": "ILLEGAL REQUEST",
                       "asc": "0x26", "ascq": "0x00", "text": "SCSI WRITE BUFFER on device 1: INVALID FIELD (26h/00h)"}}
# h1: a discovery, then a later upgrade whose drive failed; the older
# report must not be the one shown.
put("runs/h1-discover.json", report(1, drive(1, "2.05", "2.10", None, "planned", reason="planned"), mode="discover",
                                    started="2026-01-01T00:00:00Z"))
put("runs/h1-upgrade-from-document.json", report(0, drive(1, "2.05", "2.10", None, "failed", reason="refused",
                                                          download=failure), drive(3, "4.20", "4.20", "4.20"),
                                                 started="2026-01-02T00:00:00Z"))
# h2: a Windows host whose run was stopped at the time limit after its
# report: the drive rows stay, and the host's failure gets a row of its own.
windows_report = json.loads(report(1, drive(0, "1.10", "1.20", "1.20"), started="2026-01-01T00:00:00Z"))
windows_report["setup_log"] = "C:\\vtxsystem\\log\\vtxsetup.log"
put("runs/h2-upgrade-all.json", json.dumps(windows_report))
put("hosts/h2.json", json.dumps([{"host": "h2", "state": "failed", "note": "kvtapefw was stopped", "report": "",
                                  "finished": "2026-01-03T00:00:00Z"}]))
# h3: a device that could not be examined; h4 no drive of the maker; h5 in
# the inventory only; "bad/name" never read.
put("runs/h3-discover.json", report(0, device(5, "left-untouched", before=None, after=None,
                                              reason="it could not be examined: it would not open"), mode="discover"))
put("runs/h4-discover.json", report(3, mode="discover"))
rows = k.fleet(["h5", "h4", "h3", "h2", "h1", "bad/name"], reports, os.path.join(reports, "plans"))
got = [(r["host"], r["device"], r["verdict"], r["behind"], r["group"]) for r in rows]
expect("fleet rows, failed first, then behind, then the rest, by host", got, [
    ("h1", "/dev/nst1", "failed", "yes", "failed"), ("h2", "", "failed", "", "failed"),
    ("h3", "/dev/nst5", "left-untouched", "", "failed"), ("h1", "/dev/nst3", "success", "no", "rest"),
    ("h2", "\\\\.\\Tape0", "success", "no", "rest"), ("h4", "", "no-drive", "", "rest"),
    ("h5", "", "no-report", "", "rest")])
# A run cut short may name only some drives: the others are shown as the
# latest finished report saw them.
put("runs/h6-discover.json", report(1, drive(0, "1.10", "1.20", None, "planned", reason="planned"),
                                    drive(1, "2.05", "2.10", None, "planned", reason="planned"), mode="discover"))
put("runs/h6-upgrade-all.json", report(None, drive(1, "2.05", "2.10", None, "planned", reason="under way"),
                                       mode="upgrade-all", finished=None, started="2026-01-02T00:00:00Z"))
expect("a run cut short", [(r["device"], r["mode"], r["reason"]) for r in k.fleet(["h6"], reports, reports) if r["host"] == "h6"],
       [("/dev/nst0", "discover", "planned"), ("/dev/nst1", "upgrade-all", "under way")])
expect("a failed drive's reason", rows[0]["reason"], "refused: SCSI WRITE BUFFER on device 1: INVALID FIELD (26h/00h)")
text = k.drives_csv(rows).splitlines()
expect("drives.csv header", text[0], "host,device,serial,vendor,product,firmware_before,target_version,"
       "firmware_after,verdict,reason,behind,mode,finished,action")
expect("drives.csv row", text[1].split(",")[:3] + text[1].split(",")[-4:], ["h1", "/dev/nst1", "KV00000001", "yes",
       "upgrade-from-document", "2026-01-01T00:00:00Z", "upgrade"])
# The action column: the reviewed plan's action (a skip is "skipped
# (reviewed)", with its behind mark, not a success, its version before
# filled from the discovery), the action a discovery planned, or the one an
# upgrade-all run planned itself. A host whose last discovery failed (a
# refused run) keeps its earlier rows, stale, beside the failure, and every
# output gives it the same verdict.
put("plans/h7.xml", doc("upgrade", "skip"))
put("runs/h7-discover.json", report(1, drive(0, "1.10", "1.20", None, "planned", reason="planned"),
                                    drive(1, "2.05", "2.10", None, "planned", reason="planned"), mode="discover"))
put("runs/h8-upgrade-all.json", report(1, drive(0, "1.10", "1.20", None, "planned", reason="planned", action="rewrite"),
                                       mode="upgrade-all", finished=None, started="2026-01-01T00:00:00Z"))
rows7 = [(r["device"], r["action"], r["verdict"]) for r in k.fleet(["h7", "h8"], reports, os.path.join(reports, "plans"))
         if r["host"] in ("h7", "h8")]
expect("planned actions", rows7, [("/dev/nst0", "upgrade", "upgrade planned"), ("/dev/nst1", "skip", "skip planned"),
                                  ("/dev/nst0", "rewrite", "rewrite planned")])
put("runs/h7-upgrade-from-document.json", report(1, drive(0, "1.10", "1.20", "1.20"),
                                                 drive(1, None, "2.10", None, "not-planned", reason="its action is skip",
                                                       action="skip"), started="2026-01-02T00:00:00Z"))
rows7 = [(r["device"], r["action"], r["verdict"], r["firmware_before"], r["behind"])
         for r in k.fleet(["h7"], reports, os.path.join(reports, "plans")) if r["host"] == "h7"]
expect("a reviewed skip", rows7, [("/dev/nst1", "skip", "skipped (reviewed)", "2.05", "yes"),
                                  ("/dev/nst0", "upgrade", "success", "1.10", "no")])
put("plans/h7.discover-failed", "kvtapefw refused the run: Firmware catalogue fwimage/firmware.cfg is missing (exit code 0)")
put("runs/h7-discover.json", json.dumps(dict(json.loads(report(0, mode="discover", started="2026-01-03T00:00:00Z")),
                                             refusal="Firmware catalogue fwimage/firmware.cfg is missing")))
put("hosts/h7.json", json.dumps([{"host": "h7", "state": "changed", "note": "", "finished": "2026-01-02T00:00:00Z"}]))
rows7 = [r for r in k.fleet(["h7"], reports, os.path.join(reports, "plans")) if r["host"] == "h7"]
expect("stale rows beside the failure", [(r["device"], r["verdict"], r["reason"].split(",")[0]) for r in rows7],
       [("", "failed", "discover failed: kvtapefw refused the run: Firmware catalogue fwimage/firmware.cfg is missing (exit code 0)"),
        ("/dev/nst0", "success", "stale"), ("/dev/nst1", "skipped (reviewed)", "stale")])
expect("the refusal in drives.csv", "Firmware catalogue fwimage/firmware.cfg is missing" in k.drives_csv(rows7).splitlines()[1], True)
summary = k.report(["h7"], os.path.join(reports, "hosts"), os.path.join(reports, "plans"))["rows"][0]
expect("one verdict for the host", [summary["state"], summary["verdict"], summary["note"].startswith("the last discovery failed: kvtapefw refused")],
       ["changed", "failed", True])
expect("rollout.csv says so", "the last discovery failed" in k.rollout_csv([summary]), True)
# Texts from reports are escaped: a product ID with markup must not become
# markup, nor fetch anything. The only links are to the page's own anchors.
rows[0]["product"] = '<img src=x onerror="alert(1)">'
rows[0]["serial"] = '"><script>x</script>'
page = k.rollout_html(rows, "2026-01-04T00:00:00Z")
class Tags(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.tags, self.links = set(), []
    def handle_starttag(self, tag, attrs):
        self.tags.add(tag)
        self.links += [value for name, value in attrs if name in ("src", "href", "srcset", "action", "data")]
tags = Tags()
tags.feed(page)
expect("markup from a report", [tag for tag in ("img", "script") if tag in tags.tags], [])
expect("escaped product", "&lt;img src=x onerror=&quot;alert(1)&quot;&gt;" in page, True)
expect("links outside the page", [link for link in tags.links if not link.startswith("#")], [])
expect("anchors linked exist", [link for link in tags.links if ('id="%s"' % link[1:]) not in page], [])
expect("history of a report run", k.history_files(reports, "report", []), [])
put("drives.csv", "x")
put("hosts/batch-h1.json", "[]")
expect("history of a report run", k.history_files(reports, "report", []), ["drives.csv"])
expect("history of an upgrade run", k.history_files(reports, "upgrade", ["h2", "h1", "../h1"]),
       ["runs/h1-upgrade-from-document.json", "runs/h2-upgrade-all.json", "hosts/h2.json", "hosts/batch-h1.json"])
# The role's checks and writers on the control node, without a host.
import kvtapefw_bundle, kvtapefw_files, kvtapefw_verdict
expect("a safe name and one program", k.argument_problems("h1", "/bin/true", ""), [])
for host, program, package, words in (("../x", "/p", "", "is not a safe file name"), ("h1", "", "", "Give kvtapefw_program (the"),
                                      ("h1", "/p", "/q.deb", "not both"), ("h1", "", "/etc/hostname", "is not a .deb file")):
    expect("refused: " + words, any(words in text for text in k.argument_problems(host, program, package)), True)
scratch = tempfile.mkdtemp()
os.symlink("/etc/hostname", os.path.join(scratch, "link"))
try:
    kvtapefw_files.write_file(os.path.join(scratch, "link"), "x")
    expect("a file written through a link", "written", "refused")
except kvtapefw_files.NotAPlainFile:
    pass
# What each way an upgrade can end leaves for the report; a run whose wait
# was lost may have sent anything.
local = k.local_paths("h1", scratch + "/plans", scratch + "/reports")
for what, given, state, changed in (
        ("unreachable", dict(unreachable="no route"), "unreachable", False),
        ("refused", dict(refusal="the catalogue changed"), "failed", False),
        ("no drive", dict(source="no_drive"), "ok", False),
        ("not staged", dict(failure="the archive arrived cut"), "failed", False),
        ("lost while waiting", dict(run={"lost": "the connection was lost", "unreachable_lost": True}), "unreachable", True),
        ("a run that flashed", dict(run={"report": report(1, sent), "exit_code": 1, "began": began}), "changed", True)):
    got = kvtapefw_verdict.upgraded("h1", local, "plan", "posix", given.pop("source", "plan"), **given)
    kept = json.load(open(local["results"] + "/h1.json"))[0]
    expect(what, [got["outcome"]["state"], got["drives_changed"], kept["state"]], [state, changed, state])
# A discovery that fails replaces nothing and leaves its mark; one that
# ends writes the plan beside the document and the report.
os.makedirs(local["plans"])
kvtapefw_files.write_file(local["plan"], again)
failed = kvtapefw_verdict.discovered("h1", local, failure="the archive arrived cut", stamp="20260101T000000Z")
expect("a failed discovery", [failed["found"], open(local["plan"]).read(), open(local["discover_failed"]).read()],
       ["failed", again, "kvtapefw could not be staged or run: the archive arrived cut\n"])
planned = kvtapefw_verdict.discovered("h1", local, run={"report": report(1, device(1), mode="discover"), "exit_code": 1,
                                                        "began": began, "outputs": {"/d.xml": again}},
                                      stamp="20260101T000000Z", document_path="/d.xml")
expect("a discovery that ended", [planned["found"], os.path.exists(local["discover_failed"]), open(local["document"]).read()],
       ["plan", False, again])
# Trusted keys: exactly one public P-256 key each, named *.pem in any letter
# case; a private key, a certificate, two blocks or another curve is refused
# on the control node.
import subprocess
def openssl(*words):
    subprocess.run(["openssl"] + list(words), check=True, capture_output=True)
pem = os.path.join(scratch, "pem")
os.makedirs(pem)
at = lambda name: os.path.join(pem, name)
openssl("ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", at("private.pem"))
openssl("ec", "-in", at("private.pem"), "-pubout", "-out", at("K1.PEM"))
openssl("ecparam", "-name", "secp384r1", "-genkey", "-noout", "-out", at("p384.key"))
openssl("ec", "-in", at("p384.key"), "-pubout", "-out", at("p384.pem"))
openssl("req", "-new", "-x509", "-key", at("private.pem"), "-subj", "/CN=x", "-days", "1", "-out", at("cert.pem"))
kvtapefw_files.write_file(at("two.pem"), open(at("K1.PEM")).read() * 2)
expect("K1.PEM trusted", [key["name"] for key in k.trusted_key_files([at("K1.PEM")])], ["K1.PEM"])
for name, words in (("private.pem", "private key, not a public key"), ("cert.pem", "is a certificate, not a public key"),
                    ("two.pem", "holds 2 PEM blocks"), ("p384.pem", "is not a P-256 key")):
    expect("a key refused: " + name, [problem for problem in k.argument_problems("h1", "/p", "", keys=[at(name)])
                                      if words in problem and "it is not copied" in problem] != [], True)
# The play's archive: one per content, found again by the next host.
fw = os.path.join(scratch, "fw")
os.makedirs(fw)
for name, text in (("firmware.cfg", "x"), ("HH6.BIN", "image")):
    kvtapefw_files.write_file(os.path.join(fw, name), text)
paths = k.remote_paths("/srv/kv", False, "", "/bin/true")
one, two = (kvtapefw_bundle.bundle(scratch + "/tmp", "/bin/true", "", fw, paths) for _ in range(2))
expect("one archive per content", [one["archive"] == two["archive"], [e["dest"] for e in one["manifest"]]],
       [True, ["/srv/kv/true", "/srv/kv/fwimage/HH6.BIN", "/srv/kv/fwimage/firmware.cfg"]])
kvtapefw_files.write_file(os.path.join(fw, "HH6.BIN"), "another image")
expect("another archive for other content", kvtapefw_bundle.bundle(scratch + "/tmp", "/bin/true", "", fw, paths)["sha256"] != one["sha256"], True)
EOF

# Six hosts, in inventory order, which is the order of the batches:
#   tape01 canary (batch 1): KTR320 and an Ultrium HH6, the HH6 set to skip in review
#   tape02 (batch 2): its HH6 refuses every WRITE BUFFER; an HH8 already current
#   tape03: VXA-320 and a current HH8      tape04: only a current HH8
#   tape05: no drive of the maker          tape06: KTR320, HH6 and VXA-320
hosts=(tape01 tape02 tape03 tape04 tape05 tape06)
ktr='{"address": 0, "product": "KTR320", "layout": "other", "firmware": "1.10", "hw_config": "0x0320", "lto": false}'
hh6='{"address": 1, "product": "ULTRIUM-HH6", "firmware": "2.05", "hw_config": "0x00a4"}'
hh6_bad='{"address": 1, "product": "ULTRIUM-HH6", "firmware": "2.05", "hw_config": "0x00a4", "faults": [{"cdb": "3b", "reply": "check", "sense": "05 26 00"}]}'
hh8='{"address": 3, "product": "ULTRIUM-HH8", "inquiry_number": "8", "firmware": "4.20", "hw_config": "0x00c8"}'
vxa='{"address": 2, "product": "VXA-320", "layout": "other", "firmware": "3.00", "hw_config": "0x0b20", "lto": false}'
acme='{"address": 0, "vendor": "ACME", "product": "ULTRIUM-HH6", "firmware": "1.00", "hw_config": "0x00a4"}'
drives_of() {
  case $1 in
    tape01) echo "$ktr, $hh6" ;;
    tape02) echo "$hh6_bad, $hh8" ;;
    tape03) echo "$vxa, $hh8" ;;
    tape04) echo "$hh8" ;;
    tape05) echo "$acme" ;;
    tape06) echo "${ktr/\"address\": 0/\"address\": 2}, ${hh6/\"address\": 1/\"address\": 4}, ${vxa/\"address\": 2/\"address\": 7}" ;;
  esac
}
{
  for host in "${hosts[@]}"; do
    mkdir -p "$work/$host/sysdrive"
    echo "{\"command_ms\": 1, \"drives\": [$(drives_of "$host")]}" >"$work/$host/bus.json"
    # tape04 leaves the setup log's root to the role: on a POSIX host, its
    # working folder.
    systemdrive=" kvtapefw_systemdrive=$work/$host/sysdrive"
    [ "$host" != tape04 ] || systemdrive=
    echo "$host ansible_connection=local kvtapefw_dir=$work/$host/kvtapefw$systemdrive kvtapefw_sim_bus=$work/$host/bus.json"
  done
  echo "[all:vars]"
  echo "kvtapefw_program=$program"
  echo "kvtapefw_fwimage=$work/fwimage"
  echo "kvtapefw_poll=1"
} >"$work/inventory.ini"
cp -r "$root/examples/fwimage" "$work/fwimage"

control=$work/control
mkdir -p "$control"
playbook() {  # playbook <name> <log name> [ansible-playbook arguments]: sets $rc
  local name=$1 log=$2 begin=$SECONDS
  shift 2
  set +e
  (cd "$control" && ansible-playbook -i "$work/inventory.ini" "$playbooks/$name.yml" "$@") >"$work/$log.txt" 2>&1
  rc=$?
  set -e
  echo "$((SECONDS - begin))" >"$work/$log.elapsed"
  echo "   $name.yml $* -> exit $rc ($((SECONDS - begin)) s)"
}
show_and_fail() {  # show_and_fail <log name> <message>
  echo "---- $1 ----" >&2
  cat "$work/$1.txt" >&2
  fail "$2"
}
expect_rc() {  # expect_rc <log name> <wanted exit code>
  [ "$rc" = "$2" ] || show_and_fail "$1" "ansible-playbook exit code $rc, expected $2"
}
firmware() {  # firmware <host>: "product=firmware ..." as the bus file holds it now
  python3 -c 'import json,sys; print(" ".join("%s=%s" % (d.get("product", "ULTRIUM-HH6"), d.get("firmware", "1.00")) for d in json.load(open(sys.argv[1]))["drives"]))' "$work/$1/bus.json"
}
expect_firmware() {  # expect_firmware <host> <wanted>
  local got
  got=$(firmware "$1")
  [ "$got" = "$2" ] || fail "$1's drives: $got, expected $2"
}
log_of() { if [ "$1" = tape04 ]; then echo "$work/$1/kvtapefw/vtxsystem/log/vtxsetup.log"; else echo "$work/$1/sysdrive/vtxsystem/log/vtxsetup.log"; fi; }
log_size() { stat -c %s "$(log_of "$1")" 2>/dev/null || echo 0; }
# expect_recap <log name> <host> <changed> <failed>: "-" leaves a count unchecked
expect_recap() {
  local line
  line=$(grep -E "^$2 +: ok=" "$work/$1.txt") || show_and_fail "$1" "no recap line for $2"
  if [ "$3" != - ]; then [[ $line =~ changed=$3\  ]] || show_and_fail "$1" "recap of $2: $line (expected changed=$3)"; fi
  if [ "$4" != - ]; then [[ $line =~ failed=$4\  ]] || show_and_fail "$1" "recap of $2: $line (expected failed=$4)"; fi
}
# expect_no_recap <log name> <host>: at most the argument check of the start play ran
expect_no_recap() {
  ! grep -qE "^$2 +: ok=([2-9]|[1-9][0-9])" "$work/$1.txt" || show_and_fail "$1" "$2 ran although the rollout should have stopped before it"
}
# expect_csv <wanted>: the rows (host,mode,state,exit_code,upgraded,skipped,failed), header checked too
expect_csv() {
  local got
  got=$(python3 - "$control/reports/rollout.csv" <<'EOF'
import csv, sys
rows = list(csv.reader(open(sys.argv[1])))
header = rows[0]
if header[0] != "host" or not {"state", "exit_code", "upgraded", "skipped", "failed"} <= set(header):
    print("bad header: %s" % header)
for row in rows[1:]:
    r = dict(zip(header, row))
    print(",".join(r[k] for k in ("host", "mode", "state", "exit_code", "upgraded", "skipped", "failed")))
EOF
)
  [ "$got" = "$1" ] || { cat "$control/reports/rollout.csv" >&2; fail "rollout.csv rows:
$got
expected:
$1"; }
}

# expect_drives <wanted>: drives.csv's rows in file order as host,device,serial,verdict,behind,mode, header checked
expect_drives() {
  local got
  got=$(python3 - "$control/reports/drives.csv" <<'EOF'
import csv, sys
rows = list(csv.reader(open(sys.argv[1])))
want = "host,device,serial,vendor,product,firmware_before,target_version,firmware_after,verdict,reason,behind,mode,finished,action"
if ",".join(rows[0]) != want:
    print("bad header: %s" % rows[0])
for row in rows[1:]:
    r = dict(zip(rows[0], row))
    print(",".join(r[k] for k in ("host", "device", "serial", "verdict", "behind", "mode")))
EOF
)
  [ "$got" = "$1" ] || { cat "$control/reports/drives.csv" >&2; fail "drives.csv rows:
$got
expected:
$1"; }
}
# check_page <name>: renders reports/rollout.html in headless Chromium from
# a copy of the file alone (a screenshot, $work/<name>.png, for people, and
# the DOM as the browser built it) and checks from that DOM that every drive
# of the rehearsal's bus files and every row of drives.csv is there with its
# verdict, failed rows before the others and those behind before the rest,
# and that nothing in the page would load anything from outside it.
check_page() {
  local name=$1 page=$work/$1/rollout.html
  mkdir -p "$work/$name"
  cp "$control/reports/rollout.html" "$page"
  local flags=(--headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking
    --disable-component-update --disable-sync --user-data-dir="$work/$name/profile" "--window-size=1400,1800")
  timeout 120 chromium "${flags[@]}" --screenshot="$work/$name.png" "file://$page" >"$work/$name/chromium.txt" 2>&1 ||
    { cat "$work/$name/chromium.txt" >&2; fail "chromium could not take a screenshot of rollout.html"; }
  timeout 120 chromium "${flags[@]}" --dump-dom "file://$page" >"$work/$name/dom.html" 2>>"$work/$name/chromium.txt" ||
    { cat "$work/$name/chromium.txt" >&2; fail "chromium could not render rollout.html"; }
  [ -s "$work/$name.png" ] || fail "no screenshot of rollout.html"
  echo "   screenshot of rollout.html: $work/$name.png"
  python3 - "$work/$name/dom.html" "$control/reports/drives.csv" "$work" "${hosts[@]}" <<'EOF' || fail "rollout.html as rendered"
import csv, html.parser, json, sys
dom, drives, work, hosts = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
OUTSIDE = {"src", "srcset", "data", "poster", "action", "formaction", "background", "ping", "manifest", "xlink:href"}
LOADING = {"script", "link", "img", "iframe", "frame", "object", "embed", "video", "audio", "source", "base", "picture"}

class Page(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.rows, self.problems, self.row, self.cell, self.style = [], [], None, None, ""
        self.in_style = False
    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag in LOADING:
            self.problems.append("a <%s> element" % tag)
        if tag == "meta" and attrs.get("http-equiv"):
            self.problems.append("a meta http-equiv")
        for name, value in attrs.items():
            if name in OUTSIDE or (name == "href" and not (value or "").startswith("#")):
                self.problems.append("%s=%r on <%s>" % (name, value, tag))
            if name == "style" and ("url(" in value or "@import" in value):
                self.problems.append("a style attribute that loads %r" % value)
        if tag == "style":
            self.in_style = True
        if tag == "tr" and "data-device" in attrs:
            self.row = dict(attrs, cells=[])
        if tag == "td" and self.row is not None:
            self.cell = []
    def handle_endtag(self, tag):
        if tag == "style":
            self.in_style = False
        if tag == "td" and self.row is not None and self.cell is not None:
            self.row["cells"].append("".join(self.cell).strip())
            self.cell = None
        if tag == "tr" and self.row is not None:
            self.rows.append(self.row)
            self.row = None
    def handle_data(self, data):
        if self.in_style:
            self.style += data
        if self.cell is not None:
            self.cell.append(data)

page = Page()
page.feed(open(dom, encoding="utf-8").read())
if "url(" in page.style or "@import" in page.style:
    page.problems.append("the style sheet loads something")
if page.problems:
    raise SystemExit("rollout.html would load from outside the page: %s" % "; ".join(sorted(set(page.problems))))
header = None
want = []
for row in csv.reader(open(drives)):
    if header is None:
        header = row
        continue
    want.append(dict(zip(header, row)))
# Each row as a person sees it: host, device, serial and the verdict's word.
shown = [(r["cells"][0], r["cells"][1], r["cells"][2], r["cells"][8].lower()) for r in page.rows]
listed = [(r["host"], r["device"], r["serial"], r["verdict"]) for r in want]
if shown != listed:
    raise SystemExit("the page's rows %s differ from drives.csv's %s" % (shown, listed))
# Every drive of the maker on the rehearsal's buses is on the page.
for host in hosts:
    for drive in json.load(open("%s/%s/bus.json" % (work, host)))["drives"]:
        if drive.get("vendor", "KV") == "KV" and drive.get("open", "ok") == "ok" and \
                not any(s[0] == host and s[1] == "/dev/nst%d" % drive["address"] for s in shown):
            raise SystemExit("%s's drive at %d is not on the page" % (host, drive["address"]))
groups = [r["class"] for r in page.rows]
rank = {"failed": 0, "behind": 1, "rest": 2}
if [rank[g] for g in groups] != sorted(rank[g] for g in groups):
    raise SystemExit("the page's rows are not failed first, then behind, then the rest: %s" % groups)
for r in page.rows:
    failed = r["data-verdict"] in ("failed", "unreachable") or r["cells"][9].startswith("it could not be examined")
    if (r["class"] == "failed") != failed or (r["class"] == "behind") != (not failed and r["cells"][10] == "behind"):
        raise SystemExit("%s %s is in the group %s" % (r["data-host"], r["data-device"], r["class"]))
print("   rollout.html: %d rows, %d failed first, nothing from outside the page" % (len(shown), groups.count("failed")))
EOF
}

ktr_new=KTR320=1.20 hh6_old=ULTRIUM-HH6=2.05 hh6_new=ULTRIUM-HH6=2.10
vxa_new=VXA-320=3.10 hh8=ULTRIUM-HH8=4.20 acme=ULTRIUM-HH6=1.00

echo "== rollout 1: discover, review, upgrade (stops at tape02), report"
playbook discover discover1
expect_rc discover1 0
for host in "${hosts[@]}"; do expect_recap discover1 "$host" - 0; done
# Each drive by its node, vendor, product and serial; versions as the drive
# and the catalogue write them.
for line in "tape01  /dev/nst0 KV KTR320 KV00000000  0x000320  running 1.10  catalogue 1.20  upgrade" \
  "tape01  /dev/nst1 KV ULTRIUM-HH6 KV00000001  0x0000a4  running 2.05  catalogue 2.10  upgrade" \
  "tape03  /dev/nst3 KV ULTRIUM-HH8 KV00000003  0x0000c8  running 4.20  catalogue 4.20  skip" \
  "tape05  no tape drive of the maker" \
  "tape06  /dev/nst7 KV VXA-320 KV00000007  0x000b20  running 3.00  catalogue 3.10  upgrade"; do
  grep -qF "\"$line\"" "$work/discover1.txt" || show_and_fail discover1 "discover did not list: $line"
done
[ "$(grep -cE '"tape0[1-6]  ' "$work/discover1.txt")" = 11 ] || show_and_fail discover1 "discover should list 11 lines (10 drives, 1 host without)"
for host in tape01 tape02 tape03 tape04 tape06; do
  [ -s "$control/plans/$host.xml" ] || fail "no plan fetched for $host"
done
[ ! -e "$control/plans/tape05.xml" ] || fail "a plan was fetched for tape05, which has no drive"
python3 - "$control/plans" "$work/fwimage/firmware.cfg" "$work/facts" <<'EOF' || fail "fetched plans or their discovery reports do not match each host"
import hashlib, json, os, sys, xml.etree.ElementTree as ET
want = {"tape01": ["0", "1"], "tape02": ["1", "3"], "tape03": ["2", "3"], "tape04": ["3"], "tape06": ["2", "4", "7"]}
catalogue = hashlib.sha256(open(sys.argv[2], "rb").read()).hexdigest()
for host, buses in want.items():
    got = [d.find("busnumber").get("value") for d in ET.parse("%s/%s.xml" % (sys.argv[1], host)).iter("device")]
    if got != buses:
        raise SystemExit("%s: plan lists drives at %s, expected %s" % (host, got, buses))
    report = json.load(open("%s/%s.discover.json" % (sys.argv[1], host)))
    if report["mode"] != "discover" or report["catalogue"]["sha256"] != catalogue:
        raise SystemExit("%s: discovery report kept with the plan: %s, catalogue %s" % (host, report["mode"], report["catalogue"]))
for name in os.listdir(sys.argv[3]):
    if "env" in json.load(open(os.path.join(sys.argv[3], name))):
        raise SystemExit("the fact cache holds the environment of %s" % name)
EOF

# Review: tape01's HH6 is not to be flashed this time.
python3 - "$control/plans/tape01.xml" <<'EOF'
import sys, xml.etree.ElementTree as ET
path = sys.argv[1]
tree = ET.parse(path)
edited = 0
for device in tree.iter("device"):
    if device.find("product_id").get("value") == "ULTRIUM-HH6":
        device.find("fw_item/action").set("value", "skip")
        edited += 1
assert edited == 1, edited
tree.write(path, encoding="UTF-8", xml_declaration=True)
EOF

cp "$work/tape02/bus.json" "$work/tape02.bus.before"
for host in tape03 tape04 tape05 tape06; do
  cp "$work/$host/bus.json" "$work/$host.bus.before"
  log_size "$host" >"$work/$host.log.before"
done
playbook upgrade upgrade1
[ "$rc" != 0 ] || show_and_fail upgrade1 "the rollout went on although tape02 failed"
expect_recap upgrade1 tape01 1 0
# tape02's drive was sent image data before it refused it: changed and failed.
expect_recap upgrade1 tape02 1 1
for host in tape03 tape04 tape05 tape06; do
  expect_no_recap upgrade1 "$host"
  cmp -s "$work/$host/bus.json" "$work/$host.bus.before" || fail "$host's drives were touched after the rollout stopped"
  [ "$(log_size "$host")" = "$(cat "$work/$host.log.before")" ] || fail "$host's setup log grew after the rollout stopped"
done
expect_firmware tape01 "$ktr_new $hh6_old"
cmp -s "$work/tape02/bus.json" "$work/tape02.bus.before" || fail "tape02's drives changed although its image was refused"
grep -q "Result : Flash failure" "$work/upgrade1.txt" || show_and_fail upgrade1 "tape02's failure does not show the program's result"
# Its drive refused the first chunk: not "image sent".
grep -qE "/dev/nst1 KV ULTRIUM-HH6 KV00000001 2\.05: failed \(upgrade\), the drive refused the first chunk of its image: ." "$work/upgrade1.txt" ||
  show_and_fail upgrade1 "tape02's failure does not name the drive that failed and why"

playbook report report1
expect_rc report1 0
expect_csv "tape01,plan,changed,1,1,1,0
tape02,plan,failed,0,0,1,1"
grep -q "tape03, tape04, tape05, tape06" "$control/reports/rollout.md" || fail "rollout.md does not name the hosts not reached"
for file in "$work/upgrade1.txt" "$control/reports/rollout.csv" "$control/reports/rollout.md"; do
  grep -qE "/dev/nst1 KV ULTRIUM-HH6 KV00000001: [^;]*WRITE BUFFER[^;]*CHECK CONDITION, ILLEGAL REQUEST, [A-Z].*\(26h/00h\)" "$file" ||
    { cat "$file" >&2; fail "$file does not give the command, status, sense and meaning tape02's drive failed with"; }
done
[ -s "$control/reports/logs/tape02.vtxsetup.log" ] || fail "the upgrade did not fetch tape02's setup log"
[ "$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["exit_code"])' "$control/reports/runs/tape02-upgrade-from-document.json")" = 0 ] ||
  fail "tape02's run report was not fetched to reports/runs/tape02-upgrade-from-document.json"

echo "== the fleet drive by drive after rollout 1: drives.csv and rollout.html"
# tape02's refused HH6 first; then the drives older than the catalogue
# (tape01's HH6 set to skip, and those of hosts not reached, as discover saw
# them); tape05, without a drive of the maker, has a row of its own.
# The reviewed skip is "skipped (reviewed)", still behind; discovered
# drives show the action planned for each.
expect_drives "tape02,/dev/nst1,KV00000001,failed,yes,upgrade-from-document
tape01,/dev/nst1,KV00000001,skipped (reviewed),yes,upgrade-from-document
tape03,/dev/nst2,KV00000002,upgrade planned,yes,discover
tape06,/dev/nst2,KV00000002,upgrade planned,yes,discover
tape06,/dev/nst4,KV00000004,upgrade planned,yes,discover
tape06,/dev/nst7,KV00000007,upgrade planned,yes,discover
tape01,/dev/nst0,KV00000000,success,no,upgrade-from-document
tape02,/dev/nst3,KV00000003,skipped (reviewed),no,upgrade-from-document
tape03,/dev/nst3,KV00000003,skip planned,no,discover
tape04,/dev/nst3,KV00000003,skip planned,no,discover
tape05,,,no-drive,,discover"
grep -qE '^tape02,/dev/nst1,.*,failed,[^,]*WRITE BUFFER[^,]*CHECK CONDITION, ILLEGAL REQUEST, [A-Z].*\(26h/00h\)' "$control/reports/drives.csv" ||
  { cat "$control/reports/drives.csv" >&2; fail "drives.csv does not give the failure text of tape02's drive"; }
check_page page1

# With batches of one, Ansible would stop after tape02 even without
# max_fail_percentage; a batch of two where one host fails shows that the
# first failure, not a whole failed batch, ends the rollout.
echo "== a batch of two with one failing host stops the rollout"
log_size tape04 >"$work/tape04.log.before"
cp "$work/tape04/bus.json" "$work/tape04.bus.before"
playbook upgrade upgrade1b -e '{"kvtapefw_serial": [2]}' --limit tape02,tape03,tape04
[ "$rc" != 0 ] || show_and_fail upgrade1b "the rollout went on although tape02 failed"
expect_recap upgrade1b tape02 1 1
expect_recap upgrade1b tape03 1 0
expect_no_recap upgrade1b tape04
[ "$(log_size tape04)" = "$(cat "$work/tape04.log.before")" ] || fail "tape04 ran after a batch with a failed host"
cmp -s "$work/tape04/bus.json" "$work/tape04.bus.before" || fail "tape04's drives were touched after a batch with a failed host"
expect_firmware tape03 "$vxa_new $hh8"

# A group variable called "mode" is common: it must not switch the role to
# upgrade-all, which would list no plan lines here.
echo "== a check run sends nothing and says what the plans would send"
snapshot() { find "$work"/tape0? "$control" -printf '%p %s %T@\n' | sort; }
snapshot >"$work/check.before"
playbook upgrade check --check -e mode=all
expect_rc check 0
for line in "/dev/nst1 KV ULTRIUM-HH6 KV00000001: would send 2.10 (upgrade) over 2.05" \
  "/dev/nst0 KV KTR320 KV00000000: already at 1.20, nothing sent" "/dev/nst1 KV ULTRIUM-HH6 KV00000001: skip, nothing sent" \
  "/dev/nst2 KV VXA-320 KV00000002: already at 3.10, nothing sent" "/dev/nst7 KV VXA-320 KV00000007: would send 3.10 (upgrade) over 3.00"; do
  grep -qF "\"$line\"" "$work/check.txt" || show_and_fail check "the check run did not say: $line"
done
snapshot | diff "$work/check.before" - >&2 || fail "the check run wrote or removed files"

echo "== a catalogue changed since discover refuses the plan, not a host without drive"
cp -r "$work/fwimage" "$work/fwimage-changed"
echo '$ one more comment' >>"$work/fwimage-changed/firmware.cfg"
log_size tape04 >"$work/tape04.log.before"
playbook upgrade catalogue -e "kvtapefw_fwimage=$work/fwimage-changed" -e '{"kvtapefw_serial": [2]}' --limit tape04,tape05
[ "$rc" != 0 ] || show_and_fail catalogue "the upgrade went on with a changed catalogue"
expect_recap catalogue tape04 0 1
expect_recap catalogue tape05 0 0
grep -q "catalogue changed since the plan was made.*discover again" "$work/catalogue.txt" || show_and_fail catalogue "tape04's refusal does not say to discover again"
[ "$(log_size tape04)" = "$(cat "$work/tape04.log.before")" ] || fail "the program ran on tape04 although its catalogue changed"

echo "== rollout 2: tape02 fixed, the same plans again"
python3 - "$work/tape02/bus.json" <<'EOF'
import json, sys
bus = json.load(open(sys.argv[1]))
for drive in bus["drives"]:
    drive.pop("faults", None)
json.dump(bus, open(sys.argv[1], "w"), indent=2)
EOF
playbook upgrade upgrade2
expect_rc upgrade2 0
for host in tape02 tape06; do expect_recap upgrade2 "$host" 1 0; done
for host in tape01 tape03 tape04 tape05; do expect_recap upgrade2 "$host" 0 0; done
expect_firmware tape01 "$ktr_new $hh6_old"
expect_firmware tape02 "$hh6_new $hh8"
expect_firmware tape03 "$vxa_new $hh8"
expect_firmware tape04 "$hh8"
grep -q "Product ID: ULTRIUM-HH8, Action: skip" "$(log_of tape04)" || fail "tape04's setup log is not under its working folder"
expect_firmware tape05 "$acme"
expect_firmware tape06 "$ktr_new $hh6_new $vxa_new"
playbook report report2
expect_rc report2 0
expect_csv "tape01,plan,ok,1,0,2,0
tape02,plan,changed,1,1,1,0
tape03,plan,ok,1,0,2,0
tape04,plan,ok,1,0,1,0
tape05,plan,ok,,0,0,0
tape06,plan,changed,1,3,0,0"

echo "== every run kept what it replaced: the first rollout's proof is in reports/history"
python3 - "$control/reports/history" <<'EOF' || fail "reports/history does not hold the first rollout's reports"
import json, os, re, sys
history = sys.argv[1]
folders = sorted(os.listdir(history))
bad = [name for name in folders if not re.match(r"^[0-9]{8}T[0-9]{6}Z(-[0-9]+)?$", name)]
if bad:
    raise SystemExit("folders not named by UTC time: %s" % bad)
refused = [name for name in folders
           if os.path.isfile(os.path.join(history, name, "runs/tape02-upgrade-from-document.json"))
           and json.load(open(os.path.join(history, name, "runs/tape02-upgrade-from-document.json")))["exit_code"] == 0]
if not refused:
    raise SystemExit("tape02's refused upgrade report (exit code 0) is in none of %s" % folders)
first = [name for name in folders if os.path.isfile(os.path.join(history, name, "rollout.csv"))
         and ",failed," in open(os.path.join(history, name, "rollout.csv")).read()]
if not first:
    raise SystemExit("the first rollout.csv, with tape02 failed, is in none of %s" % folders)
for name in folders:
    if not os.listdir(os.path.join(history, name)):
        raise SystemExit("history/%s is empty" % name)
print("   %d history folders; tape02's refused run in %s, the first rollout.csv in %s" % (len(folders), refused[0], first[0]))
EOF

echo "== rollout 3: the same plans once more, nothing left to do"
for host in "${hosts[@]}"; do cp "$work/$host/bus.json" "$work/$host.bus.before"; done
playbook upgrade upgrade3
expect_rc upgrade3 0
for host in "${hosts[@]}"; do
  expect_recap upgrade3 "$host" 0 0
  cmp -s "$work/$host/bus.json" "$work/$host.bus.before" || fail "$host's drives changed in a rollout with nothing to do"
done

echo "== an unreachable host stops the rollout and gets its row"
echo "tape99 ansible_connection=ssh ansible_host=127.0.0.1 ansible_port=9 ansible_ssh_common_args='-o ConnectTimeout=5 -o BatchMode=yes' kvtapefw_dir=/srv/kvtapefw" >"$work/unreachable.ini"
playbook upgrade unreachable -i "$work/unreachable.ini" -e '{"kvtapefw_serial": [2]}' --limit tape04,tape99
[ "$rc" != 0 ] || show_and_fail unreachable "the rollout went on past an unreachable host"
expect_recap unreachable tape04 0 0
expect_recap unreachable tape99 0 1
# Run with --limit, the upgrade and the report replace tape04's and tape99's
# rows; the other hosts keep those of rollout 3.
playbook report report-unreachable -i "$work/unreachable.ini" --limit tape04,tape99
expect_rc report-unreachable 0
expect_csv "tape01,plan,ok,1,0,2,0
tape02,plan,ok,1,0,2,0
tape03,plan,ok,1,0,2,0
tape04,plan,ok,1,0,1,0
tape05,plan,ok,,0,0,0
tape06,plan,ok,1,0,3,0
tape99,plan,unreachable,,0,0,0"
grep -qE '^tape99,,,,,,,,unreachable,"?unreachable: ' "$control/reports/drives.csv" || fail "drives.csv does not say that tape99 was unreachable"
grep -q "^| tape99 | unreachable |.*unreachable: " "$control/reports/rollout.md" || fail "rollout.md does not say that tape99 was unreachable"

echo "== a host name that is not a safe file name is refused before any file is written"
echo "up/../escape ansible_connection=local kvtapefw_dir=$work/escape" >"$work/badname.ini"
playbook upgrade badname -i "$work/badname.ini" --limit 'up*'
grep -q "is not a safe file name" "$work/badname.txt" || show_and_fail badname "the host name up/../escape was not refused"
[ "$(find "$control" -newer "$work/badname.ini" -type f | wc -l)" = 0 ] || fail "files were written for the host up/../escape"

echo "== upgrade all on one host whose drive was replaced by an older one"
sed -i 's/"firmware": "4.20"/"firmware": "4.10"/' "$work/tape04/bus.json"
expect_firmware tape04 "ULTRIUM-HH8=4.10"
playbook upgrade upgrade4 -e kvtapefw_mode=all --limit tape04
expect_rc upgrade4 0
expect_recap upgrade4 tape04 1 0
expect_firmware tape04 "$hh8"
playbook report report4 --limit tape04
expect_rc report4 0
# tape99, of another inventory, keeps its row after the hosts of this one.
expect_csv "tape01,plan,ok,1,0,2,0
tape02,plan,ok,1,0,2,0
tape03,plan,ok,1,0,2,0
tape04,all,changed,1,1,0,0
tape05,plan,ok,,0,0,0
tape06,plan,ok,1,0,3,0
tape99,plan,unreachable,,0,0,0"
expect_drives "tape99,,,unreachable,,
tape01,/dev/nst1,KV00000001,skipped (reviewed),yes,upgrade-from-document
tape01,/dev/nst0,KV00000000,success,no,upgrade-from-document
tape02,/dev/nst1,KV00000001,success,no,upgrade-from-document
tape02,/dev/nst3,KV00000003,skipped (reviewed),no,upgrade-from-document
tape03,/dev/nst2,KV00000002,success,no,upgrade-from-document
tape03,/dev/nst3,KV00000003,skipped (reviewed),no,upgrade-from-document
tape04,/dev/nst3,KV00000003,success,no,upgrade-all
tape05,,,no-drive,,discover
tape06,/dev/nst2,KV00000002,success,no,upgrade-from-document
tape06,/dev/nst4,KV00000004,success,no,upgrade-from-document
tape06,/dev/nst7,KV00000007,success,no,upgrade-from-document"
grep -q '^tape04,/dev/nst3,KV00000003,KV,ULTRIUM-HH8,4.10,4.20,4.20,success,' "$control/reports/drives.csv" ||
  fail "drives.csv does not show tape04's drive upgraded from 4.10 to 4.20"
check_page page4

echo "== a device that could not be examined fails discovery, leaves the plan and keeps the host from the upgrade"
plans=$control/plans
mkdir -p "$work/kept"
for host in tape04 tape05; do
  cp "$work/$host/bus.json" "$work/$host.bus.before"
  sed -i 's/"drives": \[/"drives": [{"address": 5, "open": "fail"}, /' "$work/$host/bus.json"
done
kept="tape04.xml tape04.discovered.xml tape04.discover.json tape05.nodrive"
(cd "$plans" && cp $kept "$work/kept/")
playbook discover unexamined --limit tape04,tape05
[ "$rc" != 0 ] || show_and_fail unexamined "discover passed with a device it could not examine"
for host in tape04 tape05; do
  expect_recap unexamined "$host" - 1
  grep -qE "\"$host  discover failed: [^\"]*/dev/nst5: it could not be examined" "$work/unexamined.txt" ||
    show_and_fail unexamined "$host is not listed as failed because /dev/nst5 could not be examined"
done
for file in $kept; do cmp -s "$work/kept/$file" "$plans/$file" || fail "the failed discovery changed or removed plans/$file"; done
playbook upgrade unexamined-upgrade -e '{"kvtapefw_serial": [2]}' --limit tape04,tape05
[ "$rc" != 0 ] || show_and_fail unexamined-upgrade "hosts whose discovery failed were upgraded"
for host in tape04 tape05; do expect_recap unexamined-upgrade "$host" 0 1; done
grep -q "the last discovery failed (.*could not be examined.*): mend that and discover again" "$work/unexamined-upgrade.txt" ||
  show_and_fail unexamined-upgrade "the refusal does not say that the last discovery failed and why"
for host in tape04 tape05; do cp "$work/$host.bus.before" "$work/$host/bus.json"; done
playbook discover unexamined-mended --limit tape04,tape05
expect_rc unexamined-mended 0

# tape01 was reviewed (its HH6 to skip); a second review sets its KTR320 to
# rewrite, against the discovery that saw it at 1.10 before the upgrade.
echo "== discover again after a review carries the reviewed actions forward and keeps the old plan"
python3 -c 'import sys, xml.etree.ElementTree as ET; t = ET.parse(sys.argv[1]); [d.find("fw_item/action").set("value", "rewrite")
  for d in t.iter("device") if d.find("product_id").get("value") == "KTR320"]; t.write(sys.argv[1])' "$plans/tape01.xml"
cp "$plans/tape01.xml" "$work/tape01.reviewed.xml"
actions() {  # actions <document>: "product=action ..."
  python3 -c 'import sys, xml.etree.ElementTree as ET; print(" ".join("%s=%s" % (d.find("product_id").get("value"), d.find("fw_item/action").get("value")) for d in ET.parse(sys.argv[1]).iter("device")))' "$1"
}
for round in 1 2; do
  playbook discover rediscover$round --limit tape01
  expect_rc rediscover$round 0
  [ "$(actions "$plans/tape01.xml")" = "KTR320=skip ULTRIUM-HH6=skip" ] ||
    fail "discover $round after the review: tape01's plan holds $(actions "$plans/tape01.xml"), expected the HH6's reviewed skip carried"
  grep -qF '"tape01  carried skip for TAPE1 (card 0, lun 0) 0x0000a4 ULTRIUM-HH6 running 2.05 from the reviewed plan' "$work/rediscover$round.txt" ||
    show_and_fail rediscover$round "discover did not list the action it carried"
  kept=$(find "$plans" -name 'tape01.xml.*' | sort)
  [ "$(echo "$kept" | grep -cE '/tape01\.xml\.[0-9]{8}T[0-9]{6}Z$')" = "$round" ] || fail "kept plans after discover $round: $kept"
done
cmp -s "$(echo "$kept" | head -1)" "$work/tape01.reviewed.xml" || fail "the reviewed plan was not kept as it was"
grep -qF '"tape01  reviewed TAPE0 (card 0, lun 0) 0x000320 KTR320 running 1.1 (rewrite) is not found as it was' "$work/rediscover1.txt" ||
  show_and_fail rediscover1 "discover did not list the reviewed drive that changed since"

# A program that takes 15 s on each host: run one host after the other, the
# batch would take a minute; side by side, every run starts before any ends,
# and the runs, from the first start to the last end, take less than the sum
# of their own durations. Nothing here depends on how fast the machine is.
echo "== a batch of four runs side by side with one fork"
mkdir -p "$work/slow"
cat >"$work/slow/kvtapefw" <<EOF
#!/bin/sh
[ "\$1" != --version ] || exec "$program" "\$@"
begin=\$(date +%s.%N)
sleep 15
"$program" "\$@"
rc=\$?
echo "\$begin \$(date +%s.%N)" >>times
exit \$rc
EOF
chmod +x "$work/slow/kvtapefw"
playbook upgrade parallel -f 1 -e "kvtapefw_program=$work/slow/kvtapefw" -e '{"kvtapefw_serial": [4]}' --limit tape01,tape02,tape03,tape04
expect_rc parallel 0
python3 - "$work" <<'EOF' || fail "the batch's runs did not overlap"
import sys
spans = [tuple(map(float, open("%s/%s/kvtapefw/times" % (sys.argv[1], host)).read().split()))
         for host in ("tape01", "tape02", "tape03", "tape04")]
last_start, first_end = max(s for s, _ in spans), min(e for _, e in spans)
batch, one_by_one = max(e for _, e in spans) - min(s for s, _ in spans), sum(e - s for s, e in spans)
print("   4 runs of 15 s: all started within %.1f s, the batch's runs took %.1f s, one after another %.1f s"
      % (last_start - min(s for s, _ in spans), batch, one_by_one))
if last_start >= first_end:
    raise SystemExit("a run started only after another had ended")
if batch >= one_by_one:
    raise SystemExit("the batch took no less than its runs one after another")
EOF
# The reviewed skip that the later discoveries carried held in this upgrade.
expect_firmware tape01 "$ktr_new $hh6_old"

echo "== a program that hangs is stopped at kvtapefw_timeout"
mkdir -p "$work/hung"
# It starts (the role's --version passes), then hangs in its run.
printf '#!/bin/sh\n[ "$1" != --version ] || exec "%s" "$@"\nsleep 60\nexec "%s" "$@"\n' "$program" "$program" >"$work/hung/kvtapefw"
chmod +x "$work/hung/kvtapefw"
log_size tape04 >"$work/tape04.log.before"
playbook upgrade timeout -e "kvtapefw_program=$work/hung/kvtapefw" -e kvtapefw_timeout=2 --limit tape04
[ "$rc" != 0 ] || show_and_fail timeout "a program stopped at the time limit passed"
expect_recap timeout tape04 - 1
grep -q "kvtapefw was stopped after kvtapefw_timeout (2 s)" "$work/timeout.txt" || show_and_fail timeout "the failure does not say the time limit stopped the program"
[ "$(log_size tape04)" = "$(cat "$work/tape04.log.before")" ] || fail "the hung program on tape04 was not stopped before it ran"
# outcome_shown <log name> <host>: how the task showing the host's outcome ended (ok, changed, failed)
outcome_shown() {
  sed -n '/^TASK \[kvtapefw : Show the outcome\]/,/^TASK /p' "$work/$1.txt" | sed -nE "s/^([a-z]+): \[$2\].*/\1/p" | head -1
}
# Without a report of its own the run may have sent anything: changed, and the setup log is where to look.
[ "$(outcome_shown timeout tape04)" = changed ] || show_and_fail timeout "tape04, with no report of its run, is not changed"
grep -qF "what was sent is unknown; see the setup log $control/reports/logs/tape04.vtxsetup.log" "$work/timeout.txt" ||
  show_and_fail timeout "the failure does not send people to tape04's setup log"

# The program writes its report as it goes: this one is stopped at the time
# limit after it sent image data, its report unfinished.
echo "== a run stopped with its report unfinished, after image data went to a drive"
mkdir -p "$work/cut"
cat >"$work/cut/kvtapefw" <<'EOF'
#!/bin/sh
[ "$1" != --version ] || { echo "kvtapefw (cut short)"; exit 0; }
echo "WRITE BUFFER sent to device 1, then nothing more" >>"$systemdrive/vtxsystem/log/vtxsetup.log"
printf '{"format": 1, "mode": "upgrade-from-document", "started": "%s", "finished": null, "exit_code": null, "result": null, "setup_log": "%s", "devices": [{"device": 1, "card": 0, "lun": 0, "flashed": true, "verdict": "planned", "reason": "under way"}]}' \
  "$(date -u +%Y-%m-%dT%H:%M:%SZ)" "$systemdrive/vtxsystem/log/vtxsetup.log" >"$KVFW_REPORT"
exec sleep 60
EOF
chmod +x "$work/cut/kvtapefw"
playbook upgrade cut -e "kvtapefw_program=$work/cut/kvtapefw" -e kvtapefw_timeout=2 --limit tape01
expect_recap cut tape01 - 1
[ "$(outcome_shown cut tape01)" = changed ] || show_and_fail cut "tape01, stopped after it sent image data, is not changed"
grep -q '"finished": null' "$control/reports/runs/tape01-upgrade-from-document.json" || fail "tape01's unfinished report was not fetched"
grep -q "WRITE BUFFER sent to device 1" "$control/reports/logs/tape01.vtxsetup.log" || fail "tape01's setup log was not fetched"
grep -qF "what was sent is unknown; see the setup log $control/reports/logs/tape01.vtxsetup.log" "$work/cut.txt" ||
  show_and_fail cut "tape01's failure does not say that what was sent is unknown"

# A program that does not stop when asked is ended kvtapefw_stop_grace
# seconds after the request: the request comes first, and nothing of it
# is left running.
echo "== a program that does not stop when asked is ended kvtapefw_stop_grace later"
mkdir -p "$work/stubborn"
cat >"$work/stubborn/kvtapefw" <<'EOF'
#!/bin/sh
[ "$1" != --version ] || { echo "kvtapefw (stubborn)"; exit 0; }
echo $$ >stubborn.pid
trap 'echo asked to stop >>stubborn.log' TERM
while :; do sleep 1; done
EOF
chmod +x "$work/stubborn/kvtapefw"
rm -f "$work/tape04/kvtapefw/stubborn.log"
playbook upgrade stubborn -e "kvtapefw_program=$work/stubborn/kvtapefw" -e kvtapefw_timeout=2 -e kvtapefw_stop_grace=2 --limit tape04
[ "$rc" != 0 ] || show_and_fail stubborn "a program that did not stop passed"
expect_recap stubborn tape04 - 1
grep -q "kvtapefw was stopped after kvtapefw_timeout (2 s), and ended 2 s later as it had not stopped" "$work/stubborn.txt" ||
  show_and_fail stubborn "the failure does not say that the program was ended after it did not stop"
grep -q "asked to stop" "$work/tape04/kvtapefw/stubborn.log" || fail "the program was not asked to stop before it was ended"
# Ended: gone, or a zombie its reaper has not collected yet.
case $(ps -o stat= -p "$(cat "$work/tape04/kvtapefw/stubborn.pid")" || true) in
  "" | Z*) ;;
  *) fail "the program that did not stop is still running" ;;
esac

# The archive is checked whole on the host before any file takes its place.
echo "== a host whose archive arrives cut stages nothing"
mkdir -p "$work/newer"
cp "$program" "$work/newer/kvtapefw"
printf '\n' >>"$work/newer/kvtapefw"
cp "$work/tape04/kvtapefw/kvtapefw" "$work/tape04.program.before"
log_size tape04 >"$work/tape04.log.before"
export KVFW_CUT_ARCHIVE=1
playbook discover cutarchive -e ansible_connection=kvfw_local -e "kvtapefw_program=$work/newer/kvtapefw" --limit tape04
unset KVFW_CUT_ARCHIVE
[ "$rc" != 0 ] || show_and_fail cutarchive "discover passed with a cut archive"
expect_recap cutarchive tape04 - 1
grep -qF '"tape04  discover failed: kvtapefw could not be staged or run: the archive arrived cut or altered (' "$work/cutarchive.txt" ||
  show_and_fail cutarchive "the failure does not say that the archive arrived cut"
cmp -s "$work/tape04/kvtapefw/kvtapefw" "$work/tape04.program.before" || fail "a cut archive replaced tape04's program"
[ "$(log_size tape04)" = "$(cat "$work/tape04.log.before")" ] || fail "a program ran on tape04 after its archive arrived cut"
[ -z "$(find "$work/tape04" "$ANSIBLE_REMOTE_TEMP" -name 'kvtapefw-*.tar.gz')" ] || fail "the cut archive was left on tape04"

# The program runs in a session of its own: a connection lost while the
# role waits for it does not cut it. The host fails, unreachable and
# changed, and the run goes on to its end there.
echo "== a host lost while the role waits for its run"
mkdir -p "$work/lost"
cat >"$work/lost/kvtapefw" <<EOF
#!/bin/sh
[ "\$1" != --version ] || exec "$program" "\$@"
touch "$work/lost/running"
sleep 3
exec "$program" "\$@"
EOF
chmod +x "$work/lost/kvtapefw"
rm -f "$work/lost/running"
export KVFW_LOSE_WHEN=$work/lost/running
playbook upgrade lost -e ansible_connection=kvfw_local -e "kvtapefw_program=$work/lost/kvtapefw" --limit tape01
unset KVFW_LOSE_WHEN
[ "$rc" != 0 ] || show_and_fail lost "the rollout went on past a host lost while it ran"
expect_recap lost tape01 - 1
[ "$(outcome_shown lost tape01)" = changed ] || show_and_fail lost "tape01, lost while its program ran, is not changed"
grep -q "the connection to tape01 was lost while kvtapefw ran (.*): what was sent is unknown" "$work/lost.txt" ||
  show_and_fail lost "the failure does not say that the connection was lost while the program ran"
grep -q '"state": "unreachable"' "$control/reports/hosts/tape01.json" || fail "tape01's outcome is not unreachable"
finished() { python3 -c 'import json, sys; sys.exit(0 if json.load(open(sys.argv[1])).get("finished") else 1)' "$1" 2>/dev/null; }
for _ in $(seq 120); do finished "$work/tape01/kvtapefw/run-report.json" && break; sleep 1; done
finished "$work/tape01/kvtapefw/run-report.json" || fail "the program on tape01 did not run to its end after the connection was lost"

# A program that cannot start fails the host with the loader's words when
# the role runs it with --version, before discovery: nothing is run, the
# plan stays, and the upgrade refuses the host until a discovery passes.
echo "== a program that does not start (a library missing) fails the host before discovery"
mkdir -p "$work/broken"
cat >"$work/broken/kvtapefw" <<'EOF'
#!/bin/sh
echo "kvtapefw: error while loading shared libraries: libxerces-c-3.2.so: cannot open shared object file: No such file or directory" >&2
exit 127
EOF
chmod +x "$work/broken/kvtapefw"
log_size tape04 >"$work/tape04.log.before"
cp "$plans/tape04.xml" "$work/tape04.plan.before"
playbook discover broken -e "kvtapefw_program=$work/broken/kvtapefw" --limit tape04
[ "$rc" != 0 ] || show_and_fail broken "discover passed with a program that does not start"
expect_recap broken tape04 - 1
grep -qF "\"tape04  discover failed: kvtapefw could not be staged or run: $work/tape04/kvtapefw/kvtapefw does not start on tape04 (exit code 127): kvtapefw: error while loading shared libraries: libxerces-c-3.2.so" "$work/broken.txt" ||
  show_and_fail broken "the failure does not give the loader's message"
! grep -q "TASK \[kvtapefw : Run kvtapefw /d" "$work/broken.txt" || show_and_fail broken "discovery ran after --version failed"
[ "$(log_size tape04)" = "$(cat "$work/tape04.log.before")" ] || fail "the program that does not start ran on tape04"
cmp -s "$plans/tape04.xml" "$work/tape04.plan.before" || fail "the failed discovery changed tape04's plan"
playbook report report-broken
expect_rc report-broken 0
grep -qE '^tape04,,,,,,,,failed,"?discover failed: .*error while loading shared libraries' "$control/reports/drives.csv" ||
  fail "drives.csv does not say that tape04's program does not start"
# The real program again: it starts, and shows its first line.
playbook discover mended --limit tape04
expect_rc mended 0
grep -qF "\"$work/tape04/kvtapefw/kvtapefw --version: " "$work/mended.txt" || show_and_fail mended "the program's first line is not shown"

# A run the program refused says why everywhere: the host's failure, the
# failed discovery's mark, drives.csv and rollout.md, which agree that the
# host failed; its earlier drive rows stay, marked stale. A host without any
# tape device node is ok, with the program's warning.
echo "== a refused run and a host without tape devices: why, everywhere"
playbook discover refused -e "kvtapefw_sim_bus=$work/no-such-bus.json" --limit tape04
[ "$rc" != 0 ] || show_and_fail refused "a discovery the program refused passed"
refusal="kvtapefw refused the run: bus file $work/no-such-bus.json: cannot be read"
grep -qF "$refusal" "$work/refused.txt" || show_and_fail refused "the host's failure does not give the program's refusal"
grep -qF "$refusal" "$plans/tape04.discover-failed" || fail "plans/tape04.discover-failed does not give the refusal"
playbook report refused-report --limit tape04
expect_rc refused-report 0
grep -E '^tape04,,,,,,,,failed,' "$control/reports/drives.csv" | grep -qF "discover failed: $refusal" ||
  { cat "$control/reports/drives.csv" >&2; fail "drives.csv does not give tape04's refusal"; }
grep -qE '^tape04,/dev/nst3,KV00000003,.*,"stale, from ' "$control/reports/drives.csv" ||
  { cat "$control/reports/drives.csv" >&2; fail "tape04's earlier drive row is not kept, marked stale"; }
grep -qE '^\| tape04 \| failed \| .*the last discovery failed: kvtapefw refused the run' "$control/reports/rollout.md" ||
  { cat "$control/reports/rollout.md" >&2; fail "rollout.md does not agree that tape04 failed"; }
grep -qE '^Drives: [0-9]+; behind the catalogue: [0-9]+\.$' "$control/reports/rollout.md" ||
  { cat "$control/reports/rollout.md" >&2; fail "rollout.md does not count the drives and those behind"; }
echo '{"drives": []}' >"$work/empty-bus.json"
playbook discover empty -e "kvtapefw_sim_bus=$work/empty-bus.json" --limit tape04
expect_rc empty 0
grep -qF "no tape drive of the maker found (Nothing to be done for Tape drives. RDX Firmware Updated.): nothing to plan; warning: no tape device was found" "$work/empty.txt" ||
  show_and_fail empty "a host without tape devices is not shown with the program's warning"

echo "== signed catalogues: keys installed before discovery, an unsigned catalogue not staged, a signature changed since discover"
# The signed example (its key is a test key), on tape04 with a trusted-keys
# folder of its own.
keys=$work/tape04/trusted-keys
log_size tape04 >"$work/tape04.log.before"
playbook discover unsigned -e kvtapefw_require_signature=true --limit tape04
[ "$rc" != 0 ] || show_and_fail unsigned "an unsigned catalogue was staged with kvtapefw_require_signature"
grep -q "holds no firmware.cfg.sig: the catalogue is not staged" "$work/unsigned.txt" ||
  show_and_fail unsigned "the refusal does not say the catalogue has no signature"
! grep -q "TASK \[kvtapefw : Copy the program, catalogue" "$work/unsigned.txt" || show_and_fail unsigned "something was staged"
[ "$(log_size tape04)" = "$(cat "$work/tape04.log.before")" ] || fail "the program ran on tape04 with an unsigned catalogue"
cp -r "$root/examples/signed/fwimage" "$work/fwimage-signed"
signed_args=(-e "kvtapefw_fwimage=$work/fwimage-signed" -e "kvtapefw_trusted_keys_dir=$keys"
  -e "{\"kvtapefw_trusted_keys\": [\"$root/examples/signed/trusted-keys/test-key.pem\"]}" -e kvtapefw_require_signature=true)
# A key no longer listed is revoked: the role removes it from the host.
mkdir -p "$keys"
cp "$root/examples/signed/trusted-keys/test-key.pem" "$keys/revoked.pem"
echo "not a key" >"$keys/README"
playbook discover signed "${signed_args[@]}" --limit tape04
expect_rc signed 0
cmp -s "$keys/test-key.pem" "$root/examples/signed/trusted-keys/test-key.pem" || fail "the trusted key was not installed on tape04"
[ "$(ls -A "$keys" | tr '\n' ' ')" = "README test-key.pem " ] ||
  fail "tape04's key folder holds another key, or lost a file that is not one: $(ls -A "$keys")"
[ "$(stat -c %a "$keys") $(stat -c %a "$keys/test-key.pem")" = "755 644" ] || fail "tape04's key folder or key has other modes"
python3 -c 'import json, sys; s = json.load(open(sys.argv[1]))["catalogue"]["signature"]; sys.exit(0 if s["verified"] else 1)' \
  "$plans/tape04.discover.json" || fail "tape04's discovery did not verify the signed catalogue"
[ "$(cat "$plans/tape04.signature")" = "$(sha256sum <"$work/fwimage-signed/firmware.cfg.sig" | cut -d' ' -f1)" ] ||
  fail "the plan does not keep the signature's fingerprint"
# A private key given as a trusted key fails the play on the control node
# and never leaves it; a catalogue changed after it was signed is staged,
# checked on the host before anything runs, and fails the host there.
log_size tape04 >"$work/tape04.log.before"
playbook discover private-key -e "kvtapefw_fwimage=$work/fwimage-signed" -e "kvtapefw_trusted_keys_dir=$keys" \
  -e "{\"kvtapefw_trusted_keys\": [\"$root/examples/signed/TEST-KEY-ONLY.private.pem\"]}" --limit tape04
[ "$rc" != 0 ] || show_and_fail private-key "a private key was accepted as a trusted key"
grep -qF "TEST-KEY-ONLY.private.pem is a " "$work/private-key.txt" && grep -qF "not a public key; it is not copied" "$work/private-key.txt" ||
  show_and_fail private-key "the refusal does not say the key is not a public key"
[ ! -e "$keys/TEST-KEY-ONLY.private.pem" ] || fail "the private key was copied to tape04"
cp -r "$work/fwimage-signed" "$work/fwimage-tampered"
echo '$ added after signing' >>"$work/fwimage-tampered/firmware.cfg"
playbook discover tampered "${signed_args[@]}" -e "kvtapefw_fwimage=$work/fwimage-tampered" --limit tape04
[ "$rc" != 0 ] || show_and_fail tampered "a catalogue changed after signing was run"
grep -qF "the catalogue does not verify on the host (kvtapefw --check-catalogue" "$work/tampered.txt" ||
  show_and_fail tampered "the host is not failed by --check-catalogue"
[ "$(log_size tape04)" = "$(cat "$work/tape04.log.before")" ] || fail "the program ran on tape04 with a tampered catalogue"
playbook discover signed-again "${signed_args[@]}" --limit tape04
expect_rc signed-again 0
# Signed anew (an ECDSA signature differs each time), the catalogue the same.
openssl dgst -sha256 -sign "$root/examples/signed/TEST-KEY-ONLY.private.pem" -out "$work/fwimage-signed/firmware.cfg.sig" \
  "$work/fwimage-signed/firmware.cfg"
log_size tape04 >"$work/tape04.log.before"
playbook upgrade resigned "${signed_args[@]}" --limit tape04
[ "$rc" != 0 ] || show_and_fail resigned "the upgrade went on with a signature changed since discover"
grep -q "catalogue's signature changed since the plan was made.*discover again" "$work/resigned.txt" ||
  show_and_fail resigned "the refusal does not say the signature changed"
[ "$(log_size tape04)" = "$(cat "$work/tape04.log.before")" ] || fail "the program ran on tape04 although the signature changed"
playbook discover unsigned-again --limit tape04
expect_rc unsigned-again 0

# A rollout split across several ansible-playbook processes: the first
# host that fails leaves the rollout's stop mark, and the other processes
# refuse their next hosts until it is removed.
echo "== a rollout split across processes stops in all of them at the first failure"
playbook upgrade slice1 -e kvtapefw_rollout=r1 -e "kvtapefw_program=$work/broken/kvtapefw" --limit tape04
[ "$rc" != 0 ] || show_and_fail slice1 "an upgrade passed with a program that does not start"
grep -q "^tape04: kvtapefw could not be staged or run: .* does not start on tape04" "$control/reports/stop-r1" ||
  fail "the failed host left no stop mark for the rollout"
log_size tape03 >"$work/tape03.log.before"
playbook upgrade slice2 -e kvtapefw_rollout=r1 --limit tape03
[ "$rc" != 0 ] || show_and_fail slice2 "another process of the stopped rollout went on"
grep -q "refused: the rollout r1 was stopped (tape04: " "$work/slice2.txt" || show_and_fail slice2 "the refusal does not name the host that stopped the rollout"
[ "$(log_size tape03)" = "$(cat "$work/tape03.log.before")" ] || fail "tape03 ran although the rollout was stopped"
rm "$control/reports/stop-r1"
playbook upgrade slice3 -e kvtapefw_rollout=r1 --limit tape03
expect_rc slice3 0
playbook discover slices-mended --limit tape04
expect_rc slices-mended 0

# The package path: checked without a host, said by --check, and, as root on
# a machine without kvtapefw installed, installed through the role on tape04
# and removed again (dpkg -r) when the test ends. The package built by
# scripts/package.sh is used when KVFW_DEB names it, a stand-in around the
# program under test otherwise.
echo "== kvtapefw_package: arguments, --check, and an install through the role"
deb=${KVFW_DEB:-}
if [ -z "$deb" ]; then
  mkdir -p "$work/deb"
  deb=$("$root/tests/support/stand-in-deb.sh" "$program" "$work/deb")
fi
deb=$(realpath "$deb")
# The role's tasks that reach a host, discover's and the package's: each is
# checked to be a task of the role still, so that a renamed task cannot leave
# the check below looking for a name that never shows.
reaching_tasks=("Reach the host" "Learn the host's distribution"
  "Copy the program, catalogue and images that differ, and start kvtapefw"
  "Copy the package, catalogue and images that differ")
for task in "${reaching_tasks[@]}"; do
  grep -rqF -- "- name: $task" "$role/tasks" || fail "the role has no task \"$task\" any more: mend the list"
done
log_size tape04 >"$work/tape04.log.before"
for case in "neither|-e kvtapefw_program=|Give kvtapefw_program (the program to copy) or, for a Debian-family host, kvtapefw_package" \
  "both|-e kvtapefw_package=$deb|Give kvtapefw_program or kvtapefw_package, not both" \
  "not a package|-e kvtapefw_program= -e kvtapefw_package=$work/fwimage/firmware.cfg|is not a .deb file on the control node"; do
  IFS='|' read -r what arguments message <<<"$case"
  # shellcheck disable=SC2086 # the arguments are split on purpose
  playbook discover "package-$what" $arguments --limit tape04
  [ "$rc" != 0 ] || show_and_fail "package-$what" "discover passed with $what"
  grep -qF "$message" "$work/package-$what.txt" || show_and_fail "package-$what" "$what is not refused as such"
  for task in "${reaching_tasks[@]}"; do
    ! grep -qF "TASK [kvtapefw : $task]" "$work/package-$what.txt" ||
      show_and_fail "package-$what" "the host was reached ($task) although the arguments are wrong"
  done
done
[ "$(log_size tape04)" = "$(cat "$work/tape04.log.before")" ] || fail "a program ran on tape04 with wrong arguments"
installed_before=$(dpkg-query -W -f='${Status}' kvtapefw 2>/dev/null || true)
playbook upgrade package-check --check -e kvtapefw_program= -e "kvtapefw_package=$deb" --limit tape04
expect_rc package-check 0
grep -qF "\"would install $(basename "$deb") and run /usr/sbin/kvtapefw\"" "$work/package-check.txt" ||
  show_and_fail package-check "the check does not say that the package would be installed"
[ "$(dpkg-query -W -f='${Status}' kvtapefw 2>/dev/null || true)" = "$installed_before" ] || fail "the check run installed or removed kvtapefw"
if [ "$(id -u)" != 0 ]; then
  echo "   skipped the install: not root"
elif dpkg-query -W -f='${Status}' kvtapefw 2>/dev/null | grep -q "ok installed"; then
  echo "   skipped the install: kvtapefw is installed on this machine already, and the test leaves it alone"
else
  # One rehearsal at a time installs on this machine.
  exec 9>/run/lock/kvtapefw-ansible-test.lock
  flock 9
  had_var_lib=no
  [ ! -e /var/lib/kvtapefw ] || had_var_lib=yes
  remove_package() {
    dpkg -r kvtapefw >/dev/null 2>&1 || true
    [ "$had_var_lib" = yes ] || rm -rf /var/lib/kvtapefw
  }
  trap 'remove_package; [ "${KVFW_KEEP_SCRATCH:-0}" = 1 ] || rm -rf "$work"' EXIT
  playbook discover package-install -e kvtapefw_program= -e "kvtapefw_package=$deb" --limit tape04
  expect_rc package-install 0
  expect_recap package-install tape04 - 0
  sed -n '/^TASK \[kvtapefw : Install the package\]/,/^TASK /p' "$work/package-install.txt" | grep -q '^changed: \[tape04\]' ||
    show_and_fail package-install "the role did not install the package"
  dpkg-query -W -f='${Status}' kvtapefw | grep -q "ok installed" || fail "kvtapefw is not installed after the role installed it"
  grep -qF '"/usr/sbin/kvtapefw --version: ' "$work/package-install.txt" || show_and_fail package-install "the installed program was not run"
  [ -s "$plans/tape04.xml" ] || fail "no plan from the installed program"
  [ "$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["setup_log"])' "$control/reports/runs/tape04-discover.json")" = \
    /var/lib/kvtapefw/vtxsystem/log/vtxsetup.log ] || fail "the installed program was not told the package's setup log root"
  # tape04 names no setup log root: the installed program's is used. The
  # package is installed already, and tape04's drive is current: nothing
  # changes.
  playbook upgrade package-upgrade -e kvtapefw_program= -e "kvtapefw_package=$deb" --limit tape04
  expect_rc package-upgrade 0
  expect_recap package-upgrade tape04 0 0
  grep -q "Product ID: ULTRIUM-HH8, Action: skip" /var/lib/kvtapefw/vtxsystem/log/vtxsetup.log ||
    fail "the installed program did not log to /var/lib/kvtapefw/vtxsystem/log/vtxsetup.log"
  remove_package
  ! dpkg-query -W -f='${Status}' kvtapefw 2>/dev/null | grep -q "ok installed" || fail "kvtapefw was not removed"
  [ ! -e /usr/sbin/kvtapefw ] || fail "/usr/sbin/kvtapefw is left after dpkg -r"
  echo "   installed $(basename "$deb") on this machine through the role, discovered and upgraded with it, removed it"
fi

echo "== fleet rollout test passed in $(($(date +%s) - started)) s"
