#!/usr/bin/env python3
"""Opens every page of the HTML manual in headless Chromium and fails on a
page that does not render, a link of the rendered page (menus, scripts,
styles and pictures too) that leads to no page or no anchor of the manual,
and a function named in a guide's text that doxygen did not link, which it
does without a warning. Links out of the manual are not followed.

    browse_manual.py HTML_DIR
"""

import concurrent.futures
import re
import subprocess
import sys
import tempfile
import time
from html.parser import HTMLParser
from pathlib import Path
from urllib.parse import unquote, urlsplit

# No network, no first-run chores, no sandbox (as root Chromium refuses one).
CHROMIUM = ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
            "--no-first-run", "--disable-background-networking", "--disable-component-update",
            "--disable-sync"]
FUNCTION = re.compile(r"\bQ48_(?:api|tb)_\w+\(\)")


class Page(HTMLParser):
    def __init__(self) -> None:
        super().__init__()
        self.anchors: set[str] = set()
        self.links: list[str] = []
        self.title = ""
        self.has_contents = False
        self.unlinked: list[str] = []
        self._open: list[str] = []  # the elements around the text, innermost last

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        a = {k: v or "" for k, v in attrs}
        self.anchors.update(v for k, v in a.items() if k in ("id", "name") and v)
        for k in ("href", "src"):
            if a.get(k) and tag in ("a", "link", "script", "img", "iframe"):
                self.links.append(a[k])
        self.has_contents |= tag == "div" and "contents" in a.get("class", "").split()
        code = tag in ("code", "pre") or "fragment" in a.get("class", "").split()
        if tag not in ("br", "img", "link", "meta", "input", "hr"):
            self._open.append("code" if code else tag)

    def handle_endtag(self, tag: str) -> None:
        if self._open:
            self._open.pop()

    def handle_data(self, data: str) -> None:
        if "title" in self._open:
            self.title += data
        elif "a" not in self._open and "code" not in self._open:
            self.unlinked += FUNCTION.findall(data)


def render(page: Path) -> tuple[Page | None, str]:
    # A profile of its own: two browsers on one profile would meet its lock.
    with tempfile.TemporaryDirectory() as profile:
        r = subprocess.run([*CHROMIUM, f"--user-data-dir={profile}", "--dump-dom", page.as_uri()],
                           capture_output=True, text=True, timeout=120)
    if r.returncode != 0 or "<body" not in r.stdout:
        return None, r.stderr[-500:]
    dom = Page()
    dom.feed(r.stdout)
    return dom, ""


def main() -> int:
    root = Path(sys.argv[1]).resolve()
    pages = sorted(root.glob("*.html"))
    start = time.monotonic()
    faults: list[str] = []
    doms: dict[Path, Page] = {}
    with concurrent.futures.ThreadPoolExecutor(2) as pool:  # two browsers at a time
        for page, (dom, said) in zip(pages, pool.map(render, pages)):
            if dom is None or not dom.has_contents or not dom.title.strip():
                faults.append(f"{page.name}: does not render {said}".rstrip())
            else:
                doms[page] = dom
    for page, dom in doms.items():
        for link in dom.links:
            parts = urlsplit(link)
            if parts.scheme and parts.scheme != "file":
                continue  # out of the manual
            target = (page.parent / unquote(parts.path)).resolve() if parts.path else page
            if not target.is_relative_to(root) or not target.exists():
                faults.append(f"{page.name}: {link} leads nowhere")
            elif parts.fragment and target.suffix == ".html":
                if target not in doms or unquote(parts.fragment) not in doms[target].anchors:
                    faults.append(f"{page.name}: {link} leads to no anchor of {target.name}")
        if page.name.startswith("q48_"):
            faults += [f"{page.name}: {name} is named but not linked" for name in dom.unlinked]
    for fault in faults:
        print(fault)
    print(f"{len(pages)} pages opened in Chromium, {len(doms)} rendered, "
          f"{sum(len(d.links) for d in doms.values())} links followed, {len(faults)} faults, "
          f"{time.monotonic() - start:.0f} s")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
