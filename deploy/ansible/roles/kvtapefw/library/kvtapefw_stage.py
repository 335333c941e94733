#!/usr/bin/python3
# Puts the program and the firmware catalogue on a POSIX host from one
# archive, and says whether the program starts there. Run twice at most per
# host and play: once to compare what the host holds with the archive's
# manifest, and, only when something differs, once more with the archive.

DOCUMENTATION = r"""
module: kvtapefw_stage
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
  - Writes each of C(trusted_keys) whose content differs.
  - With C(version), runs the program with --version (without the run's
    environment) and returns its exit code and output.
options:
  manifest: {type: list, elements: dict, default: [], description: "name (in the archive), dest, mode, sha256 (the action plugin of this name gives it)"}
  archive: {type: str, required: false, description: The archive on the host.}
  archive_sha256: {type: str, required: false, description: Its SHA-256.}
  folders: {type: list, elements: str, default: [], description: Folders to create first.}
  trusted_keys: {type: list, elements: dict, default: [], description: "dest, content"}
  version: {type: dict, required: false, description: "program, dir, limit (seconds)"}
"""

import hashlib
import os
import subprocess
import tarfile
import tempfile

from ansible.module_utils.basic import AnsibleModule


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


def differs(entry):
    path = entry["dest"]
    if os.path.islink(path) or not os.path.isfile(path):
        return True
    if "%04o" % (os.stat(path).st_mode & 0o7777) != entry["mode"]:
        return True
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


def main():
    module = AnsibleModule(
        argument_spec={
            "manifest": {"type": "list", "elements": "dict", "default": []},
            "archive": {"type": "str"},
            "archive_sha256": {"type": "str"},
            "folders": {"type": "list", "elements": "str", "default": []},
            "trusted_keys": {"type": "list", "elements": "dict", "default": []},
            "version": {"type": "dict"},
        },
    )
    params = module.params
    created = []
    for folder in params["folders"]:
        if not os.path.isdir(folder):
            os.makedirs(folder, mode=0o755, exist_ok=True)
            created.append(folder)
    stale = [entry for entry in params["manifest"] if differs(entry)]
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
    for key in params["trusted_keys"]:
        content = key["content"].encode("utf-8")
        if file_digest(key["dest"]) != hashlib.sha256(content).hexdigest():
            out, name = temporary_beside(key["dest"])
            with out:
                out.write(content)
            os.chmod(name, 0o644)
            os.replace(name, key["dest"])
            written.append(key["dest"])
    result = {"changed": bool(written or created), "need": [], "written": written, "created": created}
    version = params["version"]
    if version:
        try:
            ran = subprocess.run(["timeout", "--signal=KILL", str(version["limit"]), version["program"], "--version"],
                                 cwd=version["dir"], stdin=subprocess.DEVNULL, capture_output=True, check=False)
            result["version"] = {"rc": ran.returncode, "stdout": ran.stdout.decode("utf-8", "replace"),
                                 "stderr": ran.stderr.decode("utf-8", "replace")}
        except OSError as error:
            result["version"] = {"rc": None, "stdout": "", "stderr": str(error)}
    module.exit_json(**result)


if __name__ == "__main__":
    main()
