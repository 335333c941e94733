# One archive per play holding what a host needs (the program or its
# package, and the firmware folder), made once on the control node in the
# play's own temporary folder and named by its content: every host of the
# play gets the same bytes, each file hashed once, not once per host.

import fcntl
import hashlib
import io
import json
import os
import tarfile
import tempfile


def _sources(program, package, fwimage, remote, windows=False):
    """(name in the archive, control-node file, host path, permissions)."""
    sep = "\\" if windows else "/"
    if package:
        source, mode, what = package, "0644", "kvtapefw_package"
        if not source.endswith(".deb"):
            raise ValueError("kvtapefw_package: %s is not a Debian package (.deb)" % source)
        dest = remote["package"]
    else:
        source, mode, what = program, "0755", "kvtapefw_program"
        dest = remote["program"]
    if not os.path.isfile(source):
        raise ValueError("%s: no file at %s" % (what, source))
    if not os.path.isfile(os.path.join(fwimage, "firmware.cfg")):
        raise ValueError("kvtapefw_fwimage: no firmware.cfg in %s" % fwimage)
    found = [("program/" + os.path.basename(source), source, dest, mode)]
    for name in sorted(os.listdir(fwimage)):
        path = os.path.join(fwimage, name)
        if os.path.isfile(path):
            found.append(("fwimage/" + name, path, remote["fwimage"] + sep + name, "0644"))
    return found


def bundle(folder, program, package, fwimage, remote, windows=False):
    """The play's archive for these sources: {"archive": its path, "sha256",
    "manifest": [{name, dest, mode, sha256}]}. The first worker to need it
    packs it under a lock; the others find it by the sources' names, sizes
    and times. The manifest is the same for every host but its host paths."""
    sources = _sources(program, package, fwimage, remote, windows)
    stamp = []
    for name, path, _, mode in sources:
        info = os.stat(path)
        stamp.append([name, os.path.abspath(path), info.st_size, info.st_mtime_ns, mode])
    key = hashlib.sha256(json.dumps(stamp).encode()).hexdigest()[:32]
    index = os.path.join(folder, "kvtapefw-bundle-%s.json" % key)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "kvtapefw-bundle.lock"), "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.isfile(index):
            _pack(folder, sources, index)
    with open(index) as handle:
        packed = json.load(handle)
    dests = {name: dest for name, _, dest, _ in sources}
    packed["manifest"] = [dict(entry, dest=dests[entry["name"]]) for entry in packed["manifest"]]
    return packed


def _pack(folder, sources, index):
    manifest = []
    handle, temporary = tempfile.mkstemp(prefix=".kvtapefw-", suffix=".tar.gz", dir=folder)
    with os.fdopen(handle, "wb") as out, tarfile.open(fileobj=out, mode="w:gz", compresslevel=6) as tar:
        for name, path, _, mode in sources:
            with open(path, "rb") as source:
                data = source.read()
            # What is hashed is what is packed: the same bytes.
            manifest.append({"name": name, "mode": mode, "sha256": hashlib.sha256(data).hexdigest()})
            info = tarfile.TarInfo(name)
            info.size, info.mode = len(data), int(mode, 8)
            tar.addfile(info, io.BytesIO(data))
    with open(temporary, "rb") as packed:
        digest = hashlib.sha256()
        for block in iter(lambda: packed.read(1 << 20), b""):
            digest.update(block)
    archive = os.path.join(folder, "kvtapefw-%s.tar.gz" % digest.hexdigest())
    os.replace(temporary, archive)
    with open(index + ".new", "w") as out:
        json.dump({"archive": archive, "sha256": digest.hexdigest(), "manifest": manifest}, out)
    os.replace(index + ".new", index)
