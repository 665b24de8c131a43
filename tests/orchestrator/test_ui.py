"""``tevra ui``: the pages over a real store, made by real runs of a real project.

The server-level cases go through Starlette's test client (HTML, JSON, the guard and
the launch form); the browser cases start ``tevra ui`` as a process and drive Debian's
headless Chromium through its chromedriver, saving a screenshot of each page they
visit under $TEVRA_SCREENSHOT_DIR (else a temporary directory).
"""

from __future__ import annotations

import html
import os
import re
import shutil
import signal
import sqlite3
import subprocess
import time
import warnings
from pathlib import Path

import pytest

from tevra_project import Project

warnings.filterwarnings("ignore", message="Using `httpx` with `starlette.testclient`")
from starlette.testclient import TestClient  # noqa: E402

from tevra.store import Store  # noqa: E402
from tevra.store.pages import History  # noqa: E402
from tevra.ui.app import Settings, create_app  # noqa: E402

HOSTILE = "<script>window.__pwned = 1</script>"
PIPELINE = f'''
import os, time
from tevra import asset, partitions

@asset(name="orders")
def orders():
    return [{{"region": "north", "amount": 3}}, {{"region": "south", "amount": 4}}]

@asset(name="sales", inputs={{"orders": orders}},
       partitions={{"region": partitions(["north", "south", "<b>east</b>"]),
                   "year": partitions([2024, 2025])}})
def sales(orders, region, year):
    if region == "south" and year == 2025:
        print("looking at <b>south</b> in", year)
        raise ValueError("bad row {HOSTILE}")
    return {{"total": sum(o["amount"] for o in orders if o["region"] == region),
             "note": "{HOSTILE}"}}

@asset(name="totals", inputs={{"sales": sales}},
       partitions={{"region": partitions(["north", "south", "<b>east</b>"])}})
def totals(sales, region):
    return sum(v["total"] for v in sales.values())

@asset(name="slow", partitions={{"n": partitions(list(range(6)))}})
def slow(n):
    # Holds until the test opens the gate, so that it can watch runs in flight.
    while os.path.exists("gate-closed"):
        time.sleep(0.02)
    return n
'''
BROWSER = shutil.which("chromium") and Path("/usr/bin/chromedriver").exists()


@pytest.fixture(scope="module")
def project(tmp_path_factory: pytest.TempPathFactory) -> Project:
    """The pipeline, run once: sales[south,2025] fails, totals[south] is upstream failed."""
    p = Project(tmp_path_factory.mktemp("ui"))
    p.write("pipe.py", PIPELINE)
    result = p.run("pipe", "--select", "orders", "--select", "sales", "--select", "totals")
    assert result.code == 1, result.err
    return p


def client(p: Project, modules: list[str] | None = None, **settings: object) -> TestClient:
    options: dict[str, object] = {"hosts": {"testserver"}, **settings}
    app = create_app(Settings(state_dir=p.root / ".tevra", project_dir=p.root,
                              modules=["pipe"] if modules is None else modules,
                              **options))  # type: ignore[arg-type]
    return TestClient(app)


def run_ids(p: Project, where: str) -> list[int]:
    db = sqlite3.connect(p.root / ".tevra" / "runs.db")
    ids = [row[0] for row in db.execute(f"SELECT id FROM runs WHERE {where} ORDER BY id")]
    db.close()
    return ids


# -- pages, as HTML -------------------------------------------------------------------


