#!/usr/bin/env python3
"""Draws the scan window's pictures as SVG files next to this script.

    python3 make_images.py

writes orientation/<name>.svg for the sixteen orientation buttons,
quirel.svg, the application icon, and quirel.qrc, the resource list that
compiles them into the program. The files are committed; run the script
again after changing it. Only the standard library is used, and the output
is the same on every run.

Orientation pictures (64 x 64):
  fb-top-rN, fb-left-rN   a sheet on the flatbed glass, turned by N degrees;
                          the glass's alignment edge (top or left) is marked.
  adf-long-rN             a sheet entering the feeder with its long side along
                          the feed direction, its content turned by N degrees.
The content is turned counter-clockwise: the picture shows how the page lies
when the scan is turned clockwise by N degrees to bring it upright.
  adf-wide-rN             the same with the wide side leading.
"""

import os

HERE = os.path.dirname(os.path.abspath(__file__))

INK = "#1d4f91"
LINE = "#8ea4c2"
PAPER = "#ffffff"
PAPER_EDGE = "#5b6570"
BODY = "#4a525c"
BODY_LIGHT = "#6f7883"
GLASS = "#dfeaf3"
GLASS_EDGE = "#7d8fa0"
MARK = "#d2691e"


def fmt(v):
    s = ("%.2f" % v).rstrip("0").rstrip(".")
    return s if s not in ("", "-0") else "0"


def rect(x, y, w, h, fill, stroke=None, sw=1.0, rx=0.0):
    s = '<rect x="%s" y="%s" width="%s" height="%s" fill="%s"' % (fmt(x), fmt(y), fmt(w), fmt(h), fill)
    if rx:
        s += ' rx="%s"' % fmt(rx)
    if stroke:
        s += ' stroke="%s" stroke-width="%s"' % (stroke, fmt(sw))
    return s + "/>"


def content(cx, cy, size, turn):
    """A page's content: a big F (shows turns and mirror images) and three
    lines of text, inside a size x size square centred on (cx, cy), turned
    clockwise by `turn` degrees."""
    u = size / 10.0
    x0 = cx - size / 2
    y0 = cy - size / 2
    parts = [
        rect(x0 + 1.0 * u, y0 + 0.6 * u, 1.4 * u, 5.4 * u, INK),  # stem
        rect(x0 + 1.0 * u, y0 + 0.6 * u, 4.6 * u, 1.3 * u, INK),  # top bar
        rect(x0 + 1.0 * u, y0 + 2.9 * u, 3.4 * u, 1.2 * u, INK),  # middle bar
        rect(x0 + 6.4 * u, y0 + 1.0 * u, 2.6 * u, 0.7 * u, LINE),
        rect(x0 + 6.4 * u, y0 + 3.0 * u, 2.6 * u, 0.7 * u, LINE),
        rect(x0 + 1.0 * u, y0 + 7.0 * u, 8.0 * u, 0.7 * u, LINE),
        rect(x0 + 1.0 * u, y0 + 8.6 * u, 6.0 * u, 0.7 * u, LINE),
    ]
    return '<g transform="rotate(%d %s %s)">%s</g>' % (turn % 360, fmt(cx), fmt(cy), "".join(parts))


def sheet(x, y, w, h, turn):
    """A sheet of paper with its content turned counter-clockwise by `turn`
    degrees: the way the page lies when a clockwise turn of `turn` degrees
    brings the scanned image upright."""
    side = min(w, h) * 0.84
    return (rect(x + 1.2, y + 1.2, w, h, "#b4bcc6", rx=1) + rect(x, y, w, h, PAPER, PAPER_EDGE, 1.2, 1)
            + content(x + w / 2, y + h / 2, side, -turn))


def svg(body, size=64):
    return ('<?xml version="1.0" encoding="UTF-8"?>\n'
            '<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %d %d">\n%s\n</svg>\n'
            % (size, size, size, size, body))


