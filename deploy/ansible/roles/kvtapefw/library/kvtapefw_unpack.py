#!/usr/bin/python3
# Puts the program and the firmware catalogue on a POSIX host from one
# archive, and says whether the program starts there. Run twice at most per
# host and play: once to compare what the host holds with the archive's
# manifest, and, only when something differs, once more with the archive.

DOCUMENTATION = r"""
module: kvtapefw_unpack
short_description: Compare and unpack the kvtapefw archive on a host, then run the program with --version
description:
  - Creates C(folders). Compares each file of C(manifest) (its host path,
    SHA-256 and permissions) with what the host holds. Without C(archive),
    returns the names that differ (C(need)) and changes nothing else. With
    C(archive), checks the archive's SHA-256 first (a transfer cut short
    or altered is refused, and nothing is written), then writes each file
    that differs through a new file that takes its path's place, each
    checked against the manifest before any takes its place, and removes
    the archive.
  - Writes each of C(trusted_keys) whose content differs. With C(keys_folder),
    the folder holds those keys and no other: any other *.pem entry is
    removed (a key revoked), the folder is root-owned 0755 (when run as
    root) and each key 0644.
  - With C(check_catalogue), runs the program with --check-catalogue on the
    staged catalogue before anything is started, and fails the host,
    starting nothing, when it does not verify.
  - With C(version), runs the program with --version (without the run's
    environment) and returns its exit code and output; then, with C(start)
    and only when the program started, starts its run (module_utils
    kvtapefw_job) and returns the job's token, so that a host needs no
    module run of its own to start the program.
options:
  manifest: {type: list, elements: dict, default: [], description: "name (in the archive), dest, mode, sha256 (the action plugin of this name gives it)"}
  archive: {type: str, required: false, description: The archive on the host.}
  home: {type: str, required: false, description: "The folder that keeps what was staged (.kvtapefw-staged.json)."}
  archive_sha256: {type: str, required: false, description: Its SHA-256.}
  folders: {type: list, elements: str, default: [], description: Folders to create first.}
  trusted_keys: {type: list, elements: dict, default: [], description: "dest, content"}
  keys_folder: {type: str, required: false, description: "The trusted-keys folder the role manages alone."}
  check_catalogue: {type: dict, required: false, description: "program, dir, fwimage, env, limit (seconds)"}
  version: {type: dict, required: false, description: "program, dir, limit (seconds)"}
  start: {type: dict, required: false, description: "program, args, dir, env, limit, grace, report, console, inputs, outputs"}
"""

import hashlib
import json
import os
import subprocess
import tarfile
import tempfile

from ansible.module_utils.basic import AnsibleModule
from ansible.module_utils.kvtapefw_job import JobError, start_job


def digest_of(handle):
    digest = hashlib.sha256()
    for block in iter(lambda: handle.read(1 << 20), b""):
        digest.update(block)
    return digest.hexdigest()


def file_digest(path):
    try:
        with open(path, "rb") as handle:
            return digest_of(handle)
    except (FileNotFoundError, IsADirectoryError, PermissionError):
        return None


# What this module staged, by path: the SHA-256 it wrote and the file's
# identity then (inode, size, times with ctime, which no one sets by hand).
# A file whose identity is unchanged is not read again: the program alone
# is megabytes, hashed at every play otherwise.
STAMPS = ".kvtapefw-staged.json"


def identity(info):
    return [info.st_ino, info.st_size, info.st_mtime_ns, info.st_ctime_ns]


def load_stamps(folder):
    try:
        with open(os.path.join(folder, STAMPS)) as handle:
            stamps = json.load(handle)
        return stamps if isinstance(stamps, dict) else {}
    except (OSError, ValueError):
        return {}


def save_stamps(folder, stamps):
    out, name = temporary_beside(os.path.join(folder, STAMPS))
    with out:
        out.write(json.dumps(stamps).encode())
    os.replace(name, os.path.join(folder, STAMPS))


def differs(entry, stamps):
    path = entry["dest"]
    if os.path.islink(path) or not os.path.isfile(path):
        return True
    info = os.stat(path)
    if "%04o" % (info.st_mode & 0o7777) != entry["mode"]:
        return True
    known = stamps.get(path)
    if known and known.get("identity") == identity(info):
        return known.get("sha256") != entry["sha256"]
    return file_digest(path) != entry["sha256"]


def temporary_beside(path):
    handle, name = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", dir=os.path.dirname(path))
    return os.fdopen(handle, "wb"), name


def unpack(module, archive, stale):
    """Every stale file to a new file beside its path, each checked against
    the manifest; only when all are whole do they take their paths' places."""
    ready = []
    try:
        with tarfile.open(archive, "r:*") as tar:
            for entry in stale:
                member = tar.extractfile(entry["name"])
                if member is None:
                    raise ValueError("the archive holds no file %s" % entry["name"])
                out, name = temporary_beside(entry["dest"])
                ready.append((name, entry))
                with out:
                    digest = hashlib.sha256()
                    for block in iter(lambda: member.read(1 << 20), b""):
                        digest.update(block)
                        out.write(block)
                    out.flush()
                    os.fsync(out.fileno())
                if digest.hexdigest() != entry["sha256"]:
                    raise ValueError("%s in the archive is not the file packed (sha256 %s, expected %s)"
                                     % (entry["name"], digest.hexdigest(), entry["sha256"]))
                os.chmod(name, int(entry["mode"], 8))
    except (OSError, ValueError, tarfile.TarError) as error:
        for name, _ in ready:
            os.unlink(name)
        module.fail_json(msg="the archive could not be unpacked on the host, so nothing was staged: %s" % error)
    for name, entry in ready:
        os.replace(name, entry["dest"])
    return [entry["dest"] for _, entry in ready]


