"""The report's figures as SVG, written directly: sequence logos, the cluster-size charts and the samples'
heatmap. Hand-made charts cost milliseconds where a plotting library costs seconds, and need nothing
installed."""

import html
import math

BITS = math.log2(20)  # the most a position can hold
_FONT = "font-family='DejaVu Sans, Verdana, Arial, sans-serif'"
# A bold sans capital: the height of its caps and the width of its advance, per unit of font size.
_CAP, _ADVANCE = 0.73, 0.69
_INK, _MUTED, _GRID = "#1d1f21", "#5f6368", "#e6e6e6"
# Viridis at eleven stops, for shares from 0 to the largest.
_VIRIDIS = ("#440154", "#482374", "#404387", "#345e8d", "#29788e", "#20908c", "#22a884", "#43bf71",
            "#7ad151", "#bcdf27", "#fde725")


def _e(text):
    return html.escape(str(text), quote=True)


def _n(x):
    """A coordinate, short."""
    return f"{x:.2f}".rstrip("0").rstrip(".")


def logo(letters, bits, positions, colours, title):
    """A sequence logo: per position, its letters stacked by their share of the position's information,
    the largest on top; anchor positions (0-based) shaded."""
    length = len(bits)
    column, height, left, bottom, top = 26.0, 110.0, 34.0, 22.0, 6.0
    width = left + column * length + 6
    scale = height / BITS
    out = [f"<svg xmlns='http://www.w3.org/2000/svg' viewBox='0 0 {_n(width)} {_n(top + height + bottom)}' "
           f"role='img' aria-label='{_e(title)}' {_FONT}>"]
    base = top + height
    for p in positions:
        if 0 <= p < length:
            out.append(f"<rect x='{_n(left + p * column)}' y='{_n(top)}' width='{_n(column)}' height='{_n(height)}' "
                       f"fill='#fdf1d6'/>")
    for tick in (0, 2, 4):
        y = base - tick * scale
        out.append(f"<line x1='{_n(left - 4)}' x2='{_n(left)}' y1='{_n(y)}' y2='{_n(y)}' stroke='{_MUTED}'/>"
                   f"<text x='{_n(left - 7)}' y='{_n(y + 3.5)}' font-size='10' text-anchor='end' "
                   f"fill='{_MUTED}'>{tick}</text>")
    out.append(f"<line x1='{_n(left)}' x2='{_n(left)}' y1='{_n(top)}' y2='{_n(base)}' stroke='{_MUTED}'/>"
               f"<text transform='translate(9 {_n(top + height / 2)}) rotate(-90)' font-size='10' "
               f"text-anchor='middle' fill='{_MUTED}'>bits</text>")
    for i, row in enumerate(bits):
        x = left + i * column
        out.append(f"<text x='{_n(x + column / 2)}' y='{_n(base + 15)}' font-size='10' text-anchor='middle' "
                   f"fill='{_MUTED}'>{i + 1}</text>")
        y = base
        for h, letter in sorted((h, letter) for letter, h in zip(letters, row) if h > 0):
            glyph = h * scale
            if glyph < 0.3:
                continue
            sx = column * 0.88 / _ADVANCE
            sy = glyph / _CAP
            out.append(f"<text transform='translate({_n(x + column * 0.06)} {_n(y)}) scale({_n(sx)} {_n(sy)})' "
                       f"font-size='1' font-weight='bold' fill='{colours.get(letter, '#9e9e9e')}'>{_e(letter)}</text>")
            y -= glyph
    out.append("</svg>")
    return "".join(out)


def _log_ticks(high):
    """1, 2, 5, 10, 20, ... up to the first at or above `high`; over many decades, powers of ten alone."""
    steps = (1, 2, 5) if high <= 1000 else (1,)
    ticks, decade = [], 1
    while True:
        for m in steps:
            ticks.append(m * decade)
            if m * decade >= high:
                return ticks
        decade *= 10


