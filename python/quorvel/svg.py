"""Small SVG plots for quorvel's pages, drawn with presentation attributes alone.

A page served under a policy that forbids inline styles and scripts still
shows them, and a reader without a stylesheet sees them as drawn.

Every text is escaped here, so that the page may take a plot as markup.
Long time series are thinned to what a pixel column can show: its lowest
and highest value, so that no extreme disappears.
"""
import math

import numpy as np
from markupsafe import Markup, escape

# Okabe and Ito's palette, told apart with any common colour blindness.
BLACK, ORANGE, SKY, GREEN, YELLOW, BLUE, VERMILION, PURPLE, GREY = (
    "#000000", "#E69F00", "#56B4E9", "#009E73", "#F0E442", "#0072B2", "#D55E00", "#CC79A7", "#999999")
WIDTH, HEIGHT = 960, 300
LEFT, RIGHT, TOP, BOTTOM = 72, 16, 44, 46
THINNED = "thinned: the lowest and highest value of each pixel column"


def number(v):
    """A coordinate, short: the page of a long run holds many."""
    return f"{v:.1f}".rstrip("0").rstrip(".")


def ticks(low, high, count=6):
    """Round values between `low` and `high`, about `count` of them."""
    if not high > low:
        high = low + 1
    raw = (high - low) / count
    step = 10 ** math.floor(math.log10(raw))
    step *= next(m for m in (1, 2, 5, 10) if step * m >= raw)
    first = math.ceil(low / step) * step
    return [first + n * step for n in range(int((high - first) / step + 1e-9) + 1)]


def label(v):
    return f"{v:g}" if abs(v) < 1e6 else f"{v:.3g}"


def span(values, floor=None, room=0.05):
    """The range of finite values, from `floor` where one is given, with `room` above; (0, 1) for none."""
    v = np.asarray(values, dtype=float)
    v = v[np.isfinite(v)]
    if not len(v):
        return (0.0, 1.0) if floor is None else (floor, floor + 1.0)
    low = float(v.min()) if floor is None else min(floor, float(v.min()))
    high = float(v.max())
    return (low, high + (high - low) * room if high > low else low + 1)