def test_every_page_is_served_and_a_hostile_text_is_escaped(project):
    failed = run_ids(project, "status = 'failed'")[0]
    ok = run_ids(project, "status = 'succeeded' AND asset = 'sales'")[0]
    with client(project) as c:
        pages = {
            "/": ["orders", "sales", "totals", "failed"],
            "/asset?key=sales": ["region", "year", "&lt;b&gt;east&lt;/b&gt;", "Run sales"],
            "/runs": ["upstream failed", "sales"],
            "/runs?status=failed": ["bad row"],
            f"/run/{failed}": ["ValueError", "Traceback", "in sales",
                               "looking at &lt;b&gt;south&lt;/b&gt; in 2025"],
            f"/run/{ok}": ["Made by", "&lt;script&gt;window.__pwned"],
        }
        for url, expected in pages.items():
            r = c.get(url)
            assert r.status_code == 200, url
            for text in expected:
                assert text in r.text, (url, text)
            assert HOSTILE not in r.text and "<b>east" not in r.text, url
            assert "script-src 'self'" in r.headers["content-security-policy"]
        assert c.get("/run/999999").status_code == 404
        assert c.get("/asset?key=nothing").status_code == 404


def test_counts_and_states_match_the_history(project):
    with client(project) as c:
        deadline = time.monotonic() + 30
        while c.app.state.pipeline.freshness is None and time.monotonic() < deadline:
            time.sleep(0.05)
        live = c.get("/api/live?page=assets").json()
        assert live["assets"]["sales"]["detail"] == "failed 1, fresh 5"
        assert live["assets"]["totals"]["state"] == "failed"
        assert live["assets"]["orders"]["state"] == "fresh"
        assert live["assets"]["slow"]["detail"] == "never run 6"
        cells = c.get("/api/live?page=asset&key=sales&rows=year&cols=region").json()["cells"]
        # Rows are years, columns regions: the failed partition is row 2025, column south.
        assert [css for css, *_ in cells] == ["ok", "ok", "ok", "ok", "failed", "ok"]
        assert "region=south,year=2025" in cells[4][2]


@pytest.mark.parametrize("query, shown, hidden", [
    ("rows=region&cols=year", ["region=north,year=2024"], []),
    ("rows=year&cols=", ["year=2025"], []),  # a strip of one dimension
    ("rows=region&cols=year&r=2", ["&lt;b&gt;east&lt;/b&gt;,year=2024 —"],
     ["region=north,year=2024 —"]),
    ("rows=nope", ["no dimension"], []),
])
def test_the_grid_shows_the_chosen_page(project, query, shown, hidden):
    with client(project) as c:
        html = c.get(f"/asset?key=sales&{query}").text
    for text in shown:
        assert text in html
    for text in hidden:
        assert text not in html


def test_a_third_dimension_filters_and_pages_count_every_partition(tmp_path):
    p = Project(tmp_path)
    p.write("pipe.py", """
from tevra import asset, partitions

@asset(name="cube", partitions={"a": partitions(list(range(3))), "b": partitions(list(range(40))),
                   "c": partitions(list(range(40)))})
def cube(a, b, c):
    if (a, b, c) == (2, 35, 39):
        raise ValueError("the one bad cell")
    return a
""")
    assert p.run("pipe", "-j", "2").code == 1
    with client(p) as c:
        first = c.get("/asset?key=cube&rows=b&cols=c&f.a=2").text
        far = c.get("/asset?key=cube&rows=b&cols=c&f.a=2&r=30&c=30").text
        other = c.get("/asset?key=cube&rows=b&cols=c&f.a=1&r=30&c=30").text
    # 30 x 30 cells drawn of 1,600; counts over all 4,800.
    assert first.count('class="cell"') == 900 and "of 40" in first
    assert "4,799" in first
    assert "a=2,b=35,c=39 — failed" in far and "a=2,b=35,c=39 —" not in first
    assert "a=1,b=35,c=39 — " in other and "a=1,b=35,c=39 — failed" not in other


def test_without_modules_the_history_alone_is_shown(project):
    with client(project, modules=[]) as c:
        home = c.get("/").text
        strip = c.get("/asset?key=sales").text
        refused = c.post("/launch", data={"asset": "sales"})
    assert "sales" in home and "no modules given" in home
    assert "region=north,year=2024 — succeeded" in strip
    assert "region=south,year=2025 — failed" in strip
    assert refused.status_code == 400


