# One run of kvtapefw on a POSIX host, as a job that never depends on the
# connection or on the module that started it: started by kvtapefw_unpack
# once the program is staged and starts, waited for by kvtapefw_run. The
# program runs under coreutils' timeout in a session of its own, its
# console going to a file; at `limit` seconds it is asked to stop (SIGTERM:
# a download under way runs to its end, no further drive is flashed), and
# `grace` seconds later it is ended wherever it is. Its exit code goes to
# <dir>/.kvtapefw-run.exit with the job's token.

import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import uuid


class JobError(Exception):
    pass


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


def start_job(p):
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
    argv = ["timeout", "--signal=TERM", "--kill-after=%d" % int(p["grace"]), "%d" % int(p["limit"]),
            p["program"]] + [str(arg) for arg in p["args"]]
    try:
        process = subprocess.Popen(["sh", "-c", SUPERVISOR, "kvtapefw-run", job, exits, p["console"]] + argv,
                                   cwd=p["dir"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, start_new_session=True, close_fds=True)
    except OSError as error:
        raise JobError("could not start %s: %s" % (p["program"], error))
    write_whole(state, json.dumps({"job": job, "pid": process.pid, "started": time.time(), "began": began}))
    return {"job": job, "began": began}


def wait_job(p):
    state_path, exits = job_files(p["dir"])
    state = json.loads(read_text(state_path) or "{}")
    if state.get("job") != p["job"]:
        raise JobError("no run of this job (%s) on the host" % p["job"])
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
    return {"exit_code": rc, "began": state.get("began"), "stopped": stopped, "console": lines[-p["console_lines"]:],
            "report": report, "outputs": {path: read_text(path) for path in p["outputs"]},
            "log": {"path": log_path, "text": text, "skipped": skipped}}
