#!/usr/bin/python3
# Waits on a POSIX host for the run of kvtapefw that kvtapefw_unpack
# started, without any polling from the control node: the control node
# hears from the host once, when the run has ended.

DOCUMENTATION = r"""
module: kvtapefw_run
short_description: Wait for a run of kvtapefw on the host and return what it left
description:
  - Waits on the host for the job C(job) to end, writing one byte to
    standard error every C(heartbeat) seconds so that the connection is
    never idle for long, and ends the job itself C(bound) seconds after its
    end should have come (C(limit) plus C(grace)).
  - Returns the exit code, the host's clock when the run began, whether it
    was stopped at its time limit, the console's last lines, the run report,
    the documents named in C(outputs) and the last C(log_tail) bytes of the
    setup log the report names (C(log) when it names none).
options:
  job: {type: str, required: true, description: The token the start returned.}
  dir: {type: str, required: true}
  limit: {type: int, required: true}
  grace: {type: int, required: true}
  report: {type: str, required: true}
  log: {type: str, required: true}
  console: {type: str, required: true}
  outputs: {type: list, elements: str, default: []}
  heartbeat: {type: int, default: 30}
  bound: {type: int, default: 60}
  console_lines: {type: int, default: 40}
  log_tail: {type: int, default: 262144}
"""

from ansible.module_utils.basic import AnsibleModule
from ansible.module_utils.kvtapefw_job import JobError, wait_job


def main():
    module = AnsibleModule(
        argument_spec={
            "job": {"type": "str", "required": True},
            "dir": {"type": "str", "required": True},
            "limit": {"type": "int", "required": True},
            "grace": {"type": "int", "required": True},
            "report": {"type": "str", "required": True},
            "log": {"type": "str", "required": True},
            "console": {"type": "str", "required": True},
            "outputs": {"type": "list", "elements": "str", "default": []},
            "heartbeat": {"type": "int", "default": 30},
            "bound": {"type": "int", "default": 60},
            "console_lines": {"type": "int", "default": 40},
            "log_tail": {"type": "int", "default": 262144},
        },
    )
    try:
        module.exit_json(changed=False, **wait_job(module.params))
    except JobError as error:
        module.fail_json(msg=str(error))


if __name__ == "__main__":
    main()
