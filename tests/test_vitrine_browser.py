"""The viewer in a real browser: headless Chromium against the production server."""

import io
import shutil
import time
from pathlib import Path

import pytest
from _vitrine import Server, make_database
from ase.db import connect
from ase.io import read

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
CHROMEDRIVER = shutil.which("chromedriver")

pytestmark = pytest.mark.skipif(
    not (CHROMIUM and CHROMEDRIVER), reason="needs the system's chromium and chromium-driver"
)


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    path = make_database(tmp_path_factory.mktemp("browser") / "structures.db", extra_rows=60)
    server = Server(
        path,
        "--columns",
        "id",
        "formula",
        "energy",
        "band_gap",
        "natoms",
        env={"FERROLITH_VITRINE_RATE_LIMIT": "200 per second"},
    )
    yield server, connect(path)
    server.stop()


@pytest.fixture(scope="module")
def downloads(tmp_path_factory):
    return tmp_path_factory.mktemp("downloads")


@pytest.fixture(scope="module")
def browser(downloads):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in (
        "--headless=new",
        "--no-sandbox",
        "--disable-dev-shm-usage",
        "--window-size=1280,1000",
        "--use-angle=swiftshader",
        "--enable-unsafe-swiftshader",
    ):
        options.add_argument(argument)
    options.add_experimental_option(
        "prefs",
        {
            "download.default_directory": str(downloads),
            "download.prompt_for_download": False,
        },
    )
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    yield driver
    driver.quit()


def wait(driver, condition, timeout=60):
    from selenium.webdriver.support.ui import WebDriverWait

    return WebDriverWait(driver, timeout).until(condition)


def table_ids(driver):
    return [
        int(tr.get_attribute("data-id"))
        for tr in driver.find_elements("css selector", "#rows tbody tr[data-id]")
    ]


def column(driver, key):
    cells = driver.find_elements("css selector", f"#rows tbody td.col-{key}")
    return [float(c.text) if c.text else None for c in cells]


def console_errors(driver):
    return [entry["message"] for entry in driver.get_log("browser") if entry["level"] == "SEVERE"]


class TestTable:
    def test_rows_search_sort_and_pages(self, browser, served):
        server, db = served
        browser.get(server.url + "/")
        assert table_ids(browser) == list(range(1, 26))
        assert browser.find_element("id", "total").text == str(db.count())

        box = browser.find_element("id", "q")
        box.send_keys("Al,band_gap")
        box.submit()
        wait(browser, lambda d: "q=Al" in d.current_url)
        expected = [row.id for row in db.select("Al,band_gap")]
        assert browser.find_element("id", "total").text == str(len(expected))
        assert table_ids(browser) == expected[:25]

        browser.find_element("css selector", 'th a[data-key="band_gap"]').click()
        wait(browser, lambda d: "sort=band_gap" in d.current_url)
        gaps = column(browser, "band_gap")
        assert gaps == sorted(gaps)
        browser.find_element("css selector", 'th a[data-key="band_gap"]').click()
        wait(browser, lambda d: "sort=-band_gap" in d.current_url)
        descending = column(browser, "band_gap")
        assert descending == sorted(descending, reverse=True) and descending[0] >= gaps[-1]

        browser.get(server.url + "/")
        first = table_ids(browser)
        browser.find_element("id", "next").click()
        wait(browser, lambda d: "page=2" in d.current_url)
        assert browser.find_element("id", "page").text == "2"
        assert table_ids(browser) == list(range(26, 51))
        browser.find_element("id", "prev").click()
        wait(browser, lambda d: d.find_element("id", "page").text == "1")
        assert table_ids(browser) == first
        assert not console_errors(browser)

    def test_page_size_choice(self, browser, served):
        from selenium.webdriver.support.ui import Select

        server, _db = served
        browser.get(server.url + "/")
        Select(browser.find_element("id", "limit")).select_by_value("10")
        wait(browser, lambda d: "limit=10" in d.current_url)
        assert len(table_ids(browser)) == 10


def canvas_pixels(browser):
    import numpy as np
    from PIL import Image

    wait(browser, lambda d: d.find_element("id", "viewer").get_attribute("data-ready"))
    canvas = browser.find_element("css selector", "#viewer canvas")
    image = Image.open(io.BytesIO(canvas.screenshot_as_png)).convert("RGB")
    return np.asarray(image).reshape(-1, 3).astype(int)


class TestRowPage:
    def test_three_d_view_draws(self, browser, served):
        import numpy as np

        server, db = served
        row = db.get(label="silicon")
        browser.get(f"{server.url}/row/{row.id}")
        pixels = canvas_pixels(browser)
        drawn = pixels[pixels.min(axis=1) < 235]
        assert len(drawn) > 0.03 * len(pixels)  # atoms and bonds cover the middle
        assert len(np.unique(drawn, axis=0)) > 50  # shaded, not a flat fill
        picture = browser.find_element("id", "picture")
        assert browser.execute_script("return arguments[0].complete", picture)
        assert browser.execute_script("return arguments[0].naturalWidth", picture) == 400
        assert not console_errors(browser)

    def test_every_element_is_drawn(self, browser, served):
        server, db = served
        browser.get(f"{server.url}/row/{db.get(label='salt').id}")
        r, g, b = canvas_pixels(browser).T
        green = (g > r + 60) & (g > b + 60)  # chlorine
        violet = (b > g + 60) & (r > g + 30)  # sodium
        assert green.sum() > 200 and violet.sum() > 200

    def test_download_reads_back(self, browser, served, downloads):
        server, db = served
        row = db.get(label="salt")
        browser.get(f"{server.url}/row/{row.id}")
        for fmt, ase_format in (("xyz", "extxyz"), ("cif", "cif")):
            browser.find_element("css selector", f'a.download[data-format="{fmt}"]').click()
            name = f"{row.formula}-{row.id}.{fmt}"
            target = Path(downloads) / name
            wait(browser, lambda d, t=target: t.exists() and t.stat().st_size > 0)
            time.sleep(0.2)  # let the browser finish renaming the partial file
            atoms = read(target, format=ase_format)
            expected = row.toatoms()
            assert list(atoms.numbers) == list(expected.numbers)
            assert atoms.cell.cellpar() == pytest.approx(expected.cell.cellpar(), abs=1e-4)
            assert (atoms.get_scaled_positions() % 1) == pytest.approx(
                expected.get_scaled_positions() % 1, abs=1e-4
            )
