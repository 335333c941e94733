# What a plan was made against: the catalogue's SHA-256 and its signature's,
# on the control node, and why a plan may no longer be used with the
# catalogue as it is now.

import hashlib
import os

from kvtapefw_paths import control_path
from kvtapefw_judge import load_report

def _file_digest(path, algorithm):
    digest = hashlib.new(algorithm)
    with open(path, "rb") as handle:
        for block in iter(lambda: handle.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def catalogue_sha256(fwimage):
    """The SHA-256 of firmware.cfg in a control-node fwimage folder, or None
    when there is none."""
    path = os.path.join(control_path(fwimage), "firmware.cfg")
    return _file_digest(path, "sha256") if os.path.isfile(path) else None


def signature_sha256(fwimage):
    """The SHA-256 of firmware.cfg.sig in a control-node fwimage folder, or
    "none" when there is none: with the catalogue's own digest, the
    fingerprint of what a plan was made against."""
    path = os.path.join(control_path(fwimage), "firmware.cfg.sig")
    return _file_digest(path, "sha256") if os.path.isfile(path) else "none"


def signed_catalogue(fwimage):
    """Whether a control-node fwimage folder holds a catalogue signature."""
    return os.path.isfile(os.path.join(control_path(fwimage), "firmware.cfg.sig"))


def catalogue_refusal(discovered, current_sha256, signature_then=None, signature_now=None):
    """Why a plan may not be used with the catalogue as it is now, or "".
    The plan was made against the catalogue its discovery read; a catalogue
    changed since may name other versions or images than the ones reviewed,
    and one signed anew (or no longer signed) is not the catalogue that was
    vouched for. A discovery that read no catalogue (no drive of the maker)
    binds none. `signature_then` is what the discovery recorded of the
    signature file (a plan made before that was recorded counts as
    unsigned), `signature_now` the folder's today."""
    document = load_report(discovered)
    if document is None:
        return "the plan has no discovery report beside it: discover again"
    catalogue = document.get("catalogue")
    if not catalogue or not catalogue.get("sha256"):
        return ""
    if catalogue["sha256"] != current_sha256:
        return ("the catalogue changed since the plan was made (sha256 %s then, %s now): discover again"
                % (catalogue["sha256"], current_sha256 or "no firmware.cfg"))
    then = str(signature_then or "none").strip() or "none"
    now = str(signature_now or "none").strip() or "none"
    if signature_now is not None and then != now:
        return ("the catalogue's signature changed since the plan was made (firmware.cfg.sig sha256 %s then, %s now):"
                " discover again" % (then, now))
    return ""