class _Panel:
    """One chart: a log x axis of cluster sizes, and a log or linear y axis."""

    def __init__(self, x0, y0, width, height, x_high, y_high, y_log, title, y_label):
        self.x0, self.y0, self.w, self.h = x0, y0, width, height
        self.x_ticks = _log_ticks(max(x_high, 2))
        self.y_log = y_log
        self.y_ticks = _log_ticks(max(y_high, 2)) if y_log else [0, 25, 50, 75, 100]
        self.x_max = math.log10(self.x_ticks[-1])
        self.y_max = math.log10(self.y_ticks[-1]) if y_log else 102.0
        self.title, self.y_label = title, y_label

    def x(self, v):
        return self.x0 + self.w * (math.log10(v) / self.x_max if self.x_max else 0.0)

    def y(self, v):
        if self.y_log:
            return self.y0 + self.h - self.h * (math.log10(max(v, 1)) / self.y_max if self.y_max else 0.0)
        return self.y0 + self.h - self.h * v / self.y_max

    def frame(self):
        out = [f"<text x='{_n(self.x0)}' y='{_n(self.y0 - 10)}' font-size='13' fill='{_INK}'>{_e(self.title)}</text>"]
        for t in self.x_ticks:
            x = self.x(t)
            out.append(f"<line x1='{_n(x)}' x2='{_n(x)}' y1='{_n(self.y0)}' y2='{_n(self.y0 + self.h)}' "
                       f"stroke='{_GRID}'/><text x='{_n(x)}' y='{_n(self.y0 + self.h + 14)}' font-size='10' "
                       f"text-anchor='middle' fill='{_MUTED}'>{t:,}</text>")
        for t in self.y_ticks:
            y = self.y(t) if (t > 0 or not self.y_log) else self.y(1)
            out.append(f"<line x1='{_n(self.x0)}' x2='{_n(self.x0 + self.w)}' y1='{_n(y)}' y2='{_n(y)}' "
                       f"stroke='{_GRID}'/><text x='{_n(self.x0 - 5)}' y='{_n(y + 3.5)}' font-size='10' "
                       f"text-anchor='end' fill='{_MUTED}'>{t:,}</text>")
        out.append(f"<text x='{_n(self.x0 + self.w / 2)}' y='{_n(self.y0 + self.h + 30)}' font-size='11' "
                   f"text-anchor='middle' fill='{_MUTED}'>cluster size (peptides)</text>"
                   f"<text transform='translate({_n(self.x0 - 44)} {_n(self.y0 + self.h / 2)}) rotate(-90)' "
                   f"font-size='11' text-anchor='middle' fill='{_MUTED}'>{_e(self.y_label)}</text>")
        return out


