# A local connection for the fleet rollout test that fails the way a real
# network does, when told to by the environment:
#   KVFW_CUT_ARCHIVE=1      the staging archive arrives cut in half;
#   KVFW_LOSE_WHEN=<file>   the connection of the module waiting for
#                           kvtapefw drops once <file> exists (the stand-in
#                           program makes it when it runs): the module's
#                           processes are killed, and the play hears
#                           "connection lost", as from a broken SSH link.

import os
import signal
import subprocess
import time

from ansible.errors import AnsibleConnectionFailure
from ansible.plugins.connection.local import Connection as LocalConnection

DOCUMENTATION = """
name: kvfw_local
short_description: local connection that can cut a transfer or drop a wait (test fixture)
description: As ansible.builtin.local, for scripts/ansible-test.sh.
author: kvtapefw developers
"""


class Connection(LocalConnection):
    transport = "kvfw_local"

    def put_file(self, in_path, out_path):
        super().put_file(in_path, out_path)
        name = os.path.basename(in_path)
        if os.environ.get("KVFW_CUT_ARCHIVE") == "1" and name.startswith("kvtapefw-") and name.endswith(".tar.gz"):
            os.truncate(out_path, os.path.getsize(out_path) // 2)

    def exec_command(self, cmd, in_data=None, sudoable=True):
        marker = os.environ.get("KVFW_LOSE_WHEN")
        # The module that waits for the run, by the name its wrapper runs.
        if not (marker and in_data and b"ansible.modules.kvtapefw_run'" in in_data):
            return super().exec_command(cmd, in_data=in_data, sudoable=sudoable)
        process = subprocess.Popen(cmd, shell=isinstance(cmd, str), executable="/bin/sh", stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
        process.stdin.write(in_data)
        process.stdin.close()
        for _ in range(1200):
            if os.path.exists(marker) or process.poll() is not None:
                break
            time.sleep(0.1)
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        raise AnsibleConnectionFailure("kvfw_local: the connection was cut while the module ran")