def test_the_runs_page_filters_and_pages_in_the_store(project):
    with client(project) as c:
        all_rows = re.findall(r'<a href="/run/(\d+)">', c.get("/runs").text)
        failed = re.findall(r'<a href="/run/(\d+)">', c.get("/runs?status=failed").text)
        sales = re.findall(r'<a href="/run/(\d+)">', c.get("/runs?asset=sales").text)
        older = re.findall(r'<a href="/run/(\d+)">', c.get(f"/runs?before={all_rows[2]}").text)
    ids = run_ids(project, "1")
    assert [int(i) for i in all_rows] == sorted(ids, reverse=True)[:50]
    assert [int(i) for i in failed] == run_ids(project, "status = 'failed'")[::-1]
    assert [int(i) for i in sales] == run_ids(project, "asset = 'sales'")[::-1]
    assert [int(i) for i in older] == [i for i in sorted(ids, reverse=True) if i < int(all_rows[2])]


def test_a_value_file_outside_the_state_directory_is_not_read(project, tmp_path):
    secret = tmp_path / "secret.json"
    secret.write_text('{"password": "hunter2"}')
    ok = run_ids(project, "status = 'succeeded' AND asset = 'orders'")[0]
    # A stored value that is a link to a file elsewhere.
    digest = "ab" * 32
    link = project.stored(digest)
    link.parent.mkdir(parents=True, exist_ok=True)
    link.symlink_to(secret)
    db = sqlite3.connect(project.root / ".tevra" / "runs.db")
    original = db.execute("SELECT value, value_hash FROM runs WHERE id = ?", (ok,)).fetchone()
    db.execute("UPDATE runs SET value = NULL, value_hash = ? WHERE id = ?", (digest, ok))
    db.commit()
    try:
        with client(project) as c:
            page = c.get(f"/run/{ok}").text
            escape = c.get("/static/..%2F..%2Fplan.py")
    finally:
        db.execute("UPDATE runs SET value = ?, value_hash = ? WHERE id = ?", (*original, ok))
        db.commit()
        db.close()
        link.unlink()
    assert "hunter2" not in page and "outside the state directory" in page
    assert escape.status_code == 404


def test_a_stored_tables_manifest_shows_its_rows_and_schema(tmp_path):
    p = Project(tmp_path)
    p.write("pipe.py", """
from tevra import asset

@asset(name="table")
def table():
    # What value.json holds for a table a serializer stored: its manifest.
    return {"format": "parquet", "sha256": "ab" * 32, "size": 2048, "type": "pandas.DataFrame",
            "summary": {"rows": 1500, "schema": [["region", "string"],
                                                 ["<img src=x onerror=alert(1)>", "double"]]}}
""")
    assert p.run("pipe").code == 0
    with client(p) as c:
        page = c.get(f"/run/{run_ids(p, 'asset = \'table\'')[0]}").text
    assert "Stored as <strong>parquet</strong> (pandas.DataFrame, 2,048 bytes" in page
    assert "1,500 rows" in page
    assert "<td>region</td><td><code>string</code>" in page
    assert "&lt;img src=x onerror=alert(1)&gt;" in page and "<img" not in page


# -- the guard ------------------------------------------------------------------------


@pytest.mark.parametrize("host, token, url, code", [
    ("evil.example:80", None, "/", 421),  # a rebound name reaches no page
    ("testserver", "s3cret", "/", 403),
    ("testserver", "s3cret", "/?token=wrong", 403),
    ("testserver", "s3cret", "/?token=s3cret", 303),
    ("testserver", None, "/", 200),
])
def test_the_guard_admits_only_the_servers_own_names_and_the_token(project, host, token,
                                                                     url, code):
    with client(project, token=token) as c:
        r = c.get(url, headers={"host": host}, follow_redirects=False)
        assert r.status_code == code
        if code == 303:
            # The token becomes a cookie, and the address loses it.
            assert r.headers["location"] == "/"
            assert c.get("/", headers={"host": host}).status_code == 200


