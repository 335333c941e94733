#!/usr/bin/python3
# Runs kvtapefw on a POSIX host without any polling from the control node:
# step "start" starts the program and returns at once, so that every host
# of a batch runs side by side whatever the forks; step "wait" waits for
# it on the host itself and returns once, when the run has ended.

DOCUMENTATION = r"""
module: kvtapefw_run
short_description: Start kvtapefw with a time limit, or wait for it and return what it left
description:
  - C(step=start) removes the run report (and C(outputs)) an earlier run
    left, writes C(inputs), and starts the program under coreutils' timeout
    in a session of its own, its console going to C(console): the run never
    depends on the connection or on this module, so a connection lost
    while it runs does not cut it. At C(limit) seconds the program is asked
    to stop (SIGTERM: a download under way runs to its end, no further
    drive is flashed), and C(grace) seconds later it is ended wherever it
    is. Its exit code goes to C(dir)/.kvtapefw-run.exit with the run's
    C(job) token. Returns the job and the host's clock when it began.
  - C(step=wait) waits on the host for that job to end, writing one byte to
    standard error every C(heartbeat) seconds so that the connection is
    never idle for long, and ends the job itself C(bound) seconds after
    its end should have come. Returns the exit code, the console's last
    lines, the run report, the documents named in C(outputs) and the last
    C(log_tail) bytes of the setup log the report names (C(log) when it
    names none).
options:
  step: {type: str, choices: [start, wait], required: true}
  program: {type: str}
  args: {type: list, elements: str, default: []}
  dir: {type: str, required: true}
  env: {type: dict, default: {}}
  limit: {type: int, required: true}
  grace: {type: int, required: true}
  report: {type: str, required: true}
  log: {type: str}
  console: {type: str, required: true}
  inputs: {type: list, elements: dict, default: [], description: "path, content"}
  outputs: {type: list, elements: str, default: []}
  job: {type: str, description: The token step start returned.}
  heartbeat: {type: int, default: 30}
  bound: {type: int, default: 60}
  console_lines: {type: int, default: 40}
  log_tail: {type: int, default: 262144}
"""

import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import uuid

from ansible.module_utils.basic import AnsibleModule

# A document the role reads back whole; anything larger is not a report.
MOST_READ = 8 << 20

# The job's shell: runs the program, then leaves "<job> <exit code>" in the
# exit file, written whole.
SUPERVISOR = ('job=$1; exits=$2; console=$3; shift 3; "$@" >"$console" 2>&1 </dev/null; rc=$?; '
              'printf "%s %s\\n" "$job" "$rc" >"$exits.new" && mv -f "$exits.new" "$exits"')


def read_text(path, most=MOST_READ):
    try:
        with open(path, "rb") as handle:
            return handle.read(most).decode("utf-8", "replace")
    except (FileNotFoundError, IsADirectoryError, PermissionError):
        return None


def tail_of(path, most):
    """The last `most` bytes of a file, from the start of a line, and the
    size of what came before them."""
    try:
        with open(path, "rb") as handle:
            size = handle.seek(0, os.SEEK_END)
            start = max(0, size - most)
            handle.seek(start)
            data = handle.read()
    except (FileNotFoundError, IsADirectoryError, PermissionError):
        return None, 0
    if start and b"\n" in data:
        cut = data.index(b"\n") + 1
        data, start = data[cut:], start + cut
    return data.decode("utf-8", "replace"), start


def write_whole(path, content):
    handle, name = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", dir=os.path.dirname(path) or ".")
    with os.fdopen(handle, "wb") as out:
        out.write(content.encode("utf-8"))
    os.chmod(name, 0o644)
    os.replace(name, path)


def remove(path):
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def job_files(directory):
    return os.path.join(directory, ".kvtapefw-run.json"), os.path.join(directory, ".kvtapefw-run.exit")