class Plot:
    """One chart: axes with their units, a title, a legend, and what is drawn on them."""

    def __init__(self, title, xlabel, ylabel, xs, ys, note="", height=HEIGHT):
        self.title, self.note, self.height = title, note, height
        self.xs, self.ys, self.parts, self.legend = xs, ys, [], []
        self.labels, self.categories = (xlabel, ylabel), None  # categories: (x, name) ticks instead of numbers

    def px(self, v):
        low, high = self.xs
        return LEFT + (np.asarray(v, dtype=float) - low) / (high - low) * (WIDTH - LEFT - RIGHT)

    def py(self, v):
        low, high = self.ys
        return self.height - BOTTOM - (np.asarray(v, dtype=float) - low) / (high - low) * (self.height - TOP - BOTTOM)

    def key(self, colour, name):
        if name:
            self.legend.append((colour, name))

    def line(self, x, y, colour, name="", dash=None):
        """A polyline through the finite points, thinned to the plot's pixel columns."""
        x, y = np.asarray(x, dtype=float), np.asarray(y, dtype=float)
        keep = thin(self.px(x), y)
        points = " ".join(f"{number(a)},{number(b)}" for a, b in zip(self.px(x[keep]), self.py(y[keep])))
        extra = f' stroke-dasharray="{dash}"' if dash else ""
        self.parts.append(f'<polyline points="{points}" fill="none" stroke="{colour}" stroke-width="1"{extra}/>')
        self.key(colour, name)

    def level(self, y, colour, name, dash="6 4"):
        self.line(self.xs, [y, y], colour, name, dash)

    def marks(self, x, y, colour, name="", shape="circle", size=4, thinned=False):
        """Markers at each point, one where several fall on the same pixel; `thinned`, only those
        that `thin` keeps."""
        x, y = np.asarray(x, dtype=float), np.asarray(y, dtype=float)
        ok = np.isfinite(x) & np.isfinite(y)
        keep = thin(self.px(x), y) if thinned else np.flatnonzero(ok)
        at = np.unique(np.round(np.column_stack([self.px(x[keep]), self.py(y[keep])])), axis=0)
        for a, b in at:
            if shape == "circle":
                self.parts.append(f'<circle cx="{number(a)}" cy="{number(b)}" r="{size}" fill="none" '
                                  f'stroke="{colour}" stroke-width="1.5"/>')
            elif shape == "dot":
                self.parts.append(f'<rect x="{number(a - size / 2)}" y="{number(b - size / 2)}" width="{size}" '
                                  f'height="{size}" fill="{colour}"/>')
            else:  # a triangle, told from a circle without colour
                self.parts.append(f'<path d="M{number(a)} {number(b - size)}l{size} {2 * size}h{-2 * size}z" '
                                  f'fill="{colour}"/>')
        self.key(colour, name and f"{name} ({int(ok.sum())})")

    def bars(self, left, right, top, colour, name="", bottom=None):
        left, right, top = (np.asarray(v, dtype=float) for v in (left, right, top))
        bottom = np.zeros(len(top)) if bottom is None else np.asarray(bottom, dtype=float)
        for a, b, t, u in zip(self.px(left), self.px(right), self.py(top), self.py(bottom)):
            if u - t > 0:
                self.parts.append(f'<rect x="{number(a)}" y="{number(t)}" width="{number(max(b - a, 0.5))}" '
                                  f'height="{number(u - t)}" fill="{colour}"/>')
        self.key(colour, name)

    def axes(self):
        out, bottom = [], self.height - BOTTOM
        for v, name in self.categories or [(v, label(v)) for v in ticks(*self.xs)]:
            x = number(self.px(v))
            out.append(f'<line x1="{x}" y1="{bottom}" x2="{x}" y2="{bottom + 4}" stroke="{BLACK}"/>'
                       f'<text x="{x}" y="{bottom + 16}" text-anchor="middle">{escape(name)}</text>')
        for v in ticks(*self.ys, count=5):
            y = number(self.py(v))
            out.append(f'<line x1="{LEFT}" y1="{y}" x2="{WIDTH - RIGHT}" y2="{y}" stroke="#dddddd"/>'
                       f'<text x="{LEFT - 6}" y="{y}" dy="4" text-anchor="end">{label(v)}</text>')
        xlabel, ylabel = (escape(t) for t in self.labels)
        middle = (TOP + bottom) / 2
        out.append(f'<rect x="{LEFT}" y="{TOP}" width="{WIDTH - LEFT - RIGHT}" height="{bottom - TOP}" fill="none" '
                   f'stroke="{BLACK}"/><text x="{(LEFT + WIDTH - RIGHT) / 2}" y="{self.height - 8}" '
                   f'text-anchor="middle">{xlabel}</text><text x="14" y="{middle}" text-anchor="middle" '
                   f'transform="rotate(-90 14 {middle})">{ylabel}</text>')
        return out

    def heading(self):
        out = [f'<text x="{LEFT}" y="16" font-size="15" font-weight="bold">{escape(self.title)}</text>']
        if self.note:
            out.append(f'<text x="{WIDTH - RIGHT}" y="16" text-anchor="end" fill="#555555">{escape(self.note)}</text>')
        x = LEFT
        for colour, name in self.legend:
            out.append(f'<rect x="{x}" y="26" width="12" height="10" fill="{colour}"/>'
                       f'<text x="{x + 16}" y="35">{escape(name)}</text>')
            x += 28 + 7 * len(name)
        return out

    def svg(self):
        """The chart as markup: every text in it escaped above."""
        body = "".join(self.axes() + self.parts + self.heading())
        return Markup(f'<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 {WIDTH} {self.height}" width="100%" '
                      f'font-family="sans-serif" font-size="12" role="img"><title>{escape(self.title)}</title>'
                      f'{body}</svg>')


def thin(columns, values):
    """The indices to draw of a series over pixel `columns`: in each column its first, last, lowest
    and highest finite value, in their order, so that a line through them keeps every extreme."""
    ok = np.flatnonzero(np.isfinite(columns) & np.isfinite(values))
    if len(ok) <= 4 * (WIDTH - LEFT - RIGHT):
        return ok
    col = np.floor(columns[ok]).astype(np.int64)
    by_value = ok[np.lexsort((values[ok], col))]
    group = np.floor(columns[by_value]).astype(np.int64)
    first = np.r_[True, group[1:] != group[:-1]]
    last = np.r_[group[1:] != group[:-1], True]
    edges = np.r_[True, col[1:] != col[:-1]], np.r_[col[1:] != col[:-1], True]
    return np.unique(np.concatenate([by_value[first], by_value[last], ok[edges[0]], ok[edges[1]]]))
