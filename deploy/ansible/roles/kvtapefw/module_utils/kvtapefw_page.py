# reports/rollout.html: the fleet's drives on one page that needs nothing
# but itself.

import html
import re

from kvtapefw_reports import DRIVE_FIELDS

try:
    from ansible.utils.unsafe_proxy import wrap_var as _unsafe
except ImportError:  # read without Ansible, as the test's rule checks do
    def _unsafe(value):
        return value


GROUP_TITLES = (("failed", "Failed, unreachable or not examined"), ("behind", "Behind the catalogue"),
                ("rest", "The rest"))


# Colours that tell the verdicts apart at a glance, each with its word
# beside it for those who do not see the colour (or print in grey).
PAGE_STYLE = """
body { font-family: system-ui, "Segoe UI", "DejaVu Sans", sans-serif; margin: 1.5em; color: #1f2328; }
h1 { font-size: 1.5em; margin-bottom: 0.2em; }
h2 { font-size: 1.2em; margin-top: 1.6em; border-bottom: 2px solid #d0d7de; }
h2.failed { border-color: #cf222e; } h2.behind { border-color: #bf8700; }
p.when { color: #57606a; margin-top: 0; }
table { border-collapse: collapse; margin: 0.5em 0; }
th, td { border: 1px solid #d0d7de; padding: 0.25em 0.5em; text-align: left; vertical-align: top; }
th { background: #f6f8fa; }
tbody tr:nth-child(even) { background: #fafbfc; }
table.drives { font-size: 0.9em; }
td.c-serial, td.c-device, td.c-version { font-family: "DejaVu Sans Mono", Consolas, monospace; white-space: nowrap; }
td.c-host, td.c-product, td.c-finished { white-space: nowrap; }
td.c-reason { min-width: 12em; max-width: 28em; }
td.c-behind, td.c-mode, td.c-finished { color: #57606a; }
.verdict { display: inline-block; padding: 0.05em 0.5em; border-radius: 0.8em; font-weight: bold;
           font-size: 0.85em; text-transform: uppercase; white-space: nowrap; color: #fff; background: #6e7781; }
.v-success { background: #1a7f37; } .v-failed { background: #cf222e; } .v-unreachable { background: #8250df; }
.v-planned { background: #0969da; } .v-not-planned, .v-left-untouched { background: #6e7781; }
.v-no-drive, .v-no-report { background: #afb8c1; color: #1f2328; }
.behind-yes { display: inline-block; padding: 0.05em 0.5em; border-radius: 0.8em; font-weight: bold;
              font-size: 0.85em; background: #bf8700; color: #fff; }
tr.failed td:first-child { border-left: 4px solid #cf222e; } tr.behind td:first-child { border-left: 4px solid #bf8700; }
table.counts td.number { text-align: right; font-weight: bold; font-size: 1.2em; }
nav a { margin-right: 0.6em; }
"""


def rollout_html(rows, written=""):
    """reports/rollout.html: one self-contained page (its style inline; no
    script, and no link but to its own anchors), counts per verdict and of
    drives behind the catalogue first, then the failed drives, those
    behind, and the rest, one row each; an index of hosts links to each
    host's rows in each group. Every text from a report is escaped."""
    esc = lambda value: html.escape("" if value is None else str(value), quote=True)  # noqa: E731
    rows = list(rows or [])
    hosts = []
    for row in sorted(rows, key=lambda row: row["host"]):
        if row["host"] not in hosts:
            hosts.append(row["host"])
    verdicts = {}
    for row in rows:
        verdicts[row["verdict"]] = verdicts.get(row["verdict"], 0) + 1
    drives = [row for row in rows if row["device"]]
    out = ['<!DOCTYPE html>', '<html lang="en">', '<head>', '<meta charset="utf-8">',
           '<meta name="viewport" content="width=device-width, initial-scale=1">',
           '<title>kvtapefw rollout</title>', '<style>' + PAGE_STYLE + '</style>', '</head>', '<body>',
           '<h1>kvtapefw rollout</h1>',
           '<p class="when">%d drive(s) on %d host(s), from each host\'s latest run report%s.</p>'
           % (len(drives), len(hosts), (", written " + esc(written)) if written else ""),
           '<table class="counts" id="counts"><thead><tr><th>verdict</th><th>rows</th></tr></thead><tbody>']
    for verdict in sorted(verdicts, key=lambda v: (v not in ("failed", "unreachable"), v)):
        out.append('<tr data-verdict="%s"><td><span class="verdict v-%s">%s</span></td><td class="number">%d</td></tr>'
                   % (esc(verdict), esc(verdict), esc(verdict), verdicts[verdict]))
    out.append('<tr data-verdict="behind"><td><span class="behind-yes">behind the catalogue</span></td>'
               '<td class="number">%d</td></tr>' % sum(1 for row in rows if row["behind"] == "yes"))
    out += ['</tbody></table>', '<h2>Hosts</h2>', '<table class="hosts"><thead><tr><th>host</th>'
            + "".join('<th>%s</th>' % esc(title) for _, title in GROUP_TITLES) + '</tr></thead><tbody>']
    for host in hosts:
        cells = []
        for group, _ in GROUP_TITLES:
            count = sum(1 for row in rows if row["host"] == host and row["group"] == group)
            cells.append('<td>%s</td>' % ('<a href="#%s-%s">%d</a>' % (group, esc(host), count) if count else ""))
        out.append('<tr id="host-%s"><td>%s</td>%s</tr>' % (esc(host), esc(host), "".join(cells)))
    out.append('</tbody></table>')
    for group, title in GROUP_TITLES:
        members = [row for row in rows if row["group"] == group]
        out.append('<h2 class="%s" id="%s">%s (%d)</h2>' % (group, group, esc(title), len(members)))
        if not members:
            out.append('<p>None.</p>')
            continue
        out.append('<table class="drives"><thead><tr>%s</tr></thead><tbody>'
                   % "".join('<th>%s</th>' % esc(field.replace("_", " ")) for field in DRIVE_FIELDS))
        seen = set()
        for row in members:
            anchor = ""
            if row["host"] not in seen:
                seen.add(row["host"])
                anchor = ' id="%s-%s"' % (group, esc(row["host"]))
            cells = []
            for field in DRIVE_FIELDS:
                value = esc(row.get(field))
                if field == "verdict":
                    value = '<span class="verdict v-%s">%s</span>' % (esc(re.sub(r"[^a-z-]", "", row["verdict"])), value)
                elif field == "behind" and row["behind"] == "yes":
                    value = '<span class="behind-yes">behind</span>'
                kind = ("version" if field in ("firmware_before", "target_version", "firmware_after")
                        else field)
                cells.append('<td class="c-%s">%s</td>' % (kind, value))
            out.append('<tr class="%s"%s data-host="%s" data-device="%s" data-verdict="%s">%s</tr>'
                       % (group, anchor, esc(row["host"]), esc(row["device"]), esc(row["verdict"]), "".join(cells)))
        out.append('</tbody></table>')
    out += ['</body>', '</html>', '']
    return _unsafe("\n".join(out))
