# A callback for scripts/fleet-bench.sh: counts, per host, the task slots
# (every result a host gets: ok, changed, failed, skipped, unreachable, and
# each include it goes through) and the async_status polls, and writes them
# as JSON to $KVFW_COUNT_FILE when the play ends.

import json
import os

from ansible.plugins.callback import CallbackBase


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = "aggregate"
    CALLBACK_NAME = "kvfw_count"
    CALLBACK_NEEDS_ENABLED = True

    def __init__(self):
        super().__init__()
        self.slots, self.polls = {}, {}

    def _count(self, result):
        host = result._host.get_name()
        self.slots[host] = self.slots.get(host, 0) + 1
        if result._task.action in ("async_status", "ansible.builtin.async_status"):
            # Each retry of an until loop is a poll of its own.
            self.polls[host] = self.polls.get(host, 0) + max(1, int(result._result.get("attempts", 1)))

    v2_runner_on_ok = v2_runner_on_failed = v2_runner_on_skipped = v2_runner_on_unreachable = _count

    def v2_playbook_on_include(self, included_file):
        for host in included_file._hosts:
            self.slots[host.get_name()] = self.slots.get(host.get_name(), 0) + 1

    def v2_playbook_on_stats(self, stats):
        path = os.environ.get("KVFW_COUNT_FILE")
        if path:
            with open(path, "w") as out:
                json.dump({"slots": self.slots, "polls": self.polls}, out)
