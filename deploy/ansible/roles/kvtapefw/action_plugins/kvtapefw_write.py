# Writes and removes control-node files inside Ansible's own process, each
# written whole (a new file that takes the path's place), in one task: no
# module run, no copy task per file.

import os
import sys

from ansible.errors import AnsibleActionFail
from ansible.plugins.action import ActionBase

_ROLE = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
sys.path[:0] = [os.path.join(_ROLE, "module_utils")]
import kvtapefw_files  # noqa: E402


class ActionModule(ActionBase):
    _requires_connection = False
    _VALID_ARGS = frozenset(("files", "remove"))

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        written, removed = [], []
        try:
            for path in self._task.args.get("remove") or []:
                if kvtapefw_files.remove_file(path):
                    removed.append(path)
            for item in self._task.args.get("files") or []:
                written.append(kvtapefw_files.write_file(item["path"], item["content"]))
        except (OSError, ValueError) as error:
            raise AnsibleActionFail(str(error))
        result.update(changed=False, written=written, removed=removed)
        return result
