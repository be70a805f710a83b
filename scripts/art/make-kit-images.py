#!/usr/bin/env python3
"""Draws the application's images as plain geometric SVG into resources/images.

Our own style: flat rounded shapes on the dark slate of the windows, one blue
accent, white glyphs. Button stems get four states from one drawing: normal,
hover (lighter), press (darker) and disable (grey, faded). Run it again after
changing a drawing and commit the SVG files it writes.
"""
import os
import sys

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "resources", "images")

SLATE = (58, 63, 71)
ACCENT = (59, 153, 252)
ORANGE = (249, 171, 0)
RED = (226, 74, 74)
GREEN = (72, 190, 120)
GREY = (118, 122, 130)
WHITE = (255, 255, 255)


def hexc(c):
    return "#%02x%02x%02x" % tuple(max(0, min(255, int(round(v)))) for v in c)


def mix(c, to, t):
    return tuple(a + (b - a) * t for a, b in zip(c, to))


def state_colours(base):
    return {
        "normal": (base, 1.0),
        "hover": (mix(base, WHITE, 0.18), 1.0),
        "press": (mix(base, (0, 0, 0), 0.25), 1.0),
        "disable": (GREY, 0.45),
    }


def svg(w, h, body, opacity=1.0):
    group = body if opacity >= 1.0 else '<g opacity="%.2f">%s</g>' % (opacity, body)
    return ('<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %d %d">%s</svg>\n'
            % (w, h, w, h, group))


def write(name, text):
    with open(os.path.join(OUT, name + ".svg"), "w") as f:
        f.write(text)


# Glyphs: white shapes inside a box (x, y, size), drawn with stroke width sw.
def glyph(kind, x, y, s, col="#ffffff"):
    u = s / 16.0
    sw = max(1.2, 1.6 * u)
    st = 'fill="none" stroke="%s" stroke-width="%.2f" stroke-linecap="round" stroke-linejoin="round"' % (col, sw)
    fl = 'fill="%s"' % col

    def p(px, py):
        return "%.2f,%.2f" % (x + px * u, y + py * u)

    if kind == "import":  # arrow down into an open tray
        return ('<polyline %s points="%s %s %s %s"/><polyline %s points="%s %s"/><polyline %s points="%s %s %s"/>'
                % (st, p(2, 10), p(2, 14), p(14, 14), p(14, 10), st, p(8, 2), p(8, 10), st, p(5, 7), p(8, 10),
                   p(11, 7)))
    if kind == "export":  # arrow up out of an open tray
        return ('<polyline %s points="%s %s %s %s"/><polyline %s points="%s %s"/><polyline %s points="%s %s %s"/>'
                % (st, p(2, 10), p(2, 14), p(14, 14), p(14, 10), st, p(8, 11), p(8, 2), st, p(5, 5), p(8, 2),
                   p(11, 5)))
    if kind == "play":
        return '<polygon %s points="%s %s %s"/>' % (fl, p(5, 3), p(13, 8), p(5, 13))
    if kind == "pause":
        return ('<rect %s x="%.2f" y="%.2f" width="%.2f" height="%.2f" rx="%.2f"/>' % (fl, x + 4 * u, y + 3 * u, 3 * u,
                                                                                       10 * u, 0.8 * u) +
                '<rect %s x="%.2f" y="%.2f" width="%.2f" height="%.2f" rx="%.2f"/>' % (fl, x + 9 * u, y + 3 * u, 3 * u,
                                                                                       10 * u, 0.8 * u))
    if kind == "stop":
        return '<rect %s x="%.2f" y="%.2f" width="%.2f" height="%.2f" rx="%.2f"/>' % (fl, x + 4 * u, y + 4 * u, 8 * u,
                                                                                      8 * u, 1.2 * u)
    if kind == "back":
        return '<polyline %s points="%s %s %s"/>' % (st, p(10, 3), p(5, 8), p(10, 13))
    if kind == "continue":
        return '<polyline %s points="%s %s %s"/>' % (st, p(6, 3), p(11, 8), p(6, 13))
    if kind == "home":  # a house: roof and body
        return ('<polyline %s points="%s %s %s"/><polyline %s points="%s %s %s %s"/>'
                % (st, p(2, 8), p(8, 2.5), p(14, 8), st, p(4, 7), p(4, 14), p(12, 14), p(12, 7)))
    if kind == "deepscan":  # a lens over layered lines
        return ('<circle %s cx="%.2f" cy="%.2f" r="%.2f"/><line %s x1="%.2f" y1="%.2f" x2="%.2f" y2="%.2f"/>'
                '<line %s x1="%.2f" y1="%.2f" x2="%.2f" y2="%.2f"/><line %s x1="%.2f" y1="%.2f" x2="%.2f" y2="%.2f"/>'
                % (st, x + 7 * u, y + 7 * u, 4.5 * u, st, x + 10.3 * u, y + 10.3 * u, x + 14 * u, y + 14 * u, st,
                   x + 5 * u, y + 6 * u, x + 9 * u, y + 6 * u, st, x + 5 * u, y + 8.5 * u, x + 8 * u, y + 8.5 * u))
    if kind == "search":
        return ('<circle %s cx="%.2f" cy="%.2f" r="%.2f"/><line %s x1="%.2f" y1="%.2f" x2="%.2f" y2="%.2f"/>'
                % (st, x + 7 * u, y + 7 * u, 4.5 * u, st, x + 10.3 * u, y + 10.3 * u, x + 14 * u, y + 14 * u))
    if kind == "cross":
        return ('<line %s x1="%.2f" y1="%.2f" x2="%.2f" y2="%.2f"/><line %s x1="%.2f" y1="%.2f" x2="%.2f" y2="%.2f"/>'
                % (st, x + 4 * u, y + 4 * u, x + 12 * u, y + 12 * u, st, x + 12 * u, y + 4 * u, x + 4 * u, y + 12 * u))
    if kind == "minus":
        return '<line %s x1="%.2f" y1="%.2f" x2="%.2f" y2="%.2f"/>' % (st, x + 4 * u, y + 8 * u, x + 12 * u, y + 8 * u)
    if kind == "expand":  # two corners pointing apart
        return ('<polyline %s points="%s %s %s"/><polyline %s points="%s %s %s"/>'
                % (st, p(4, 8), p(4, 4), p(8, 4), st, p(12, 8), p(12, 12), p(8, 12)))
    if kind == "recover":  # a circular arrow
        return ('<path %s d="M %s A %.2f %.2f 0 1 0 %s"/><polyline %s points="%s %s %s"/>'
                % (st, p(3.5, 6), 5 * u, 5 * u, p(8, 3), st, p(6.5, 1.5), p(8.5, 3), p(6.5, 4.8)))
    raise KeyError(kind)