@pytest.mark.parametrize("form, origin, code", [
    ({"asset": "orders"}, None, 403),  # no form token
    ({"asset": "orders", "csrf": "guess"}, None, 403),
    ({"asset": "orders", "csrf": "GOOD"}, "http://evil.example", 403),
    ({"asset": "orders", "csrf": "GOOD", "p.region": "west"}, None, 400),
    ({"asset": "orders", "csrf": "GOOD", "force": "on"}, "http://testserver", 303),
])
def test_launching_needs_the_pages_form(project, form, origin, code):
    before = len(run_ids(project, "1"))
    with client(project) as c:
        good = re.search(r'name="csrf" value="([0-9a-f]+)"',
                         c.get("/asset?key=orders").text).group(1)
        form = {k: (good if v == "GOOD" else v) for k, v in form.items()}
        if form.get("p.region") == "west":
            form["asset"] = "sales"
        headers = {"origin": origin} if origin else {}
        r = c.post("/launch", data=form, headers=headers, follow_redirects=False)
        assert r.status_code == code
        if code == 303:
            launch = c.app.state.launcher.get(1)
            assert launch.process.wait(60) == 0
            state = c.get(r.headers["location"]).text
            assert "finished" in state and "--force" in state
    assert len(run_ids(project, "1")) == before + (1 if code == 303 else 0)


def test_a_run_page_runs_its_partition_again(project):
    this = "asset = 'sales' AND partition = 'region=<b>east</b>,year=2024'"
    run = run_ids(project, this)[-1]
    last = run_ids(project, "1")[-1]
    with client(project) as c:
        page = c.get(f"/run/{run}").text
        form = dict(re.findall(r'<input type="hidden" name="([^"]+)" value="([^"]*)">', page))
        form = {k: html.unescape(v) for k, v in form.items()}
        assert form["p.region"] == "<b>east</b>" and form["p.year"] == "2024"
        r = c.post("/launch", data={**form, "force": "on"}, follow_redirects=False)
        assert r.status_code == 303
        assert c.app.state.launcher.get(1).process.wait(60) == 0
    # One new run, of that partition alone.
    new = run_ids(project, f"id > {last}")
    assert len(new) == 1 and run_ids(project, f"id > {last} AND {this}") == new


# -- the store's reader -----------------------------------------------------------------


def test_counts_kept_by_the_store_match_a_recount_also_for_an_older_store(tmp_path):
    p = Project(tmp_path)
    p.write("pipe.py", PIPELINE.replace('region == "south" and year == 2025',
                                        'os.path.exists("fail-" + region)'))
    (tmp_path / "fail-north").touch()
    p.run("pipe", "--select", "sales")
    (tmp_path / "fail-north").unlink()
    (tmp_path / "fail-south").touch()
    # North's failures now succeed, south's successes fail.
    p.run("pipe", "--select", "sales", "--force")

    def recount() -> dict[str, dict[str, int]]:
        db = sqlite3.connect(tmp_path / ".tevra" / "runs.db")
        out: dict[str, dict[str, int]] = {}
        for asset, status, n in db.execute(
                "SELECT asset, status, count(*) FROM latest GROUP BY asset, status"):
            out.setdefault(asset, {})[status] = n
        db.close()
        return out

    history = History(tmp_path / ".tevra")
    assert history.counts() == recount() == {"orders": {"succeeded": 1},
                                             "sales": {"succeeded": 4, "failed": 2}}
    history.close()
    db = sqlite3.connect(tmp_path / ".tevra" / "runs.db")
    db.executescript("DROP TABLE latest_counts; DROP TRIGGER latest_counted; "
                     "DROP TRIGGER latest_recounted; DROP TRIGGER latest_uncounted;")
    db.close()
    assert History(tmp_path / ".tevra").counts() == recount()  # counted the long way
    Store(tmp_path / ".tevra").close()  # a writer brings the counts in, filled
    db = sqlite3.connect(tmp_path / ".tevra" / "runs.db")
    kept = {(a, s): n for a, s, n in db.execute("SELECT * FROM latest_counts")}
    db.close()
    assert kept == {(a, s): n for a, c in recount().items() for s, n in c.items()}


