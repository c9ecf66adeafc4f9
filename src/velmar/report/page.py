"""Pieces of the self-contained report pages: the stylesheet, escaping, sections, figures, tables, cards.

Pages read on any screen: cards and figures wrap, a table too wide for a phone scrolls
inside its own box, names in a table never break mid-word, and a figure is shown at its
own size or smaller (never stretched), so its text keeps the size it was drawn with.
"""

from __future__ import annotations

import html
from collections.abc import Collection, Sequence

_STYLE = """
body { font-family: system-ui, -apple-system, "Segoe UI", Roboto, "DejaVu Sans", sans-serif;
       margin: 0 auto; max-width: 1100px; padding: 24px 32px 48px; color: #1d232b; background: #fff; }
h1 { font-size: 26px; margin: 0 0 4px; }
h2 { font-size: 19px; margin: 36px 0 8px; border-bottom: 1px solid #dfe3e8; padding-bottom: 4px; }
.lead { color: #5a6470; margin: 0 0 12px; overflow-wrap: anywhere; }
.headline { font-size: 20px; font-weight: 600; margin: 12px 0 16px; }
.cards { display: grid; grid-template-columns: repeat(auto-fit, minmax(180px, 1fr)); gap: 12px; }
.card { border: 1px solid #dfe3e8; border-radius: 8px; padding: 10px 14px; min-width: 0; }
.card .label { color: #5a6470; font-size: 13px; }
.card .value { font-size: 22px; font-weight: 600; margin-top: 2px; }
.card .detail { color: #5a6470; font-size: 12px; }
.scroll { overflow-x: auto; max-width: 100%; }
table { border-collapse: collapse; font-size: 14px; margin: 8px 0; }
th, td { padding: 5px 12px; border-bottom: 1px solid #eceff2; text-align: right; }
th:first-child, td:first-child, th.text, td.text, td.list { text-align: left; }
td, .name { white-space: nowrap; }
td.list { white-space: normal; min-width: 14em; }
th { background: #f5f7f9; font-weight: 600; }
.tables { display: flex; flex-wrap: wrap; gap: 12px 40px; align-items: flex-start; }
.tables > * { min-width: 0; }
figure { margin: 8px 0 0; display: flex; flex-wrap: wrap; gap: 8px 28px; align-items: flex-start; }
figure svg { display: block; flex: 0 1 auto; min-width: 0; max-width: 100%; height: auto; }
figcaption { flex: 1 1 260px; }
figcaption, .note { color: #5a6470; font-size: 13px; margin-top: 4px; max-width: 900px; }
footer { margin-top: 40px; color: #5a6470; font-size: 12px; overflow-wrap: anywhere; }
@media (max-width: 640px) {
  body { padding: 14px 12px 32px; }
  h1 { font-size: 22px; }
  h2 { font-size: 17px; margin-top: 28px; }
  .headline { font-size: 17px; }
  .cards { grid-template-columns: repeat(auto-fit, minmax(150px, 1fr)); gap: 8px; }
  .card .value { font-size: 19px; }
  table { font-size: 13px; }
  th, td { padding: 4px 6px; }
  .tables { gap: 4px; }
}
"""


def page(title: str, sections: Sequence[str]) -> str:
    """A whole page: nothing in it is fetched when it opens."""
    return (
        '<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n'
        '<meta name="viewport" content="width=device-width, initial-scale=1">\n'
        f"<title>{escape(title)}</title>\n<style>{_STYLE}</style>\n</head>\n<body>\n"
        + "\n".join(sections)
        + "\n</body>\n</html>\n"
    )


def cards(items: Sequence[tuple[str, str, str]]) -> str:
    """(label, value, detail) cards side by side, wrapping on a narrow screen."""
    return (
        '<div class="cards">'
        + "".join(
            f'<div class="card"><div class="label">{escape(label)}</div><div class="value">{escape(value)}</div>'
            f'<div class="detail">{escape(detail)}</div></div>'
            for label, value, detail in items
        )
        + "</div>"
    )


def names(items: Sequence[str]) -> str:
    """Names joined by ", " that a line may break between, never inside."""
    return ", ".join(f'<span class="name">{escape(name)}</span>' for name in items)


def note(text: str) -> str:
    return f'<p class="note">{escape(text)}</p>'


def html_section(title: str, body: str) -> str:
    return f"<section>\n<h2>{escape(title)}</h2>\n{body}\n</section>"


def html_figure(svg: str, caption: str) -> str:
    return f"<figure>{svg}<figcaption>{escape(caption)}</figcaption></figure>"


def html_table(
    headers: Sequence[str], rows: Sequence[Sequence[str]], text_columns: int = 1, list_columns: Collection[int] = ()
) -> str:
    """A table in a box of its own that scrolls sideways when the screen is narrower than the table.

    The first `text_columns` hold names (left-aligned, never broken); a column of `list_columns`
    holds names joined by ", ", which wrap between the names only.
    """

    def cell(tag: str, index: int, value: str) -> str:
        if tag == "td" and index in list_columns:
            return f'<td class="list">{names(value.split(", "))}</td>'
        kind = ' class="text"' if index < text_columns or index in list_columns else ""
        return f"<{tag}{kind}>{escape(value)}</{tag}>"

    head = "".join(cell("th", i, h) for i, h in enumerate(headers))
    body = "".join("<tr>" + "".join(cell("td", i, v) for i, v in enumerate(row)) + "</tr>" for row in rows)
    return f'<div class="scroll"><table><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table></div>'


def escape(text: str) -> str:
    return html.escape(text, quote=True)
