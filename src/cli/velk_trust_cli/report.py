"""report: counts by kind and trust level, the least trusted and most active entities, a T3
histogram; as text, JSON or one self-contained HTML page."""
import html

import datetime

from velk_trust_cli.checking import check_summary
from velk_trust_cli.output import plural, print_json, print_table, summarize
from velk_trust_cli.status import Status
from velk_trust_cli.stores import PROBLEMS, findings_of, open_store, shown_address, summaries

# The kinds the library knows, drawn first.
KINDS = ("mcp", "role", "session", "ref", "lct")

LEVELS = ("high", "medium-high", "medium", "low", "minimal")
BINS = 10  # the T3 histogram: 0.0-0.1, ..., 0.9-1.0


def report_figures(store):
    findings = findings_of(store)
    rows = summaries([f for f in findings if f["verdict"] == "record"])
    # The stored types as they are, the library's five first, then the others by name.
    kinds = sorted({r["entity_type"] for r in rows}, key=lambda k: (k not in KINDS, KINDS.index(k) if k in KINDS else 0, k))
    by_kind = {kind: {level: 0 for level in LEVELS} for kind in kinds}
    histogram = [0] * BINS
    for r in rows:
        by_kind[r["entity_type"]][r["level"]] += 1
        if r["t3_average"] == r["t3_average"]:  # NaN counts nowhere
            histogram[min(BINS - 1, max(0, int(r["t3_average"] * BINS)))] += 1
    pick = ("entity_id", "level", "t3_average", "action_count", "success_rate")
    checked = check_summary(store, findings)
    return {
        "store": shown_address(store),
        "made_at": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ"),
        "entities": len(rows),
        "by_kind": by_kind,
        "by_level": {level: sum(counts[level] for counts in by_kind.values()) for level in LEVELS},
        "least_trusted": [{k: r[k] for k in pick}
                          for r in sorted(rows, key=lambda r: (r["t3_average"], r["entity_id"]))[:5]],
        "most_active": [{k: r[k] for k in pick}
                        for r in sorted(rows, key=lambda r: (-r["action_count"], r["entity_id"]))[:5]],
        "t3_histogram": histogram,
        "problems": {verdict: n for verdict, n in checked["by_verdict"].items() if verdict in PROBLEMS and n},
        "missing_at_own_place": [m["entity_id"] for m in checked["missing_at_own_place"]],
    }


def problems_line(figures):
    problems = figures["problems"]
    if not problems:
        return "check finds no problems"
    listed = ", ".join(f"{n} {verdict}" for verdict, n in problems.items())
    return f"check finds {plural(sum(problems.values()), 'problem')} ({listed}): see `velk-trust check`"


def bin_label(k):
    return f"{k / BINS:.1f}-{(k + 1) / BINS:.1f}"


def print_report(figures):
    print(f"{figures['store']}: {plural(figures['entities'], 'entity', 'entities')}, "
          f"report made {figures['made_at'].replace('T', ' ').replace('Z', ' UTC')}")
    print(problems_line(figures) + "\n")
    print_table(["TYPE", *(level.upper() for level in LEVELS), "ALL"],
                [[kind, *counts.values(), sum(counts.values())] for kind, counts in figures["by_kind"].items()]
                + [["all", *figures["by_level"].values(), figures["entities"]]], right=range(1, len(LEVELS) + 2))
    for title, key in (("Least trusted", "least_trusted"), ("Most active", "most_active")):
        print(f"\n{title}\n")
        print_table(["ID", "LEVEL", "T3", "ACTIONS", "SUCCESS"],
                    [[r["entity_id"], r["level"], f"{r['t3_average']:.3f}", r["action_count"],
                      f"{r['success_rate']:.2f}"] for r in figures[key]], right=(2, 3, 4))
    print("\nT3 averages\n")
    widest = max(figures["t3_histogram"]) or 1
    for k, count in enumerate(figures["t3_histogram"]):
        print(f"{bin_label(k)}  {'#' * round(40 * count / widest):<40}  {count}")


LEVEL_COLOURS = {"high": "#1a9850", "medium-high": "#91cf60", "medium": "#fee08b", "low": "#fc8d59",
                 "minimal": "#d73027"}


