# Control-node files of the rollout (plans, run report copies, outcomes,
# reports): each written whole or not at all, and never through what the
# path already is when that is not a plain file (a link could point at any
# file of the user, a pipe would block the play).

import os
import stat
import tempfile


class NotAPlainFile(ValueError):
    pass


def _check_plain(path):
    try:
        info = os.lstat(path)
    except FileNotFoundError:
        return False
    if not stat.S_ISREG(info.st_mode):
        raise NotAPlainFile("%s exists and is not a plain file: it is left as it is" % path)
    return True


def write_file(path, data, mode=0o644):
    """Writes `data` (text or bytes) to `path` through a new file in the same
    folder that then takes the path's place: a reader sees the old file or
    the new one, never a part."""
    path = os.path.abspath(path)
    _check_plain(path)
    folder = os.path.dirname(path)
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("utf-8")
    handle, temporary = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", dir=folder)
    try:
        with os.fdopen(handle, "wb") as out:
            out.write(data)
            out.flush()
            os.fsync(out.fileno())
        os.chmod(temporary, mode)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    return path


def copy_file(source, path):
    with open(source, "rb") as handle:
        return write_file(path, handle.read())


def remove_file(path):
    """Removes a plain file; whether there was one."""
    if _check_plain(os.path.abspath(path)):
        os.unlink(path)
        return True
    return False


def read_text(path, default=""):
    try:
        with open(path, encoding="utf-8", errors="replace") as handle:
            return handle.read()
    except FileNotFoundError:
        return default
