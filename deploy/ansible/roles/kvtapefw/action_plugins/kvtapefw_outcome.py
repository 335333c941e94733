# Judges one host's discovery or upgrade and writes the control-node files
# that keep it, inside Ansible's own process and in one task per host: no
# module run, no copy task per file.

import os
import sys

from ansible.errors import AnsibleActionFail
from ansible.plugins.action import ActionBase
from ansible.utils.unsafe_proxy import wrap_var

_ROLE = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
sys.path[:0] = [os.path.join(_ROLE, "module_utils")]
import kvtapefw_files  # noqa: E402
import kvtapefw_verdict  # noqa: E402


class ActionModule(ActionBase):
    _requires_connection = False

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        args = dict(self._task.args)
        job = args.pop("job")
        try:
            if job == "discover":
                kept = kvtapefw_verdict.discovered(**args)
            elif job == "upgrade":
                kept = kvtapefw_verdict.upgraded(**args)
            else:
                raise AnsibleActionFail("job %r is neither discover nor upgrade" % job)
        except (OSError, ValueError, kvtapefw_files.NotAPlainFile) as error:
            raise AnsibleActionFail("the control node's files for %s could not be kept: %s"
                                    % (args.get("host"), error))
        # The drives' own words (a product name, a reason) reach people as
        # they are, never as a template.
        result.update(wrap_var(kept))
        result["changed"] = False
        return result