def svg_levels_per_kind(figures):
    """One horizontal bar per stored type, a segment per trust level; a segment's count is written
    on it where it fits, and every count of the row on a line of its own below the bar, so that
    none is lost or drawn over its neighbour at any count."""
    kinds = list(figures["by_kind"].items())
    widest = max((sum(c.values()) for _, c in kinds), default=1) or 1
    row_height = 56
    height = 44 + row_height * len(kinds)
    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="760" height="{height}" role="img" '
             'aria-label="trust levels per type">']
    for k, level in enumerate(LEVELS):
        parts.append(f'<rect x="{100 + k * 130}" y="6" width="14" height="14" fill="{LEVEL_COLOURS[level]}"/>'
                     f'<text x="{120 + k * 130}" y="18" font-size="13">{level}</text>')
    for row, (kind, counts) in enumerate(kinds):
        y = 36 + row_height * row
        name = kind if len(kind) <= 11 else kind[:10] + "\u2026"
        parts.append(f'<text x="0" y="{y + 18}" font-size="14"><title>{html.escape(kind)}</title>'
                     f'{html.escape(name)}</text>')
        x = 100.0
        for level in LEVELS:
            if counts[level]:
                w = 560 * counts[level] / widest
                parts.append(f'<rect x="{x:.1f}" y="{y}" width="{w:.1f}" height="26" fill="{LEVEL_COLOURS[level]}">'
                             f'<title>{html.escape(kind)}, {level}: {counts[level]}</title></rect>')
                if w >= 8 * len(str(counts[level])) + 8:
                    parts.append(f'<text x="{x + w / 2:.1f}" y="{y + 18}" font-size="13" text-anchor="middle">'
                                 f'{counts[level]}</text>')
                x += w
        parts.append(f'<text x="{x + 6:.1f}" y="{y + 18}" font-size="13">{sum(counts.values())}</text>')
        listed = " \u00b7 ".join(f"{level} {n}" for level, n in counts.items() if n)
        parts.append(f'<text x="100" y="{y + 42}" font-size="11" fill="#444">{listed}</text>')
    parts.append("</svg>")
    return "".join(parts)


def svg_histogram(figures):
    """The T3 averages in ten bins, each bar with its count above it."""
    counts = figures["t3_histogram"]
    widest = max(counts) or 1
    parts = ['<svg xmlns="http://www.w3.org/2000/svg" width="760" height="260" role="img" '
             'aria-label="T3 average distribution">']
    for k, count in enumerate(counts):
        h = 180 * count / widest
        x = 20 + k * 72
        parts.append(f'<rect x="{x}" y="{210 - h:.1f}" width="60" height="{h:.1f}" fill="#4575b4">'
                     f'<title>{bin_label(k)}: {count}</title></rect>'
                     f'<text x="{x + 30}" y="{204 - h:.1f}" font-size="13" text-anchor="middle">{count}</text>'
                     f'<text x="{x + 30}" y="230" font-size="12" text-anchor="middle">{bin_label(k)}</text>')
    parts.append("</svg>")
    return "".join(parts)


def html_report(figures):
    def table(rows):
        head = "<tr><th>Entity</th><th>Level</th><th>T3</th><th>Actions</th><th>Success</th></tr>"
        body = "".join(f"<tr><td>{html.escape(r['entity_id'])}</td><td>{r['level']}</td><td>{r['t3_average']:.3f}</td>"
                       f"<td>{r['action_count']}</td><td>{r['success_rate']:.2f}</td></tr>" for r in rows)
        return f"<table>{head}{body}</table>"

    made = figures["made_at"].replace("T", " ").replace("Z", " UTC")
    return f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>velk-trust report: {html.escape(figures['store'])}</title>
<style>body{{font-family:sans-serif;margin:2em;color:#222}}table{{border-collapse:collapse}}
td,th{{border:1px solid #ccc;padding:.2em .6em;text-align:left}}h2{{margin-top:1.5em}}</style></head>
<body><h1>Trust report</h1>
<p>{html.escape(figures['store'])}: <strong id="entities">{figures['entities']}</strong> entities;
report made <time datetime="{figures['made_at']}">{made}</time>.</p>
<p id="problems">{html.escape(problems_line(figures))}</p>
<h2>Trust levels per type</h2>{svg_levels_per_kind(figures)}
<h2>T3 average distribution</h2>{svg_histogram(figures)}
<h2>Least trusted</h2>{table(figures['least_trusted'])}
<h2>Most active</h2>{table(figures['most_active'])}
</body></html>
"""


def run_report(args):
    figures = report_figures(open_store(args))
    summarize(f"report of {plural(figures['entities'], 'entity', 'entities')}")
    if args.html:
        with open(args.html, "w", encoding="utf-8") as f:
            f.write(html_report(figures))
    if args.json:
        print_json(figures)
    else:
        print_report(figures)
        if args.html:
            print(f"\nthe page is written to {args.html}")
    return Status.DONE