def pill_button(stem, w, h, base, kind, radius=None):
    r = h / 2.0 if radius is None else radius
    for state, (colour, opacity) in state_colours(base).items():
        s = min(w, h) * 0.55
        body = '<rect x="0.5" y="0.5" width="%.1f" height="%.1f" rx="%.1f" fill="%s"/>' % (w - 1, h - 1, r,
                                                                                         hexc(colour))
        body += '<rect x="1.5" y="1.5" width="%.1f" height="%.1f" rx="%.1f" fill="none" stroke="#ffffff" ' \
                'stroke-opacity="0.12"/>' % (w - 3, h - 3, max(0, r - 1))
        if kind:
            body += glyph(kind, (w - s) / 2.0, (h - s) / 2.0, s)
        write("%s_%s" % (stem, state), svg(w, h, body, opacity))


def icon_button(stem, size, base, kind):
    """A small round-cornered tile with a glyph (title-bar buttons)."""
    for state, (colour, opacity) in state_colours(base).items():
        body = '<rect x="0" y="0" width="%d" height="%d" rx="%.1f" fill="%s"/>' % (size, size, size * 0.25,
                                                                                 hexc(colour))
        s = size * 0.75
        body += glyph(kind, (size - s) / 2.0, (size - s) / 2.0, s)
        write("%s_%s" % (stem, state), svg(size, size, body, opacity))