def test_the_server_writes_nothing_to_a_store_without_history(tmp_path):
    p = Project(tmp_path)
    p.write("pipe.py", PIPELINE)
    with client(p) as c:
        assert "never run" in c.get("/").text
        assert c.get("/runs").status_code == 200
        assert c.get("/asset?key=sales").status_code == 200
    assert not (tmp_path / ".tevra").exists()


# -- the command ------------------------------------------------------------------------


def start_ui(p: Project, *args: str) -> tuple[subprocess.Popen[str], str]:
    """``tevra ui`` on a free port, and the address it printed (its first line is kept
    as ``proc.banner``)."""
    proc = p.popen("ui", *args, "--port", "0")
    assert proc.stdout is not None
    line = proc.stdout.readline()
    match = re.search(r"(http://\S+)", line)
    assert match, line + proc.stderr.read() if proc.poll() is not None else line
    proc.banner = line  # type: ignore[attr-defined]
    return proc, match.group(1)


def stop_ui(proc: subprocess.Popen[str]) -> None:
    if proc.poll() is None:
        proc.send_signal(signal.SIGINT)
        proc.wait(30)


def test_ctrl_c_stops_the_server_and_another_address_needs_the_token(project):
    import httpx

    proc, url = start_ui(project, "pipe", "--host", "0.0.0.0")
    try:
        token = re.search(r"token=([\w-]+)", url).group(1)
        base = url.split("?")[0]
        assert httpx.get(base).status_code == 403
        with httpx.Client(follow_redirects=True) as c:
            assert "sales" in c.get(url).text
    finally:
        proc.send_signal(signal.SIGINT)
        assert proc.wait(30) == 0
    assert len(token) >= 20


def test_without_modules_the_project_files_are_served(tmp_path):
    import httpx

    p = Project(tmp_path)
    p.write("pipe.py", PIPELINE)
    p.write("pyproject.toml", '[tool.tevra]\nmodules = ["pipe"]\nstate = "history"\n')
    proc, url = start_ui(p)
    try:
        page = httpx.get(url).text
    finally:
        stop_ui(proc)
    assert "totals reads sales as sales" in page and "never run" in page
    assert f"state {tmp_path / 'history'};" in proc.banner


def test_a_missing_module_is_one_line(project):
    result = project.tevra("ui", "no_such_module", "--port", "0")
    assert result.code == 2
    assert "Traceback" not in result.err and "no_such_module" in result.err


# -- in the browser -----------------------------------------------------------------------

needs_browser = pytest.mark.skipif(
    not BROWSER, reason="needs Debian's chromium and chromium-driver (tools/install-deps)")


@pytest.fixture(scope="module")
def browser():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                "--window-size=1280,1000", "--disable-gpu"):
        options.add_argument(arg)
    driver = webdriver.Chrome(options=options, service=Service("/usr/bin/chromedriver"))
    driver.implicitly_wait(0)
    yield driver
    driver.quit()


@pytest.fixture(scope="module")
def shots(tmp_path_factory: pytest.TempPathFactory) -> Path:
    where = os.environ.get("TEVRA_SCREENSHOT_DIR")
    folder = Path(where) if where else tmp_path_factory.mktemp("screenshots")
    folder.mkdir(parents=True, exist_ok=True)
    return folder


def wait_for(condition, timeout: float = 20.0, what: str = "the page"):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.05)


