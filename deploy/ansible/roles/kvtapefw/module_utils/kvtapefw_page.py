# reports/rollout.html: the fleet's drives on one page that needs nothing
# but itself, rendered from templates/rollout.html.j2 with autoescape, so
# that every text from a report reaches the page as text.

import html
import os
import re

import jinja2
import markupsafe

from kvtapefw_reports import DRIVE_FIELDS

try:
    from ansible.utils.unsafe_proxy import wrap_var as _unsafe
except ImportError:  # read without Ansible, as the test's rule checks do
    def _unsafe(value):
        return value

TEMPLATES = os.path.join(os.path.dirname(os.path.dirname(os.path.realpath(__file__))), "templates")
GROUP_TITLES = (("failed", "Failed, unreachable or not examined"), ("behind", "Behind the catalogue"),
                ("rest", "The rest"))


def _escaped(value):
    """Each value as autoescape would give it, quotes as &quot; (the form
    the page has always had, and that readers of its source know)."""
    if isinstance(value, markupsafe.Markup):
        return value
    return markupsafe.Markup(html.escape("" if value is None else str(value), quote=True))


def rollout_html(rows, written=""):
    """reports/rollout.html: counts per verdict and of drives behind the
    catalogue first, an index of hosts linking to each host's rows in each
    group, then the failed drives, those behind, and the rest, one row
    each."""
    rows = [dict(row) for row in rows or []]
    verdicts = {}
    for row in rows:
        verdicts[row["verdict"]] = verdicts.get(row["verdict"], 0) + 1
    names = sorted({row["host"] for row in rows})
    groups = []
    for name, title in GROUP_TITLES:
        members, seen = [], set()
        for row in rows:
            if row["group"] != name:
                continue
            members.append(dict(row, first=row["host"] not in seen,
                                verdict_class=re.sub(r"[^a-z-]", "", str(row["verdict"]))))
            seen.add(row["host"])
        groups.append({"name": name, "title": title, "rows": members})
    hosts = [{"name": host, "counts": {group["name"]: sum(1 for row in group["rows"] if row["host"] == host)
                                       for group in groups}} for host in names]
    environment = jinja2.Environment(loader=jinja2.FileSystemLoader(TEMPLATES), autoescape=True, finalize=_escaped,
                                     trim_blocks=True, lstrip_blocks=True, undefined=jinja2.StrictUndefined)
    page = environment.get_template("rollout.html.j2").render(
        rows=rows, drives=sum(1 for row in rows if row["device"]), hosts=hosts, groups=groups,
        verdicts=sorted(verdicts.items(), key=lambda item: (item[0] not in ("failed", "unreachable"), item[0])),
        behind=sum(1 for row in rows if row["behind"] == "yes"), fields=DRIVE_FIELDS, written=written)
    return _unsafe(page)