def category_glyph(kind, col):
    c = hexc(col)
    if kind == "graphics":  # a framed landscape: sun and two hills
        return ('<rect x="9" y="12" width="32" height="26" rx="3" fill="none" stroke="%s" stroke-width="2.5"/>'
                '<circle cx="18" cy="20" r="3" fill="%s"/><polygon points="11,36 21,25 28,32 32,28 39,36" fill="%s"/>'
                % (c, c, c))
    if kind == "audio":  # two eighth notes joined by a beam
        return ('<rect x="18" y="12" width="3" height="21" fill="%s"/><rect x="32" y="9" width="3" height="21" '
                'fill="%s"/><polygon points="18,12 35,9 35,14 18,17" fill="%s"/><ellipse cx="15.5" cy="34" rx="5.5" '
                'ry="4.2" fill="%s"/><ellipse cx="29.5" cy="31" rx="5.5" ry="4.2" fill="%s"/>' % (c, c, c, c, c))
    if kind == "video":  # a frame with perforations and a play triangle
        body = '<rect x="8" y="12" width="34" height="26" rx="3" fill="none" stroke="%s" stroke-width="2.5"/>' % c
        for i in range(4):
            body += '<rect x="%d" y="14.5" width="3" height="3" fill="%s"/>' % (12 + i * 8, c)
            body += '<rect x="%d" y="32.5" width="3" height="3" fill="%s"/>' % (12 + i * 8, c)
        return body + '<polygon points="22,20 30,25 22,30" fill="%s"/>' % c
    if kind == "archive":  # a box with a lid and a stitched band
        body = ('<rect x="10" y="17" width="30" height="22" rx="2" fill="none" stroke="%s" stroke-width="2.5"/>'
                '<rect x="8" y="11" width="34" height="7" rx="2" fill="%s"/>' % (c, c))
        for i in range(4):
            body += '<rect x="23" y="%d" width="4" height="2.5" fill="%s"/>' % (21 + i * 4.5, c)
        return body
    if kind == "document":  # a page with a folded corner and lines
        body = ('<polygon points="13,8 30,8 38,16 38,42 13,42" fill="none" stroke="%s" stroke-width="2.5" '
                'stroke-linejoin="round"/><polyline points="30,8 30,16 38,16" fill="none" stroke="%s" '
                'stroke-width="2"/>' % (c, c))
        for i in range(4):
            body += '<rect x="18" y="%d" width="%d" height="2" fill="%s"/>' % (21 + i * 5, 15 if i < 3 else 9, c)
        return body
    if kind == "other":  # three dots in a ring
        return ('<circle cx="25" cy="25" r="15" fill="none" stroke="%s" stroke-width="2.5"/>'
                '<circle cx="18" cy="25" r="2.6" fill="%s"/><circle cx="25" cy="25" r="2.6" fill="%s"/>'
                '<circle cx="32" cy="25" r="2.6" fill="%s"/>' % (c, c, c, c))
    raise KeyError(kind)


def category_button(kind, col):
    tile = (48, 53, 60)
    states = {
        "normal": (tile, col, 1.0),
        "hover": (mix(tile, WHITE, 0.12), mix(col, WHITE, 0.2), 1.0),
        "press": (mix(tile, (0, 0, 0), 0.3), mix(col, (0, 0, 0), 0.2), 1.0),
        "disable": (tile, GREY, 0.45),
    }
    for state, (bg, fg, opacity) in states.items():
        body = '<rect x="0.5" y="0.5" width="49" height="49" rx="11" fill="%s"/>' % hexc(bg)
        body += category_glyph(kind, fg)
        write("icon_%s_%s" % (kind, state), svg(50, 50, body, opacity))


def checkbox(name, mark):
    body = '<rect x="1" y="1" width="14" height="14" rx="3" fill="%s" stroke="%s" stroke-width="1.2"/>' % (
        hexc(ACCENT) if mark else "#2a2e33", hexc(ACCENT) if mark else "#9aa0ab")
    if mark == "tick":
        body += '<polyline points="4,8.3 7,11 12.2,5" fill="none" stroke="#ffffff" stroke-width="2" ' \
                'stroke-linecap="round" stroke-linejoin="round"/>'
    elif mark == "part":
        body += '<rect x="4" y="7" width="8" height="2.2" rx="1" fill="#ffffff"/>'
    write(name, svg(16, 16, body))


def small_icon(name, body):
    write(name, svg(16, 16, body))


