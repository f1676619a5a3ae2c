"""The health page's chart of payments per day by status: an SVG drawn on
the server, so that the page needs no script and no library."""

from __future__ import annotations

import datetime as dt
from collections import Counter
from collections.abc import Callable
from html import escape

from django.utils.safestring import SafeString, mark_safe

from .transitions import Status

COLOURS = {Status.PENDING: "#9aa5b1", Status.PAID: "#3f9142", Status.SETTLED: "#1f6f8b", Status.REFUNDED: "#b07d2b",
           Status.FAILED: "#c0392b", Status.EXPIRED: "#7f5a83"}
WIDTH, HEIGHT, LEFT, BOTTOM, TOP, LEGEND = 640, 220, 44, 28, 12, 110


def per_day_chart(per_day: dict[dt.date, Counter[str]], link: Callable[[dt.date, str], str]) -> SafeString:
    """Stacked bars, one a day, each status its colour and a link to those
    payments (`link(day, status)`), with the day's total above its bar and a
    legend; every value is escaped."""
    days = list(per_day)
    most = max([sum(counts.values()) for counts in per_day.values()] + [1])
    plot_width, plot_height = WIDTH - LEFT - LEGEND, HEIGHT - BOTTOM - TOP
    slot = plot_width / max(len(days), 1)
    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 {WIDTH} {HEIGHT}" width="{WIDTH}" '
             f'height="{HEIGHT}" role="img" aria-label="payments per day by status" font-size="11" '
             'font-family="sans-serif">',
             f'<line x1="{LEFT}" y1="{TOP + plot_height}" x2="{LEFT + plot_width}" y2="{TOP + plot_height}" '
             'stroke="#888"/>',
             f'<text x="{LEFT - 6}" y="{TOP + 4}" text-anchor="end">{most}</text>',
             f'<text x="{LEFT - 6}" y="{TOP + plot_height}" text-anchor="end">0</text>']
    for number, day in enumerate(days):
        x, bottom = LEFT + number * slot + slot * 0.15, float(TOP + plot_height)
        for status in Status:
            count = per_day[day][status.value]
            if not count:
                continue
            height = plot_height * count / most
            bottom -= height
            parts.append(f'<a href="{escape(link(day, status.value))}"><rect x="{x:.1f}" y="{bottom:.1f}" '
                         f'width="{slot * 0.7:.1f}" height="{height:.1f}" fill="{COLOURS[status]}"><title>'
                         f'{escape(str(day))}: {count} {status.value}</title></rect></a>')
        total = sum(per_day[day].values())
        parts.append(f'<text x="{x + slot * 0.35:.1f}" y="{bottom - 3:.1f}" text-anchor="middle">{total}</text>')
        parts.append(f'<text x="{x + slot * 0.35:.1f}" y="{HEIGHT - 10}" text-anchor="middle">'
                     f'{escape(day.strftime("%d %b"))}</text>')
    for number, status in enumerate(Status):
        y = TOP + number * 18
        parts.append(f'<rect x="{WIDTH - LEGEND + 12}" y="{y}" width="12" height="12" fill="{COLOURS[status]}"/>'
                     f'<text x="{WIDTH - LEGEND + 30}" y="{y + 10}">{escape(status.value)}</text>')
    parts.append("</svg>")
    return mark_safe("".join(parts))  # noqa: S308  (built here from numbers and escaped text only)
