# The role's filters. The rules themselves live in module_utils/, one file
# per job (paths, catalogue, judging, plans, reports, the page), shared with
# the role's action plugins; this file only names them for Jinja.

import os
import sys

_UTILS = os.path.join(os.path.dirname(os.path.dirname(os.path.realpath(__file__))), "module_utils")
if _UTILS not in sys.path:
    sys.path.insert(0, _UTILS)

from kvtapefw_catalogue import catalogue_refusal, catalogue_sha256, signature_sha256, signed_catalogue  # noqa: E402
from kvtapefw_judge import judge, load_report  # noqa: E402,F401
from kvtapefw_page import rollout_html  # noqa: E402
from kvtapefw_paths import (argument_problems, control_path, host_setting, local_paths, remote_paths,  # noqa: E402
                            trusted_key_files)
from kvtapefw_plans import carry_plan, plan_devices, plan_lines, read_files, would_send  # noqa: E402,F401
from kvtapefw_reports import (behind, drives_csv, fleet, history_files, report, rollout_csv,  # noqa: E402,F401
                              version_number)


class FilterModule:
    def filters(self):
        return {
            "kvtapefw_control_path": control_path,
            "kvtapefw_remote_paths": remote_paths,
            "kvtapefw_local_paths": local_paths,
            "kvtapefw_host_setting": host_setting,
            "kvtapefw_argument_problems": argument_problems,
            "kvtapefw_catalogue_sha256": catalogue_sha256,
            "kvtapefw_read_files": read_files,
            "kvtapefw_catalogue_refusal": catalogue_refusal,
            "kvtapefw_signature_sha256": signature_sha256,
            "kvtapefw_signed_catalogue": signed_catalogue,
            "kvtapefw_trusted_key_files": trusted_key_files,
            "kvtapefw_plan_devices": plan_devices,
            "kvtapefw_would_send": would_send,
            "kvtapefw_report": report,
            "kvtapefw_history_files": history_files,
            "kvtapefw_fleet": fleet,
            "kvtapefw_rollout_csv": rollout_csv,
            "kvtapefw_drives_csv": drives_csv,
            "kvtapefw_rollout_html": rollout_html,
        }