def start(module, p):
    state, exits = job_files(p["dir"])
    # The program writes its report whole or not at all: one an earlier run
    # left must not pass for this run's, nor an earlier document.
    for path in [p["report"], exits] + p["outputs"]:
        remove(path)
    for item in p["inputs"]:
        write_whole(item["path"], item["content"])
    env = dict(os.environ)
    env.update({str(key): str(value) for key, value in p["env"].items()})
    job = uuid.uuid4().hex
    # By the host's clock, as the program stamps its report.
    began = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())
    argv = ["timeout", "--signal=TERM", "--kill-after=%d" % p["grace"], str(p["limit"]), p["program"]] + p["args"]
    try:
        process = subprocess.Popen(["sh", "-c", SUPERVISOR, "kvtapefw-run", job, exits, p["console"]] + argv,
                                   cwd=p["dir"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, start_new_session=True, close_fds=True)
    except OSError as error:
        module.fail_json(msg="could not start %s: %s" % (p["program"], error))
    write_whole(state, json.dumps({"job": job, "pid": process.pid, "started": time.time(), "began": began}))
    module.exit_json(changed=False, job=job, began=began)


def wait(module, p):
    state_path, exits = job_files(p["dir"])
    state = json.loads(read_text(state_path) or "{}")
    if state.get("job") != p["job"]:
        module.fail_json(msg="no run of this job (%s) on the host" % p["job"])
    deadline = state["started"] + p["limit"] + p["grace"] + p["bound"]
    beat = time.monotonic()
    given_up = False
    while True:
        ended = (read_text(exits) or "").split()
        if len(ended) == 2 and ended[0] == p["job"]:
            rc = int(ended[1])
            break
        if time.time() > deadline:
            # timeout itself should have ended it by now; end what is left.
            try:
                os.killpg(state["pid"], signal.SIGKILL)
            except ProcessLookupError:
                pass
            rc, given_up = None, True
            break
        if time.monotonic() - beat >= p["heartbeat"]:
            beat = time.monotonic()
            try:
                sys.stderr.write(" ")
                sys.stderr.flush()
            except OSError:
                pass
        time.sleep(0.5)
    stopped = ""
    if given_up or rc in (124, 137):
        stopped = "stopped after kvtapefw_timeout (%d s)" % p["limit"]
        if rc != 124:
            stopped += ", and ended %d s later as it had not stopped" % p["grace"]
    report = read_text(p["report"]) or ""
    log_path = p["log"]
    try:
        named = json.loads(report).get("setup_log")
        log_path = named if isinstance(named, str) and named else log_path
    except (ValueError, AttributeError):
        pass
    text, skipped = tail_of(log_path, p["log_tail"])
    lines = (read_text(p["console"]) or "").splitlines()
    module.exit_json(changed=False, exit_code=rc, began=state.get("began"), stopped=stopped,
                     console=lines[-p["console_lines"]:], report=report,
                     outputs={path: read_text(path) for path in p["outputs"]},
                     log={"path": log_path, "text": text, "skipped": skipped})


def main():
    module = AnsibleModule(
        argument_spec={
            "step": {"type": "str", "choices": ["start", "wait"], "required": True},
            "program": {"type": "str"},
            "args": {"type": "list", "elements": "str", "default": []},
            "dir": {"type": "str", "required": True},
            "env": {"type": "dict", "default": {}},
            "limit": {"type": "int", "required": True},
            "grace": {"type": "int", "required": True},
            "report": {"type": "str", "required": True},
            "log": {"type": "str"},
            "console": {"type": "str", "required": True},
            "inputs": {"type": "list", "elements": "dict", "default": []},
            "outputs": {"type": "list", "elements": "str", "default": []},
            "job": {"type": "str"},
            "heartbeat": {"type": "int", "default": 30},
            "bound": {"type": "int", "default": 60},
            "console_lines": {"type": "int", "default": 40},
            "log_tail": {"type": "int", "default": 262144},
        },
    )
    (start if module.params["step"] == "start" else wait)(module, module.params)


if __name__ == "__main__":
    main()