def flatbed(turn, align_left):
    parts = [rect(4, 3, 56, 58, BODY_LIGHT, rx=4), rect(7, 6, 50, 52, GLASS, GLASS_EDGE, 1.0, 1.5)]
    # The glass's alignment edge, where the sheet's edge goes.
    if align_left:
        parts.append(rect(7, 6, 3, 52, MARK))
    else:
        parts.append(rect(7, 6, 50, 3, MARK))
    portrait = turn in (0, 180)
    w, h = (32, 42) if portrait else (42, 32)
    parts.append(sheet(10, 9, w, h, turn))
    return svg("".join(parts))


def feeder(turn, wide):
    parts = []
    # The scanner, seen from above, with its feed slot across the top.
    parts.append(rect(4, 2, 56, 13, BODY, rx=3))
    parts.append(rect(10, 11, 44, 3, "#22272d", rx=1))
    w, h = (46, 34) if wide else (34, 44)
    x = (64 - w) / 2
    y = 14
    parts.append(sheet(x, y, w, h, turn))
    # Feed direction: the sheet goes up into the slot.
    ax = 6 if not wide else 3.5
    ay = y + h - 2
    parts.append('<path d="M%s %s V%s" stroke="%s" stroke-width="2" stroke-linecap="round"/>' % (
        fmt(ax), fmt(ay), fmt(y + 6), MARK))
    parts.append('<path d="M%s %s L%s %s L%s %s Z" fill="%s"/>' % (
        fmt(ax - 3.5), fmt(y + 8), fmt(ax), fmt(y + 2), fmt(ax + 3.5), fmt(y + 8), MARK))
    return svg("".join(parts))


def app_icon():
    size = 256
    parts = [
        '<defs><linearGradient id="b" x1="0" y1="0" x2="0" y2="1">'
        '<stop offset="0" stop-color="#5d6773"/><stop offset="1" stop-color="#343a42"/></linearGradient>'
        '<linearGradient id="p" x1="0" y1="0" x2="0" y2="1">'
        '<stop offset="0" stop-color="#ffffff"/><stop offset="1" stop-color="#e8edf3"/></linearGradient></defs>',
        # A sheet rising out of the feeder ...
        '<path d="M70 20 H164 L196 52 V170 H70 Z" fill="url(#p)" stroke="#5b6570" stroke-width="5" '
        'stroke-linejoin="round"/>',
        '<path d="M164 20 V52 H196" fill="#dfe5ec" stroke="#5b6570" stroke-width="5" stroke-linejoin="round"/>',
        rect(92, 48, 16, 70, INK), rect(92, 48, 58, 16, INK), rect(92, 78, 44, 14, INK),
        rect(92, 132, 82, 9, LINE), rect(92, 150, 60, 9, LINE),
        # ... and the scanner's body.
        '<rect x="20" y="150" width="216" height="86" rx="22" fill="url(#b)"/>',
        rect(48, 164, 160, 12, "#1d2126", rx=6),
        '<circle cx="204" cy="208" r="9" fill="#7fd36a"/>',
        rect(44, 200, 110, 10, "#6f7883", rx=5),
    ]
    return svg("".join(parts), size)


def main():
    out = os.path.join(HERE, "orientation")
    os.makedirs(out, exist_ok=True)
    images = {}
    for turn in (0, 90, 180, 270):
        images["fb-top-r%d" % turn] = flatbed(turn, False)
        images["fb-left-r%d" % turn] = flatbed(turn, True)
        images["adf-long-r%d" % turn] = feeder(turn, False)
        images["adf-wide-r%d" % turn] = feeder(turn, True)
    for name, text in sorted(images.items()):
        with open(os.path.join(out, name + ".svg"), "w", encoding="utf-8") as f:
            f.write(text)
    with open(os.path.join(HERE, "quirel.svg"), "w", encoding="utf-8") as f:
        f.write(app_icon())
    lines = ['<!DOCTYPE RCC>', '<RCC version="1.0">', '  <qresource prefix="/orientation">']
    for name in sorted(images):
        lines.append('    <file alias="%s">orientation/%s.svg</file>' % (name, name))
    lines += ['  </qresource>', '  <qresource prefix="/icons">',
              '    <file alias="quirel">quirel.svg</file>', '  </qresource>', '</RCC>']
    with open(os.path.join(HERE, "quirel.qrc"), "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
