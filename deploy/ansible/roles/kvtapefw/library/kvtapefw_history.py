#!/usr/bin/python3
# Keeps a copy of report files a run is about to replace, so that no run's
# proof is ever lost to the next one. A module of the role rather than a
# loop of copy tasks: one round trip for all files, whatever their number.

DOCUMENTATION = r"""
module: kvtapefw_history
short_description: Copy files about to be replaced into a new folder under history/
description:
  - Copies each of C(files) (paths relative to C(reports)) to
    C(reports)/history/C(stamp)/ under the same relative path, keeping its
    time stamps. When that folder exists (two runs in one second), the
    first free one of C(stamp)-2, C(stamp)-3, ... is taken; nothing is ever
    overwritten. Files that no longer exist are left out; with none left,
    no folder is made.
options:
  reports:
    description: The reports folder on the control node.
    type: path
    required: true
  files:
    description: Paths relative to C(reports).
    type: list
    elements: str
    required: true
  stamp:
    description: The folder's name, the run's UTC time (20261208T101530Z).
    type: str
    required: true
  forget:
    description: Paths relative to C(reports) removed once kept.
    type: list
    elements: str
    default: []
  folders:
    description: Folders relative to C(reports) to create.
    type: list
    elements: str
    default: []
"""

import os
import re
import shutil

from ansible.module_utils.basic import AnsibleModule


def main():
    module = AnsibleModule(
        argument_spec={
            "reports": {"type": "path", "required": True},
            "files": {"type": "list", "elements": "str", "required": True},
            "stamp": {"type": "str", "required": True},
            "forget": {"type": "list", "elements": "str", "default": []},
            "folders": {"type": "list", "elements": "str", "default": []},
        },
        supports_check_mode=True,
    )
    reports = os.path.abspath(module.params["reports"])
    stamp = module.params["stamp"]
    if not re.match(r"^[0-9]{8}T[0-9]{6}Z$", stamp):
        module.fail_json(msg="stamp %r is not a UTC time such as 20261208T101530Z" % stamp)
    def inside(name):
        path = os.path.normpath(os.path.join(reports, name))
        if not path.startswith(reports + os.sep) or os.path.isabs(name):
            module.fail_json(msg="%s is not inside %s" % (name, reports))
        return path

    names = []
    for name in module.params["files"]:
        path = inside(name)
        if os.path.isfile(path):
            names.append(os.path.relpath(path, reports))
    forget = [inside(name) for name in module.params["forget"]]
    folders = [inside(name) for name in module.params["folders"]]

    def tidy():
        # Only once what they held is kept.
        if module.check_mode:
            return
        for path in forget:
            if os.path.isfile(path) and not os.path.islink(path):
                os.unlink(path)
        for path in folders:
            os.makedirs(path, mode=0o755, exist_ok=True)

    if not names:
        tidy()
        module.exit_json(changed=False, folder=None, files=[])
    history = os.path.join(reports, "history")
    folder, number = os.path.join(history, stamp), 1
    while os.path.lexists(folder):
        number += 1
        folder = os.path.join(history, "%s-%d" % (stamp, number))
    if not module.check_mode:
        os.makedirs(history, exist_ok=True)
        # mkdir of the folder itself claims the name: a run starting in the
        # same second takes the next one.
        while True:
            try:
                os.mkdir(folder)
                break
            except FileExistsError:
                number += 1
                folder = os.path.join(history, "%s-%d" % (stamp, number))
        for name in names:
            os.makedirs(os.path.dirname(os.path.join(folder, name)), exist_ok=True)
            shutil.copy2(os.path.join(reports, name), os.path.join(folder, name))
    tidy()
    module.exit_json(changed=True, folder=folder, files=names)


if __name__ == "__main__":
    main()