def size_plot(by_length, colours):
    """Clusters per size (members), and the share of peptides in clusters at least that large, per length;
    by_length is {length: {members: clusters}}."""
    lengths = sorted(by_length)
    x_high = max((max(sizes) for sizes in by_length.values() if sizes), default=1)
    y_high = max((max(sizes.values()) for sizes in by_length.values() if sizes), default=1)
    left = _Panel(70, 30, 360, 200, x_high, y_high, True, "How many clusters of each size", "clusters")
    right = _Panel(560, 30, 360, 200, x_high, 100, False, "Peptides in clusters at least this large",
                   "% of peptides")
    out = ["<svg xmlns='http://www.w3.org/2000/svg' viewBox='0 0 960 290' role='img' "
           f"aria-label='cluster sizes' {_FONT}>"]
    out += left.frame() + right.frame()
    for i, length in enumerate(lengths):
        colour = colours[i % len(colours)]
        sizes = by_length[length]
        xs = sorted(sizes)
        points = " ".join(f"{_n(left.x(x))},{_n(left.y(sizes[x]))}" for x in xs)
        out.append(f"<polyline points='{points}' fill='none' stroke='{colour}' stroke-width='1.2'/>")
        out += [f"<circle cx='{_n(left.x(x))}' cy='{_n(left.y(sizes[x]))}' r='2' fill='{colour}'/>" for x in xs]
        total = sum(x * n for x, n in sizes.items())
        remaining, steps = total, []
        for k, x in enumerate(xs):
            share = 100.0 * remaining / total if total else 0.0
            steps.append(f"{_n(right.x(x))},{_n(right.y(share))}")
            remaining -= x * sizes[x]
            after = 100.0 * remaining / total if total else 0.0
            end = right.x(xs[k + 1]) if k + 1 < len(xs) else right.x0 + right.w
            steps.append(f"{_n(end)},{_n(right.y(share))}")
            if k + 1 < len(xs):
                steps.append(f"{_n(end)},{_n(right.y(after))}")
        out.append(f"<polyline points='{' '.join(steps)}' fill='none' stroke='{colour}' stroke-width='1.5'/>")
        if len(lengths) > 1:
            out.append(f"<text x='{_n(right.x0 + right.w - 4)}' y='{_n(right.y0 + 14 + 14 * i)}' font-size='10' "
                       f"text-anchor='end' fill='{colour}'>{length}-mers</text>")
    out.append("</svg>")
    return "".join(out)


def heatmap(values, row_labels, column_labels, title, legend):
    """A table of values (rows x columns) as coloured cells, with a scale from 0 to the largest."""
    rows, columns = len(values), len(column_labels)
    cell_w, cell_h, left, top = 54.0, 20.0, 190.0, 36.0
    labels_h = 8 + 6 * max((len(c) for c in column_labels), default=1)
    width, height = left + cell_w * columns + 90, top + cell_h * rows + labels_h
    high = max((v for row in values for v in row), default=0.0) or 1.0
    out = [f"<svg xmlns='http://www.w3.org/2000/svg' viewBox='0 0 {_n(width)} {_n(height)}' role='img' "
           f"aria-label='{_e(title)}' {_FONT}>"
           f"<text x='0' y='16' font-size='13' fill='{_INK}'>{_e(title)}</text>"]
    for r, row in enumerate(values):
        y = top + r * cell_h
        out.append(f"<text x='{_n(left - 6)}' y='{_n(y + cell_h * 0.7)}' font-size='10' text-anchor='end' "
                   f"font-family='DejaVu Sans Mono, monospace' fill='{_INK}'>{_e(row_labels[r])}</text>")
        for c, v in enumerate(row):
            colour = _VIRIDIS[min(10, int(round(10 * v / high)))]
            out.append(f"<rect x='{_n(left + c * cell_w)}' y='{_n(y)}' width='{_n(cell_w - 1)}' "
                       f"height='{_n(cell_h - 1)}' fill='{colour}'><title>{_e(f'{v:.2f}')}</title></rect>")
    for c, label in enumerate(column_labels):
        x, y = left + c * cell_w + cell_w / 2, top + rows * cell_h + 8
        out.append(f"<text transform='translate({_n(x)} {_n(y)}) rotate(45)' font-size='10' fill='{_INK}'>"
                   f"{_e(label)}</text>")
    # The scale: eleven stops from 0 to the largest value.
    x = left + columns * cell_w + 20
    for k, colour in enumerate(reversed(_VIRIDIS)):
        out.append(f"<rect x='{_n(x)}' y='{_n(top + k * 8)}' width='12' height='8' fill='{colour}'/>")
    out.append(f"<text x='{_n(x + 16)}' y='{_n(top + 8)}' font-size='10' fill='{_MUTED}'>{high:.1f}</text>"
               f"<text x='{_n(x + 16)}' y='{_n(top + 88)}' font-size='10' fill='{_MUTED}'>0</text>"
               f"<text x='{_n(x)}' y='{_n(top + 104)}' font-size='10' fill='{_MUTED}'>{_e(legend)}</text></svg>")
    return "".join(out)
