"""The built site (docs/_build/html, from `make docs`) as a reader sees it: every page
opened in Debian's headless Chromium with no network but the site's own server, failing
on a script error or a resource that does not load, a local link whose file or #fragment
is missing, or an image that does not render; and no page or style sheet asks for
anything from another host. Screenshots of the front page and the first tutorial are
left in docs/_build/ for a person to look at."""

import functools
import http.server
import re
import threading
from html.parser import HTMLParser
from pathlib import Path
from urllib.parse import unquote, urlsplit

import pytest

ROOT = Path(__file__).resolve().parents[2]
BUILD = ROOT / "docs" / "_build"
SITE = BUILD / "html"
CHROMEDRIVER = "/usr/bin/chromedriver"
# Where the assets a page loads come from: any of these with a scheme and host is a CDN fetch.
ASSET_ATTRIBUTES = {"script": "src", "img": "src", "link": "href", "iframe": "src", "source": "src",
                    "video": "src", "audio": "src", "embed": "src", "object": "data"}
REMOTE = re.compile(r"^(https?:)?//", re.I)

if not (SITE / "index.html").is_file():
    pytest.fail(f"{SITE} holds no built site: run `make docs`", pytrace=False)
webdriver = pytest.importorskip("selenium.webdriver")


def pages():
    """Every HTML page of the site, as paths relative to its root; _static and _sources hold none."""
    return sorted(p.relative_to(SITE).as_posix() for p in SITE.rglob("*.html")
                  if p.relative_to(SITE).parts[0] not in ("_static", "_sources", "_images"))


class _Scan(HTMLParser):
    """The ids of a page and the remote asset references in it."""

    def __init__(self):
        super().__init__()
        self.ids, self.remote = set(), []

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        for key in ("id", "name"):
            if attrs.get(key):
                self.ids.add(attrs[key])
        # A <link> that is a hyperlink (rel="next", "canonical"...) loads nothing.
        loads = tag != "link" or set((attrs.get("rel") or "").split()) & {"stylesheet", "preload", "icon", "modulepreload"}
        value = attrs.get(ASSET_ATTRIBUTES.get(tag, ""))
        if loads and value and REMOTE.match(value):
            self.remote.append(f"<{tag}> {value}")


@functools.cache
def scan(page):
    parser = _Scan()
    parser.feed((SITE / page).read_text(encoding="utf-8"))
    return parser


def test_no_page_or_style_sheet_fetches_from_another_host():
    remote = {page: scan(page).remote for page in pages() if scan(page).remote}
    styles = {css.relative_to(SITE).as_posix(): hits for css in SITE.rglob("*.css")
              if (hits := re.findall(r"url\(\s*['\"]?(?:https?:)?//[^)]*\)|@import\s+['\"]?(?:https?:)?//\S+",
                                     css.read_text(encoding="utf-8", errors="replace")))}
    assert not remote and not styles, (remote, styles)


def test_every_lattice_member_has_a_reference_entry():
    from spinlattice import Lattice

    members = {name for name in vars(Lattice) if not name.startswith("_")} | {"__repr__"}
    entries = {i.removeprefix("spinlattice.Lattice.") for i in scan("reference/api/spinlattice/index.html").ids}
    assert "spinlattice.Lattice" in scan("reference/api/spinlattice/index.html").ids
    assert members <= entries, sorted(members - entries)
    assert "pyo3_runtime.PanicException" in scan("reference/panic.html").ids


@pytest.fixture(scope="module")
def server():
    handler = functools.partial(_QuietHandler, directory=str(SITE))
    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{httpd.server_address[1]}/"
    httpd.shutdown()
    httpd.server_close()


class _QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


@pytest.fixture(scope="module")
def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 "--window-size=1280,1000", "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync",
                 # No network: every host name but the loopback address fails to resolve,
                 # and anything that bypasses the resolver meets a proxy that is not there.
                 "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
                 "--proxy-server=http://127.0.0.1:9"):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(options=options, service=webdriver.ChromeService(executable_path=CHROMEDRIVER))
    yield driver
    driver.quit()


# What the page itself reports once loaded: links, broken images, rendered math.
PAGE_STATE = """
return {
  links: Array.from(document.querySelectorAll('a[href]'), a => a.href),
  brokenImages: Array.from(document.images).filter(i => !i.complete || i.naturalWidth === 0).map(i => i.src),
  math: document.querySelectorAll('div.math, span.math').length,
  renderedMath: document.querySelectorAll('mjx-container').length,
};
"""


def local_target(url, origin):
    """(page path relative to the site, fragment) of a link into the site, or None."""
    parts = urlsplit(url)
    if f"{parts.scheme}://{parts.netloc}/" != origin:
        return None
    path = unquote(parts.path).lstrip("/")
    if path == "" or path.endswith("/"):
        path += "index.html"
    return path, unquote(parts.fragment)


def test_every_page_loads_cleanly_in_a_browser_without_network(server, browser):
    problems, visited = [], pages()
    for page in visited:
        browser.get(server + page)
        # MathJax typesets after the load event; wait for it where there is math.
        state = browser.execute_script(PAGE_STATE)
        for _ in range(50):
            if state["renderedMath"] >= state["math"]:
                break
            browser.execute_script("return new Promise(r => setTimeout(r, 100))")
            state = browser.execute_script(PAGE_STATE)
        problems += [f"{page}: console {e['level']}: {e['message']}" for e in browser.get_log("browser")
                     if e["level"] == "SEVERE"]
        problems += [f"{page}: image not loaded: {src}" for src in state["brokenImages"]]
        if state["renderedMath"] < state["math"]:
            problems.append(f"{page}: {state['math']} formulas, {state['renderedMath']} typeset")
        for url in state["links"]:
            target = local_target(url, server)
            if target is None:
                continue
            path, fragment = target
            if not (SITE / path).is_file():
                problems.append(f"{page}: link to missing file {path}")
            elif fragment and path.endswith(".html") and fragment not in scan(path).ids:
                problems.append(f"{page}: link to missing anchor {path}#{fragment}")
    assert len(visited) > 5
    assert not problems, "\n".join(problems)


def test_screenshots_of_the_front_page_and_the_first_tutorial(server, browser):
    browser.get(server + "index.html")
    browser.save_screenshot(str(BUILD / "screenshot-front.png"))
    browser.get(server + "tutorials/index.html")
    # The first link of the tutorials' index to a page of its own folder is the first tutorial.
    first = browser.execute_script("""
        const here = new URL('.', location.href).href;
        const a = Array.from(document.querySelectorAll('article a[href]')).find(a =>
            a.href.startsWith(here) && !a.href.split('#')[0].endsWith('/index.html'));
        return a && a.href.split('#')[0];""")
    assert first, "the tutorials' index lists no tutorial"
    browser.get(first)
    browser.save_screenshot(str(BUILD / "screenshot-tutorial.png"))
    images = browser.execute_script("return Array.from(document.images, i => i.naturalWidth);")
    assert images and min(images) > 0, "the first tutorial shows no figure"
