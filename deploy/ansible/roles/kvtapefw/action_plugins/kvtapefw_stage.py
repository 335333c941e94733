# Stages the program (or its package) and the catalogue on a POSIX host
# with one transfer at most: the host compares what it holds with the play's
# archive, and only a host that lacks something or holds other content gets
# the archive, once. Then the program is run with --version, so that one
# that does not start there fails the host with the loader's words before
# any discovery or upgrade, and, with `start`, its run is started in the
# same module run (kvtapefw_run waits for it).

import os
import sys

from ansible import constants as C
from ansible.errors import AnsibleActionFail
from ansible.plugins.action import ActionBase

_ROLE = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
sys.path[:0] = [os.path.join(_ROLE, "module_utils")]
import kvtapefw_bundle  # noqa: E402
import kvtapefw_paths  # noqa: E402


class ActionModule(ActionBase):
    TRANSFERS_FILES = True
    _VALID_ARGS = frozenset(("program", "package", "fwimage", "remote", "keys", "version", "start", "check_catalogue"))

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        args = self._task.args
        remote = args["remote"]
        package = kvtapefw_paths.control_path(args["package"]) if args.get("package") else ""
        program = kvtapefw_paths.control_path(args["program"]) if args.get("program") else ""
        try:
            packed = kvtapefw_bundle.bundle(C.DEFAULT_LOCAL_TMP, program, package,
                                            kvtapefw_paths.control_path(args["fwimage"]), remote)
            keys = []
            for key in kvtapefw_paths.trusted_key_files(args.get("keys") or []):
                with open(key["src"], encoding="utf-8") as handle:
                    keys.append({"dest": remote["trusted_keys"] + "/" + key["name"], "content": handle.read()})
        except (OSError, ValueError) as error:
            raise AnsibleActionFail(str(error))
        version = ({"program": remote["program"], "dir": remote["dir"], "limit": int(args["version"])}
                   if args.get("version") else None)
        # With signatures required, the staged catalogue is checked against
        # the host's keys before anything is started.
        check = ({"program": remote["program"], "dir": remote["dir"], "fwimage": remote["fwimage"],
                  "env": remote.get("env") or {}, "limit": int(args["version"] or 60)}
                 if args.get("check_catalogue") else None)
        module_args = {"manifest": packed["manifest"], "trusted_keys": keys, "version": version, "home": remote["dir"],
                       "start": args.get("start") if version else None, "check_catalogue": check,
                       "keys_folder": remote["trusted_keys"] if keys else None,
                       "folders": [remote["fwimage"], remote["log_dir"]] + ([remote["trusted_keys"]] if keys else [])}
        first = self._execute_module("kvtapefw_unpack", module_args=module_args, task_vars=task_vars)
        final = first
        if not first.get("failed") and first.get("need"):
            tmp = self._make_tmp_path()
            try:
                there = self._connection._shell.join_path(tmp, os.path.basename(packed["archive"]))
                self._transfer_file(packed["archive"], there)
                self._fixup_perms2((tmp, there))
                final = self._execute_module(
                    "kvtapefw_unpack", task_vars=task_vars,
                    module_args=dict(module_args, archive=there, archive_sha256=packed["sha256"]))
            finally:
                self._remove_tmp_path(tmp)
        if final.get("failed"):
            words = final.get("msg") or "staging failed"
            if final.get("module_stderr") or final.get("module_stdout"):
                # A module that crashed: its own words say why.
                words = "%s: %s" % (words.splitlines()[0], (final.get("module_stderr") or final.get("module_stdout")).strip())
            result.update(failed=True, msg=words)
            return result
        result["changed"] = bool(first.get("changed") or final.get("changed"))
        result["staged"] = final.get("written", [])
        result["sent"] = first is not final
        ran = final.get("version")
        if ran is not None:
            result.update(version_result(remote["program"], task_vars.get("inventory_hostname"), ran))
        for key in ("job", "began", "catalogue_check"):
            if key in final:
                result[key] = final[key]
        return result


def version_result(program, host, ran):
    """The program's first line, or a failure in the loader's words."""
    if ran.get("rc") != 0:
        words = [line for line in (ran.get("stderr", "").splitlines() + ran.get("stdout", "").splitlines())
                 if line.strip()]
        return {"failed": True, "msg": "%s does not start on %s (exit code %s): %s"
                % (program, host, "none" if ran.get("rc") is None else ran["rc"],
                   " ".join(words) or "no output")}
    first = next((line for line in ran.get("stdout", "").splitlines() if line.strip()), "(no output)")
    return {"version_line": "%s --version: %s" % (program, first.strip())}