def row_icons():
    def tile(col, inner):
        return '<rect x="1" y="1" width="14" height="14" rx="3" fill="%s"/>%s' % (hexc(col), inner)

    disk = ('<rect x="1.5" y="3.5" width="13" height="9" rx="2" fill="#8d95a5"/>'
            '<rect x="3" y="9" width="10" height="2" rx="1" fill="#3a3f47"/><circle cx="12" cy="6" r="1" '
            'fill="#3a3f47"/>')
    folder = ('<path d="M1.5,4 h5 l1.5,1.5 h6.5 v8 h-13 z" fill="%s"/><rect x="1.5" y="6.5" width="13" height="7" '
              'fill="%s"/>' % (hexc(mix(ACCENT, (0, 0, 0), 0.2)), hexc(ACCENT)))
    small_icon("0IconImage", disk)
    small_icon("1IconImage", folder)
    colours = [(2, (236, 120, 80)), (3, (170, 110, 230)), (4, (230, 80, 120)), (5, (200, 160, 60)),
               (6, (80, 170, 230)), (7, (140, 146, 158))]
    marks = {
        2: '<polygon points="3,12 7,7 9.5,10 11,8.5 13,12" fill="#ffffff"/>',
        3: '<rect x="9" y="3.5" width="1.6" height="7" fill="#ffffff"/><circle cx="7.8" cy="11" r="2.2" '
           'fill="#ffffff"/>',
        4: '<polygon points="6,4.5 11.5,8 6,11.5" fill="#ffffff"/>',
        5: '<rect x="4" y="4" width="8" height="2.5" fill="#ffffff"/><rect x="4" y="7.5" width="8" height="4.5" '
           'fill="none" stroke="#ffffff" stroke-width="1.2"/>',
        6: '<rect x="4.5" y="4" width="7" height="1.4" fill="#ffffff"/><rect x="4.5" y="7" width="7" height="1.4" '
           'fill="#ffffff"/><rect x="4.5" y="10" width="4.5" height="1.4" fill="#ffffff"/>',
        7: '<circle cx="5" cy="8" r="1.3" fill="#ffffff"/><circle cx="8" cy="8" r="1.3" fill="#ffffff"/>'
           '<circle cx="11" cy="8" r="1.3" fill="#ffffff"/>',
    }
    for n, col in colours:
        small_icon("%dIconImage" % n, tile(col, marks[n]))
    calendar = ('<rect x="1.5" y="2.5" width="13" height="12" rx="2" fill="#dfe3ea"/>'
                '<rect x="1.5" y="2.5" width="13" height="3.5" rx="1.5" fill="%s"/>' % hexc(RED))
    small_icon("8IconImage", calendar + '<text x="8" y="13" font-family="DejaVu Sans" font-size="6.5" '
               'text-anchor="middle" fill="#3a3f47">Y</text>')
    small_icon("9IconImage", calendar + '<rect x="4" y="8" width="2" height="2" fill="#3a3f47"/><rect x="7" y="8" '
               'width="2" height="2" fill="#3a3f47"/><rect x="10" y="8" width="2" height="2" fill="#3a3f47"/>'
               '<rect x="4" y="11" width="2" height="2" fill="#3a3f47"/>')
    small_icon("10IconImage", tile((100, 106, 118), '<rect x="4" y="4" width="8" height="8" rx="1.5" fill="none" '
               'stroke="#ffffff" stroke-width="1.3"/>'))
    small_icon("mirror_image", '<rect x="2.5" y="1.5" width="11" height="13" rx="2" fill="#8d95a5"/>'
               '<circle cx="8" cy="7" r="3.2" fill="none" stroke="#3a3f47" stroke-width="1.3"/>'
               '<rect x="4.5" y="11.5" width="7" height="1.3" fill="#3a3f47"/>')
    small_icon("usb", '<rect x="4.5" y="1.5" width="7" height="4" fill="#c9ced8"/><rect x="2.5" y="5" width="11" '
               'height="9.5" rx="2" fill="#8d95a5"/><rect x="6" y="2.5" width="1.4" height="1.5" fill="#3a3f47"/>'
               '<rect x="8.6" y="2.5" width="1.4" height="1.5" fill="#3a3f47"/>')


