# Waits for a run of kvtapefw on a POSIX host (started by kvtapefw_stage)
# in one module run on the host, without any polling from here, and keeps
# on the control node what the run left: the run report as
# reports/runs/<host>-<mode>.json and the setup log's tail as
# reports/logs/<host>.vtxsetup.log, each written whole. A connection lost
# while waiting is returned as `lost`, not as an unreachable host: the
# program goes on there, and the role says what that means.

import os
import sys

from ansible.errors import AnsibleConnectionFailure
from ansible.plugins.action import ActionBase

_ROLE = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
sys.path[:0] = [os.path.join(_ROLE, "module_utils")]
import kvtapefw_files  # noqa: E402


class ActionModule(ActionBase):
    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        module_args = dict(self._task.args)
        keep = module_args.pop("keep")
        host = task_vars.get("inventory_hostname")
        # A copy of an earlier run must not pass for this run's.
        kvtapefw_files.remove_file(keep["report"])
        try:
            ran = self._execute_module("kvtapefw_run", module_args=module_args, task_vars=task_vars)
        except AnsibleConnectionFailure as error:
            result.update(lost="the connection to %s was lost while kvtapefw ran (%s)" % (host, str(error).strip()),
                          unreachable_lost=True, exit_code=None, report="", console=[], began=None, stopped="",
                          outputs={}, report_copy="", setup_log="%s:%s" % (host, module_args["log"]))
            return result
        if "began" not in ran:
            # The module itself did not end as it should (killed, or the
            # host's python gone): the program may still run there.
            words = ran.get("msg") or ran.get("module_stderr") or "no result"
            result.update(lost="the wait for kvtapefw on %s ended without its result (%s)" % (host, str(words).strip()),
                          exit_code=None, report="", console=[], began=None, stopped="", outputs={}, report_copy="",
                          setup_log="%s:%s" % (host, module_args["log"]))
            return result
        log = ran.pop("log", {}) or {}
        result.update(ran)
        result["changed"] = False
        result["report_copy"] = ""
        if ran.get("report"):
            result["report_copy"] = kvtapefw_files.write_file(keep["report"], ran["report"])
        if log.get("text") is not None:
            text = log["text"]
            if log.get("skipped"):
                text = ("[the first %d bytes of %s:%s are left out here]\n" % (log["skipped"], host, log["path"])) + text
            result["setup_log"] = kvtapefw_files.write_file(keep["log"], text)
        else:
            result["setup_log"] = "%s:%s" % (host, log.get("path") or module_args["log"])
        return result