def manage_keys(folder, keys):
    """The trusted-keys folder holds the keys listed and no other: a key
    taken off the list is revoked by its removal here. Root-owned 0755, keys
    0644, so that no other account can plant or change a key."""
    listed = {os.path.basename(key["dest"]) for key in keys}
    removed = []
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if name in listed and os.path.isfile(path) and not os.path.islink(path):
            os.chmod(path, 0o644)
            if os.geteuid() == 0:
                os.chown(path, 0, 0)
        elif name.lower().endswith(".pem") and not (os.path.isdir(path) and not os.path.islink(path)):
            # Only what the program would read as a key: a folder named by
            # mistake loses nothing else.
            os.unlink(path)
            removed.append(path)
    if os.geteuid() == 0:
        os.chown(folder, 0, 0)
    os.chmod(folder, 0o755)
    return removed


def check_catalogue(check):
    """kvtapefw --check-catalogue on the staged catalogue: exit code 0 when
    it verifies against the host's trusted keys, and its one line."""
    env = dict(os.environ)
    env.update({str(key): str(value) for key, value in (check.get("env") or {}).items() if key != "KVFW_REPORT"})
    try:
        ran = subprocess.run(["timeout", "--signal=KILL", str(check["limit"]), check["program"], "--check-catalogue",
                              check["fwimage"]], cwd=check["dir"], env=env, stdin=subprocess.DEVNULL,
                             capture_output=True, check=False)
    except OSError as error:
        return {"rc": None, "line": str(error)}
    lines = [line.strip() for line in (ran.stdout.decode("utf-8", "replace").splitlines()
                                       + ran.stderr.decode("utf-8", "replace").splitlines()) if line.strip()]
    return {"rc": ran.returncode, "line": lines[0] if lines else "no output"}


def main():
    module = AnsibleModule(
        argument_spec={
            "manifest": {"type": "list", "elements": "dict", "default": []},
            "archive": {"type": "str"},
            "home": {"type": "str"},
            "archive_sha256": {"type": "str"},
            "folders": {"type": "list", "elements": "str", "default": []},
            "trusted_keys": {"type": "list", "elements": "dict", "default": []},
            "keys_folder": {"type": "str"},
            "check_catalogue": {"type": "dict"},
            "version": {"type": "dict"},
            "start": {"type": "dict"},
        },
    )
    params = module.params
    created = []
    for folder in params["folders"]:
        if not os.path.isdir(folder):
            os.makedirs(folder, mode=0o755, exist_ok=True)
            created.append(folder)
    home = params["home"]
    stamps = load_stamps(home) if home else {}
    stale = [entry for entry in params["manifest"] if differs(entry, stamps)]
    archive = params["archive"]
    if stale and not archive:
        module.exit_json(changed=bool(created), need=[entry["name"] for entry in stale], created=created)
    written = []
    if archive:
        with open(archive, "rb") as handle:
            got = digest_of(handle)
        if got != params["archive_sha256"]:
            size = os.path.getsize(archive)
            os.unlink(archive)
            module.fail_json(msg="the archive arrived cut or altered (%d bytes, sha256 %s, expected %s), so nothing"
                                 " was staged" % (size, got, params["archive_sha256"]))
        written = unpack(module, archive, stale)
        os.unlink(archive)
        if home:
            for entry in params["manifest"]:
                if os.path.isfile(entry["dest"]) and not os.path.islink(entry["dest"]):
                    stamps[entry["dest"]] = {"sha256": entry["sha256"], "identity": identity(os.stat(entry["dest"]))}
            save_stamps(home, stamps)
    for key in params["trusted_keys"]:
        content = key["content"].encode("utf-8")
        if file_digest(key["dest"]) != hashlib.sha256(content).hexdigest():
            out, name = temporary_beside(key["dest"])
            with out:
                out.write(content)
            os.chmod(name, 0o644)
            os.replace(name, key["dest"])
            written.append(key["dest"])
    removed = manage_keys(params["keys_folder"], params["trusted_keys"]) if params["keys_folder"] else []
    result = {"changed": bool(written or created or removed), "need": [], "written": written, "created": created,
              "removed": removed}
    if params["check_catalogue"]:
        checked = check_catalogue(params["check_catalogue"])
        result["catalogue_check"] = checked["line"]
        if checked["rc"] != 0:
            module.fail_json(msg="the catalogue does not verify on the host (kvtapefw --check-catalogue %s, exit code"
                                 " %s): %s; nothing was run" % (params["check_catalogue"]["fwimage"], checked["rc"],
                                                               checked["line"]), **result)
    version = params["version"]
    if version:
        try:
            ran = subprocess.run(["timeout", "--signal=KILL", str(version["limit"]), version["program"], "--version"],
                                 cwd=version["dir"], stdin=subprocess.DEVNULL, capture_output=True, check=False)
            result["version"] = {"rc": ran.returncode, "stdout": ran.stdout.decode("utf-8", "replace"),
                                 "stderr": ran.stderr.decode("utf-8", "replace")}
        except OSError as error:
            result["version"] = {"rc": None, "stdout": "", "stderr": str(error)}
        if params["start"] and result["version"]["rc"] == 0:
            try:
                result.update(start_job(dict({"inputs": [], "outputs": [], "env": {}}, **params["start"])))
            except (JobError, OSError) as error:
                module.fail_json(msg=str(error), **result)
    module.exit_json(**result)


if __name__ == "__main__":
    main()