def main():
    os.makedirs(OUT, exist_ok=True)
    # Button stems.
    pill_button("start", 140, 40, ACCENT, "play")
    pill_button("continue", 100, 30, ACCENT, "continue")
    pill_button("back", 100, 30, SLATE, "back")
    pill_button("botton_recover", 100, 30, ACCENT, None, radius=6)
    icon_button("import", 16, SLATE, "import")
    icon_button("export", 16, SLATE, "export")
    icon_button("home", 32, SLATE, "home")
    icon_button("deepscan", 32, SLATE, "deepscan")
    icon_button("pause", 16, SLATE, "pause")
    icon_button("play", 16, SLATE, "play")
    icon_button("stop", 16, SLATE, "stop")
    icon_button("del", 16, RED, "stop")
    # The answers of the small windows: the main one and the other one.
    pill_button("pop_button", 100, 28, ACCENT, None, radius=6)
    pill_button("pop_button_plain", 100, 28, SLATE, None, radius=6)
    # Our own window buttons: square slate tiles that always show their glyph;
    # close turns red only under the pointer.
    for stem, kind in (("window_close", "cross"), ("window_minimise", "minus"), ("window_zoom", "expand")):
        for state, (colour, opacity) in state_colours(SLATE).items():
            if stem == "window_close" and state in ("hover", "press"):
                colour = RED if state == "hover" else mix(RED, (0, 0, 0), 0.25)
            body = '<rect x="0" y="0" width="14" height="14" rx="3" fill="%s"/>' % hexc(colour)
            body += glyph(kind, 1, 1, 12)
            write("%s_%s" % (stem, state), svg(14, 14, body, opacity))
    for kind, col in (("graphics", (236, 120, 80)), ("audio", (170, 110, 230)), ("video", (230, 80, 120)),
                      ("archive", (200, 160, 60)), ("document", (80, 170, 230)), ("other", (150, 160, 175))):
        category_button(kind, col)

    # Tick boxes: off, on, partly on.
    checkbox("checkbox_no", None)
    checkbox("checkbox_yes", "tick")
    checkbox("checkbox_election", "part")

    # Single images.
    write("warning_b", svg(64, 64, '<polygon points="32,5 60,56 4,56" fill="%s" stroke="%s" stroke-width="3" '
                                   'stroke-linejoin="round"/><rect x="29" y="21" width="6" height="21" rx="3" '
                                   'fill="#2a2e33"/><circle cx="32" cy="48" r="3.4" fill="#2a2e33"/>'
                                   % (hexc(ORANGE), hexc(ORANGE))))
    write("pop_header_bg", svg(32, 22, '<defs><linearGradient id="g" x1="0" y1="0" x2="0" y2="1"><stop offset="0" '
                                       'stop-color="#dfe2e8"/><stop offset="1" stop-color="#c3c7d0"/>'
                                       '</linearGradient></defs><rect width="32" height="22" fill="url(#g)"/>'
                                       '<rect y="21" width="32" height="1" fill="#9aa0ab"/>'))
    write("search_normal", svg(16, 16, glyph("search", 0, 0, 16, "#c9cee0")))
    write("search_clear", svg(16, 16, '<circle cx="8" cy="8" r="7" fill="#5e6278"/>' + glyph("cross", 2, 2, 12)))
    write("loading", svg(64, 64, ''.join(
        '<rect x="30" y="6" width="4" height="14" rx="2" fill="#8d95a5" fill-opacity="%.2f" '
        'transform="rotate(%d 32 32)"/>' % (0.2 + 0.1 * i, 45 * i) for i in range(8))))
    write("logo", svg(64, 64, '<rect x="4" y="4" width="56" height="56" rx="14" fill="%s"/>'
                              '<path d="M20,38 a12,12 0 1 1 24,0" fill="none" stroke="#ffffff" stroke-width="5" '
                              'stroke-linecap="round"/><polyline points="32,20 32,44" stroke="#ffffff" '
                              'stroke-width="5" stroke-linecap="round"/><polyline points="25,37 32,44 39,37" '
                              'fill="none" stroke="#ffffff" stroke-width="5" stroke-linecap="round" '
                              'stroke-linejoin="round"/>' % hexc(ACCENT)))
    write("app_icon", svg(64, 64, '<rect x="4" y="4" width="56" height="56" rx="14" fill="#2a2e33"/>'
                                  '<rect x="12" y="12" width="40" height="40" rx="10" fill="%s"/>'
                                  '<polyline points="22,32 29,39 43,25" fill="none" stroke="#ffffff" '
                                  'stroke-width="5" stroke-linecap="round" stroke-linejoin="round"/>'
                                  % hexc(ACCENT)))
    write("title_mark", svg(15, 15, '<rect x="0.5" y="0.5" width="14" height="14" rx="4" fill="%s"/>'
                                    '<polyline points="4,7.5 6.5,10 11,5" fill="none" stroke="#ffffff" '
                                    'stroke-width="1.8" stroke-linecap="round" stroke-linejoin="round"/>'
                                    % hexc(ACCENT)))
    write("popover_close", svg(12, 12, '<circle cx="6" cy="6" r="6" fill="#5e6278"/>' + glyph("cross", 0, 0, 12)))
    for name, fill in (("view_bg_normal", "#30353c"), ("view_bg_press", "#253a57")):
        write(name, svg(114, 94, '<rect x="0.5" y="0.5" width="113" height="93" rx="8" fill="%s" stroke="#4a505a"/>'
                                 % fill))
    write("deletered", svg(16, 16, '<circle cx="8" cy="8" r="7" fill="%s"/>' % hexc(RED) + glyph("cross", 1, 1, 14)))
    write("progress_bar_bg", svg(32, 6, '<rect width="32" height="6" rx="3" fill="#1c1f23"/>'))
    write("schedule_bg", svg(450, 65, '<rect x="0.5" y="0.5" width="449" height="64" rx="8" fill="#2c3036" '
                                      'stroke="#3d424b"/>'))
    write("text_bg", svg(400, 50, '<rect x="0.5" y="0.5" width="399" height="49" rx="8" fill="#2c3036" '
                                  'stroke="#3d424b"/>'))
    write("bg_tab", svg(120, 30, '<rect x="0" y="0" width="120" height="30" rx="5" fill="#253a57"/>'
                                 '<rect x="0" y="27" width="120" height="3" fill="%s"/>' % hexc(ACCENT)))
    write("bg_150", svg(150, 150, '<rect width="150" height="150" fill="#25292d"/>'))
    write("BackgroundDust", svg(64, 64, '<rect width="64" height="64" fill="#25292d"/>' + ''.join(
        '<circle cx="%d" cy="%d" r="0.8" fill="#30353b"/>' % (8 + 16 * (i % 4), 8 + 16 * (i // 4)) for i in range(16))))
    # The view switcher's segments: focused (chosen) and idle.
    for stem, draw in (("list", '<rect x="6" y="6" width="12" height="2" fill="{c}"/><rect x="6" y="10" width="12" '
                                'height="2" fill="{c}"/><rect x="6" y="14" width="12" height="2" fill="{c}"/>'),
                       ("preview", '<rect x="5" y="6" width="14" height="10" rx="1.5" fill="none" stroke="{c}" '
                                   'stroke-width="1.6"/><polygon points="10,8.5 14.5,11 10,13.5" fill="{c}"/>'),
                       ("grid", '<rect x="6" y="5" width="5" height="5" fill="{c}"/><rect x="13" y="5" width="5" '
                                'height="5" fill="{c}"/><rect x="6" y="12" width="5" height="5" fill="{c}"/>'
                                '<rect x="13" y="12" width="5" height="5" fill="{c}"/>')):
        write(stem + "_focus", svg(24, 22, '<rect width="24" height="22" rx="4" fill="%s"/>' % hexc(ACCENT) +
                                   draw.format(c="#ffffff")))
        write(stem + "_no_hover", svg(24, 22, '<rect width="24" height="22" rx="4" fill="#30353c"/>' +
                                      draw.format(c="#9aa0ab")))
    write("select", svg(16, 16, '<circle cx="8" cy="8" r="7" fill="%s"/><polyline points="4.5,8 7,10.5 11.5,5.5" '
                                'fill="none" stroke="#ffffff" stroke-width="1.8" stroke-linecap="round" '
                                'stroke-linejoin="round"/>' % hexc(GREEN)))
    write("NSAscendingSortIndicator", svg(9, 8, '<polygon points="4.5,1 8.5,7 0.5,7" fill="#a0aad3"/>'))
    write("NSDescendingSortIndicator", svg(9, 8, '<polygon points="0.5,1 8.5,1 4.5,7" fill="#a0aad3"/>'))
    for i in range(3):  # the end window's share links: plain numbered discs of our own
        write("share_%d" % (i + 1), svg(24, 24, '<circle cx="12" cy="12" r="11" fill="#30353c" stroke="%s" '
                                                'stroke-width="1.5"/><circle cx="%d" cy="12" r="2.2" fill="#ffffff"/>'
                                                '<circle cx="16" cy="7" r="2.2" fill="#ffffff"/><circle cx="16" '
                                                'cy="17" r="2.2" fill="#ffffff"/><polyline points="16,7 %d,12 16,17" '
                                                'fill="none" stroke="#ffffff" stroke-width="1.3"/>'
                                                % (hexc(ACCENT), 8, 8)))
    row_icons()
    return 0


if __name__ == "__main__":
    sys.exit(main())