@needs_browser
def test_click_from_the_graph_to_a_failed_runs_traceback(project, browser, shots):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys

    proc, url = start_ui(project, "pipe")
    try:
        browser.get(url)
        wait_for(lambda: "fresh" in browser.find_element(By.CSS_SELECTOR, "svg").text,
                 what="freshness on the graph")
        browser.save_screenshot(str(shots / "ui-assets.png"))
        node = browser.find_element(By.CSS_SELECTOR, 'a.node[data-asset="sales"]')
        assert "failed" in node.get_attribute("class")
        node.click()
        wait_for(lambda: browser.title.startswith("sales"), what="the asset page")
        browser.save_screenshot(str(shots / "ui-asset.png"))
        # The grid from the keyboard: into its first cell, right, down, then Enter.
        cells = browser.find_elements(By.CSS_SELECTOR, "#cells a.cell")
        assert len(cells) == 6
        cells[0].send_keys(Keys.ARROW_DOWN)
        focused = browser.switch_to.active_element
        assert "region=south,year=2024" in focused.get_attribute("title")
        focused.send_keys(Keys.ARROW_RIGHT)
        failed = browser.switch_to.active_element
        assert "region=south,year=2025 — failed" in failed.get_attribute("title")
        failed.send_keys(Keys.ENTER)
        wait_for(lambda: browser.title.startswith("Run "), what="the run page")
        browser.save_screenshot(str(shots / "ui-run-failed.png"))
        traceback = browser.find_element(By.ID, "traceback").text
        assert "ValueError: bad row " + HOSTILE in traceback and "in sales" in traceback
        assert "looking at <b>south</b> in 2025" in browser.find_element(By.ID, "logs").text
        assert browser.execute_script("return window.__pwned") is None
        browser.find_element(By.LINK_TEXT, "Runs").click()
        wait_for(lambda: browser.title.startswith("Runs"), what="the runs page")
        browser.save_screenshot(str(shots / "ui-runs.png"))
        ok = run_ids(project, "status = 'succeeded' AND asset = 'sales'")[0]
        browser.get(url.rstrip("/") + f"/run/{ok}")
        assert HOSTILE in browser.find_element(By.ID, "value").text
        assert browser.execute_script("return window.__pwned") is None
        browser.save_screenshot(str(shots / "ui-run-value.png"))
    finally:
        stop_ui(proc)


@needs_browser
def test_counts_move_during_a_live_run_and_a_run_launched_from_the_page(project, browser,
                                                                        shots):
    from selenium.webdriver.common.by import By

    gate = project.root / "gate-closed"
    gate.touch()
    proc, url = start_ui(project, "pipe")
    run = None
    try:
        browser.get(url.rstrip("/") + "/asset?key=slow")
        browser.execute_script("window.__same_page = true")
        detail = lambda: browser.find_element(By.CSS_SELECTOR, 'span[data-field="detail"]').text
        assert "never run 6" in detail()
        run = project.popen("run", "pipe", "--select", "slow", "-j", "2", "--plain")
        wait_for(lambda: "2 running now" in detail(), what="two running runs")
        assert "2 running" in browser.find_element(By.ID, "running-count").text
        browser.save_screenshot(str(shots / "ui-live-running.png"))
        gate.unlink()
        wait_for(lambda: "fresh 6" in detail() or "succeeded 6" in detail(),
                 what="every partition done")
        assert run.wait(60) == 0
        assert browser.execute_script("return window.__same_page") is True
        browser.save_screenshot(str(shots / "ui-live-done.png"))

        # Run it again from the page, even though it is fresh.
        browser.find_element(By.CSS_SELECTOR, 'form.launch input[name="force"]').click()
        browser.find_element(By.CSS_SELECTOR, 'form.launch input[name="p.n"]').send_keys("1,4")
        browser.find_element(By.CSS_SELECTOR, "form.launch button").click()
        wait_for(lambda: browser.title.startswith("Launch"), what="the launch page")
        wait_for(lambda: browser.find_element(By.ID, "launch-state").text == "finished",
                 what="the launched run to finish")
        output = browser.find_element(By.ID, "launch-output").text
        assert "succeeded  slow[n=1]" in output and "succeeded  slow[n=4]" in output
        browser.save_screenshot(str(shots / "ui-launch.png"))
    finally:
        if gate.exists():
            gate.unlink()
        if run is not None and run.poll() is None:
            run.kill()
        stop_ui(proc)
    assert len(run_ids(project, "asset = 'slow' AND status = 'succeeded'")) == 8
