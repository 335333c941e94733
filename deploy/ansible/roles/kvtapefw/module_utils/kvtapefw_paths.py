# Where things are: the control node's paths (relative ones from the folder
# ansible-playbook runs in), a host's paths, and the checks of the names
# and files given before anything is reached.

import json
import os
import re
import subprocess

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


SAFE_HOST = re.compile(r"^[A-Za-z0-9_][A-Za-z0-9_.-]*$")


_PEM_BEGIN = re.compile(r"^-----BEGIN ([A-Z0-9 ]+)-----\s*$", re.M)


def public_key_problem(path):
    """Why the file at `path` is not exactly one public P-256 key in PEM, or
    "". A private key, a certificate or a second block is never what a host
    is to trust, and a private key must not leave the control node."""
    try:
        with open(path, "rb") as handle:
            text = handle.read(65536).decode("ascii", "replace")
    except OSError as error:
        return "cannot be read (%s)" % error.strerror
    blocks = _PEM_BEGIN.findall(text)
    if len(blocks) != 1:
        return "holds %d PEM blocks, not one public key" % len(blocks)
    if blocks[0] != "PUBLIC KEY":
        return "is a %s, not a public key" % blocks[0].lower()
    try:
        ran = subprocess.run(["openssl", "pkey", "-pubin", "-in", path, "-noout", "-text"], stdin=subprocess.DEVNULL,
                             capture_output=True, check=False)
    except OSError as error:
        return "cannot be checked: openssl does not run on the control node (%s)" % error.strerror
    words = ran.stdout.decode("ascii", "replace")
    if ran.returncode != 0:
        return "is not a public key openssl can read"
    if not re.search(r"^NIST CURVE: P-256$|^ASN1 OID: prime256v1$", words, re.M):
        return "is not a P-256 key (%s)" % (words.splitlines() or ["?"])[0].strip()
    return ""


def trusted_key_files(keys):
    """The control-node key files to install on a host, each checked to be a
    file named *.pem in any letter case (the program reads no other name, so
    a key under another name would silently not guard anything) holding
    exactly one public P-256 key."""
    files, names = [], set()
    for key in keys or []:
        path = control_path(key)
        if not path.lower().endswith(".pem"):
            raise ValueError("kvtapefw_trusted_keys: %s is not named *.pem; the program would not read it" % path)
        if not os.path.isfile(path):
            raise ValueError("kvtapefw_trusted_keys: no file at %s" % path)
        problem = public_key_problem(path)
        if problem:
            raise ValueError("kvtapefw_trusted_keys: %s %s; it is not copied to any host" % (path, problem))
        name = os.path.basename(path)
        if name.lower() in names:
            raise ValueError("kvtapefw_trusted_keys: two keys named %s" % name)
        names.add(name.lower())
        files.append({"src": path, "name": name})
    return files


def local_paths(host, plans_dir, reports_dir):
    """Where the control node keeps what belongs to `host` (a safe name)."""
    plans, reports = control_path(plans_dir), control_path(reports_dir)
    return {
        "plans": plans,
        "plan": "%s/%s.xml" % (plans, host),
        # The discovery's run report, kept with the plan: it names the
        # catalogue the plan was made against.
        "discovered": "%s/%s.discover.json" % (plans, host),
        # The SHA-256 of the catalogue's signature file the discovery staged
        # ("none": unsigned): with the report's catalogue digest, what the
        # plan was made against.
        "signature": "%s/%s.signature" % (plans, host),
        # The document as the program wrote it: where the plan differs from
        # it, a person reviewed the plan, and the next discovery carries
        # that review forward.
        "document": "%s/%s.discovered.xml" % (plans, host),
        # Left by a discovery that failed, with its reason: the plan it could
        # not replace stays for the next discovery to carry forward, but is
        # not upgraded from.
        "discover_failed": "%s/%s.discover-failed" % (plans, host),
        # Left by discover where the host has no drive of the maker, so that
        # the upgrade can tell "nothing to do" from "discover never ran".
        "no_drive": "%s/%s.nodrive" % (plans, host),
        "reports": reports,
        "results": reports + "/hosts",
        # <host>-<mode>.json, the mode as the run report names it.
        "runs": "%s/runs/%s" % (reports, host),
        "log_copy": "%s/logs/%s.vtxsetup.log" % (reports, host),
    }


def argument_problems(host, program="", package="", needs_program=True, rollout="", keys=None):
    """Why the role may not go on with a host, checked before it is reached:
    its inventory name becomes part of file names under plans/ and
    reports/ (a name such as "../x" would write elsewhere or clash with
    another host's), and exactly one program must be named, as both at
    once would leave it unclear which touched the drives."""
    problems = []
    if not SAFE_HOST.match(str(host)):
        problems.append("The inventory name %s is not a safe file name: use letters, digits, '.', '_' and '-'"
                        " (not first), and reach the host through ansible_host" % json.dumps(str(host)))
    if rollout and not SAFE_HOST.match(str(rollout)):
        problems.append("kvtapefw_rollout %s is not a safe file name: use letters, digits, '.', '_' and '-'"
                        % json.dumps(str(rollout)))
    program, package = str(program or "").strip(), str(package or "").strip()
    if not needs_program:
        pass
    elif program and package:
        problems.append("Give kvtapefw_program or kvtapefw_package, not both")
    elif not program and not package:
        problems.append("Give kvtapefw_program (the program to copy) or, for a Debian-family host, kvtapefw_package"
                        " (a .deb to install)")
    elif package and not (package.endswith(".deb") and os.path.isfile(control_path(package))):
        problems.append("kvtapefw_package: %s is not a .deb file on the control node" % control_path(package))
    try:
        trusted_key_files(keys)
    except ValueError as error:
        problems.append(str(error))
    return problems


def host_setting(paths, windows, log_root="", sim_bus="", keys_dir=""):
    """The host's paths with the run's environment and the trusted-keys
    folder. Windows finds %systemdrive% in its own environment; the program
    on a POSIX host is always told where the log's root is. The program
    finds the system's trusted-keys folder by itself; another one is named
    to it."""
    env = {}
    if not windows or str(log_root or "").strip():
        env["systemdrive"] = paths["log_root"]
    if str(sim_bus or "").strip():
        env["KVFW_SIM_BUS"] = str(sim_bus)
    if str(keys_dir or "").strip():
        env["KVFW_TRUSTED_KEYS"] = str(keys_dir)
    env["KVFW_REPORT"] = paths["report"]
    sep = "\\" if windows else "/"
    return dict(paths, env=env, console=paths["dir"].rstrip(sep) + sep + "console.txt",
                trusted_keys=str(keys_dir or "").strip()
                or ("C:\\ProgramData\\kvtapefw\\trusted-keys" if windows else "/etc/kvtapefw/trusted-keys"))
