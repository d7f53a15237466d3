"""The console's pages in a real headless chromium: the map follows the
controller, service actions from the page, the calibration wizard, the dose
records read from the controller's journal, texts from files and the journal
shown as plain text, no console errors; every page at 1280x800 and 390x844
checked by axe-core (no serious or critical violation; moderate ones are
printed), for cut text and sideways scrolling, and saved as screenshots."""

import argparse
import os
import sys
import unittest

from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException, StaleElementReferenceException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import consolerig  # noqa: E402

ARGS = None
SIZES = [(1280, 800), (390, 844)]
EVIL = "<img src=x onerror=alert(1)>"


def make_driver(width=1280, height=800):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=%d,%d" % (width, height),
                 "--lang=ru-RU"):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    emulate_size(driver, width, height)
    return driver


def emulate_size(driver, width, height):
    """A headless window is at least 500 pixels wide; a phone's viewport is emulated."""
    driver.set_window_size(max(width, 500), height)
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": width < 600})


def axe_violations(driver):
    """axe-core's violations on the page as it stands."""
    with open(ARGS.axe, encoding="utf-8") as f:
        driver.execute_script(f.read())
    return driver.execute_async_script(
        "const done = arguments[arguments.length - 1];"
        "axe.run(document).then(r => done(r.violations.map(v => ({id: v.id, impact: v.impact,"
        " targets: v.nodes.map(n => n.target.join(' ')).slice(0, 5)}))))")


# Elements that cut their own text (overflow hidden or clipped, an ellipsis)
# and whether the page itself scrolls sideways. Screen-reader-only text (1 px) is not text on screen.
CUT_TEXT = """
const cut = [];
for (const e of document.querySelectorAll('body *')) {
  const s = getComputedStyle(e);
  if (s.display === 'none' || s.visibility === 'hidden' || e.clientWidth <= 1 || !e.getClientRects().length) continue;
  if (e.tagName === 'CANVAS' || e.tagName === 'svg') continue;
  const clipsX = s.overflowX === 'hidden' || s.overflowX === 'clip' || s.textOverflow === 'ellipsis';
  const clipsY = s.overflowY === 'hidden' || s.overflowY === 'clip';
  if ((clipsX && e.scrollWidth > e.clientWidth + 1) || (clipsY && e.scrollHeight > e.clientHeight + 1))
    cut.push(e.tagName + '.' + e.className + ': ' + e.textContent.trim().slice(0, 40));
}
return {cut: cut, sideways: document.documentElement.scrollWidth > window.innerWidth + 1};
"""


def severe(driver):
    return [e["message"] for e in driver.get_log("browser") if e["level"] == "SEVERE"]


class ConsolePage:
    """What a test does on the console's pages."""

    def __init__(self, driver, base):
        self.d = driver
        self.base = base

    def login(self, name, password):
        self.d.get(self.base + "/login")
        self.d.find_element(By.ID, "name").send_keys(name)
        self.d.find_element(By.ID, "password").send_keys(password)
        self.d.find_element(By.ID, "login-button").click()
        WebDriverWait(self.d, 15).until(lambda d: d.current_url == self.base + "/")
        self.wait_cells()

    def wait_cells(self):
        WebDriverWait(self.d, 15).until(lambda d: d.find_elements(By.CSS_SELECTOR, ".cell[data-state]"))

    def cell(self, number):
        return self.d.find_element(By.CSS_SELECTOR, '.cell[data-cell="%d"]' % number)

    def wait_state(self, number, state, timeout=15):
        WebDriverWait(self.d, timeout).until(lambda d: self.cell(number).get_attribute("data-state") == state,
                                             "cell %d never became %s" % (number, state))
        return self.cell(number)

    def facts(self, dl_id="panel-facts"):
        dl = self.d.find_element(By.ID, dl_id)
        terms = [e.text for e in dl.find_elements(By.TAG_NAME, "dt")]
        values = [e.get_attribute("textContent") for e in dl.find_elements(By.TAG_NAME, "dd")]
        return dict(zip(terms, values))

    def message(self, node_id, contains, timeout=60):
        WebDriverWait(self.d, timeout).until(
            lambda d: contains in d.find_element(By.ID, node_id).get_attribute("textContent"),
            "no message with %r in #%s" % (contains, node_id))
        return self.d.find_element(By.ID, node_id).get_attribute("textContent")

    def no_alert(self):
        try:
            self.d.switch_to.alert
        except NoAlertPresentException:
            return True
        return False

    def shot(self, name):
        os.makedirs(ARGS.screenshots, exist_ok=True)
        width = self.d.execute_script("return window.innerWidth")
        self.d.save_screenshot(os.path.join(ARGS.screenshots, "%s-%s.png" % (name, self.size)))
        return width

    def audit(self, test, name):
        """axe-core, cut text and sideways scrolling on the page as it stands; then its screenshot."""
        found = axe_violations(self.d)
        for v in found:
            if v["impact"] == "moderate":
                print("axe moderate on %s at %s: %s %s" % (name, self.size, v["id"], v["targets"]), file=sys.stderr)
        test.assertEqual([v for v in found if v["impact"] in ("serious", "critical")], [],
                         "%s at %s" % (name, self.size))
        layout = self.d.execute_script(CUT_TEXT)
        test.assertEqual(layout["cut"], [], "cut text on %s at %s" % (name, self.size))
        test.assertFalse(layout["sideways"], "%s scrolls sideways at %s" % (name, self.size))
        self.shot(name)

    size = "1280x800"


class RackMapTest(unittest.TestCase):
    """A rack of 12 cells, 4 calibrated and holding dosimeters."""

    @classmethod
    def setUpClass(cls):
        cls.rig = consolerig.Rig(ARGS.console, ARGS.server, ARGS.simrack, cells=12, devices=4, hub_cells=4)
        cls.rig.add_user("tech", "technician", "tech-password")
        cls.rig.add_user("watcher", "viewer", "watch-password")
        cls.rig.start()
        cls.driver = make_driver()
        cls.page = ConsolePage(cls.driver, cls.rig.base)
        cls.page.login("tech", "tech-password")

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        cls.rig.stop()

    def test_1_map_shows_the_rack(self):
        p = self.page
        cells = self.driver.find_elements(By.CSS_SELECTOR, ".cell")
        self.assertEqual(len(cells), 12)
        for n in range(1, 5):
            c = p.wait_state(n, "ready")
            self.assertEqual(c.find_element(By.CLASS_NAME, "dos").text, "№ %d" % (5000 + n))
            self.assertEqual(c.find_element(By.CLASS_NAME, "word").text, "готов к выдаче")
        self.assertEqual(p.cell(9).get_attribute("data-state"), "empty")
        self.assertEqual(len(self.driver.find_elements(By.CSS_SELECTOR, "#legend li")), 7)
        # The grid has the configured six columns.
        columns = self.driver.execute_script(
            "return getComputedStyle(document.getElementById('rack')).gridTemplateColumns.split(' ').length")
        self.assertEqual(columns, 6)
        self.assertFalse(self.driver.find_element(By.ID, "poll-returns").get_attribute("hidden"))

    def test_2_map_follows_the_controller(self):
        p, rig = self.page, self.rig
        reply = rig.command({"command": "IN_g", "uid": '7"1', "uname": 'Петров "Пётр"', "order": 'ЦЕХ "5"',
                             "gdel": "1", "gde2": "2", "gderl": "3", "gder2": "4"})
        self.assertEqual(reply.get("cell"), "1", reply)
        self.assertEqual(p.wait_state(1, "issued").find_element(By.CLASS_NAME, "word").text,
                         "выдан, ждёт, когда заберут")
        # The worker takes it.
        rig.rack.ask("remove 0")
        self.assertEqual(rig.command({"command": "cell_free", "nomer_ppd": "5001", "cell": "1"})["cell"], "free")
        p.wait_state(1, "empty")
        # ... and brings it back with the user still on it.
        rig.rack.ask("insert 1 5001 0")
        rig.rack.ask('user 0 "7\\"1" "ЦЕХ \\"5\\"" Петров \\"Пётр\\"')
        rig.rack.ask("dose 0 0.125")
        reply = rig.command({"command": "OUT"})
        self.assertEqual(reply.get("c"), "1", reply)
        p.wait_state(1, "returned").click()
        facts = p.facts()
        self.assertEqual(facts["Идентификатор работника"], '7"1')
        self.assertEqual(facts["Наряд"], 'ЦЕХ "5"')
        self.assertEqual(facts["Дозиметр"], "5001")
        # Confirmed through the controller: it rests.
        self.assertEqual(rig.command({"command": "OUT_true", "nomer_ppd": "5001", "cell": "1", "error": ""}),
                         {"error": ""})
        extra = p.wait_state(1, "resting").find_element(By.CLASS_NAME, "extra").text
        self.assertRegex(extra, r"^ещё \d+ с$")
        self.assertTrue(p.no_alert())

    def test_3_block_and_unblock_from_the_page(self):
        p, rig = self.page, self.rig
        p.cell(2).click()
        self.driver.find_element(By.ID, "block-text").send_keys(EVIL)
        self.driver.find_element(By.ID, "block-button").click()
        cell = p.wait_state(2, "blocked", 30)
        self.assertEqual(rig.state_line("error.ini", 2), EVIL)
        self.assertEqual(cell.find_element(By.CLASS_NAME, "extra").get_attribute("textContent"), EVIL)
        self.assertEqual(p.facts()["Текст блокировки"], EVIL)
        self.assertEqual(self.driver.find_elements(By.CSS_SELECTOR, "#rack img, #panel img"), [])
        self.assertTrue(p.no_alert())
        p.shot("map-blocked")
        self.driver.find_element(By.ID, "unblock-button").click()
        p.wait_state(2, "resting", 60)
        self.assertEqual(rig.state_line("error.ini", 2), "")

    def test_4_return_confirmed_from_the_page(self):
        p, rig = self.page, self.rig
        rig.rack.ask("remove 2")
        rig.command({"command": "cell_free", "nomer_ppd": "5003", "cell": "3"})
        p.wait_state(3, "empty")
        rig.rack.ask("insert 3 5003 2")
        rig.rack.ask('user 2 "8002" "УЧАСТОК 2" Сидоров')
        rig.rack.ask("dose 2 0.5")
        rig.rack.ask("history 2 5")
        self.driver.find_element(By.ID, "panel-close").click()
        self.driver.find_element(By.ID, "poll-returns").click()
        p.message("rack-message", "сдан дозиметр № 5003 в ячейку 3")
        p.wait_state(3, "returned").click()
        self.driver.find_element(By.ID, "history-button").click()
        history = p.message("history", "Записей: 5")
        self.assertEqual(len(history.split("\n")), 6)
        self.assertTrue(all(len(line) == 32 for line in history.split("\n")[1:]))
        p.shot("map-history")
        self.driver.find_element(By.ID, "confirm-button").click()
        dialog = self.driver.find_element(By.ID, "confirm-dialog")
        self.assertTrue(dialog.is_displayed())
        self.assertIn("5003", self.driver.find_element(By.ID, "confirm-question").text)
        self.assertEqual(p.facts("confirm-facts")["Идентификатор работника"], "8002")
        p.shot("map-confirm")
        # Cancelling changes nothing; the second "yes" confirms.
        self.driver.find_element(By.ID, "confirm-no").click()
        self.assertEqual(p.cell(3).get_attribute("data-state"), "returned")
        self.driver.find_element(By.ID, "confirm-button").click()
        self.driver.find_element(By.ID, "confirm-yes").click()
        p.wait_state(3, "resting", 60)
        self.assertEqual(rig.state_line("error.ini", 3), "")
        self.assertIn("user_id=\"\"", rig.rack.ask("show 2"))

    def test_5_viewer_sees_no_actions(self):
        driver = make_driver()
        try:
            p = ConsolePage(driver, self.rig.base)
            p.login("watcher", "watch-password")
            p.cell(1).click()
            self.assertFalse(driver.find_element(By.ID, "panel-actions").is_displayed())
            self.assertFalse(driver.find_element(By.ID, "poll-returns").is_displayed())
            self.assertEqual(driver.find_elements(By.CSS_SELECTOR, "nav a[href='/calibration']")[0].is_displayed(),
                             False)
            driver.get(self.rig.base + "/calibration")
            self.assertEqual(driver.current_url, self.rig.base + "/")
            self.assertEqual(severe(driver), [])
        finally:
            driver.quit()

    def open_records(self, driver, path, ready_css):
        driver.get(self.rig.base + path)
        WebDriverWait(driver, 15).until(lambda d: d.find_elements(By.CSS_SELECTOR, ready_css))

    def test_7_dose_records(self):
        p, rig, driver = self.page, self.rig, self.driver
        # A worker whose name is markup: the journal keeps it, the pages show it as text.
        reply = rig.command({"command": "IN_g", "uid": "666", "uname": EVIL, "order": "Н-2",
                             "gdel": "1", "gde2": "2", "gderl": "3", "gder2": "4"})
        self.assertIn("cell", reply)
        driver.find_element(By.LINK_TEXT, "Записи").click()
        WebDriverWait(driver, 15).until(lambda d: d.find_elements(By.CSS_SELECTOR, "#events tbody tr td a"))
        texts = [td.get_attribute("textContent") for td in driver.find_elements(By.CSS_SELECTOR, "#events td")]
        self.assertIn('ПЕТРОВ "ПЁТР"', texts)
        self.assertIn(EVIL.upper()[:20], texts)   # as the dosimeter keeps it: 20 characters
        self.assertIn(EVIL, texts)   # the block text of test 3
        header = [th.text for th in driver.find_elements(By.CSS_SELECTOR, "#events th")]
        rows = driver.find_elements(By.CSS_SELECTOR, "#events tbody tr.kind-cell_block")
        self.assertTrue(rows)
        self.assertEqual(rows[0].find_elements(By.TAG_NAME, "td")[header.index("Учётная запись")].text, "tech")
        self.assertEqual(driver.find_elements(By.CSS_SELECTOR, "main img"), [])

        # The worker filter with a quote in the identifier; the CSV link carries it.
        driver.find_element(By.ID, "f-uid").send_keys('7"1')
        driver.find_element(By.CSS_SELECTOR, "#filter button[type=submit]").click()
        WebDriverWait(driver, 15).until(lambda d: "uid=7%221" in d.current_url)
        # The rows of the previous filter may be replaced while they are read.
        WebDriverWait(driver, 15, ignored_exceptions=(StaleElementReferenceException,)).until(
            lambda d: {r.find_elements(By.TAG_NAME, "td")[header.index("Работник")].text
                       for r in d.find_elements(By.CSS_SELECTOR, "#events tbody tr")} == {'7"1'})
        self.assertIn("uid=7%221", driver.find_element(By.ID, "csv").get_attribute("href"))
        self.assertIn("записей: 2", driver.find_element(By.ID, "page-info").text)

        # Workers: the confirmed return of test 2 counts.
        driver.find_element(By.LINK_TEXT, "Работники").click()
        WebDriverWait(driver, 15).until(lambda d: d.find_elements(By.CSS_SELECTOR, "#workers tbody tr td a"))
        names = [td.get_attribute("textContent") for td in driver.find_elements(By.CSS_SELECTOR, "#workers td")]
        self.assertIn(EVIL.upper()[:20], names)
        self.assertIn('ПЕТРОВ "ПЁТР"', names)
        self.assertIn("Пределы доз неизвестны", driver.find_element(By.ID, "workers-note").text)

        # One worker: the chart is drawn from the confirmed dose.
        driver.find_element(By.LINK_TEXT, '7"1').click()
        WebDriverWait(driver, 15).until(lambda d: d.find_elements(By.CSS_SELECTOR, "#doses tbody tr"))
        self.assertEqual(driver.find_element(By.ID, "worker-title").text, 'Работник 7"1 — ПЕТРОВ "ПЁТР"')
        points = driver.execute_script("return Chart.getChart('dose-chart').data.datasets[0].data")
        self.assertEqual(points, [0.125])

        # One dosimeter: its life and the history of test 4, a record a line.
        self.open_records(driver, "/dosimeter?number=5003", "#life tbody tr td")
        WebDriverWait(driver, 15).until(
            lambda d: d.find_element(By.ID, "history-records").get_attribute("textContent"))
        lines = driver.find_element(By.ID, "history-records").get_attribute("textContent").split("\n")
        self.assertEqual(len(lines), 5)
        for line in lines:
            self.assertRegex(line, r"^ +\d+  ([0-9A-F]{2} ){15}[0-9A-F]{2}$")
        kinds = [r.get_attribute("className") for r in driver.find_elements(By.CSS_SELECTOR, "#life tbody tr")]
        for kind in ("kind-readout", "kind-history", "kind-confirm"):
            self.assertIn(kind, kinds)
        self.assertTrue(p.no_alert())

    def test_8_every_page_at_both_sizes(self):
        """Every page as a technician sees it, at a desktop's and a phone's size."""
        for width, height in SIZES:
            driver = make_driver(width, height)
            try:
                p = ConsolePage(driver, self.rig.base)
                p.size = "%dx%d" % (width, height)
                driver.get(self.rig.base + "/login")
                WebDriverWait(driver, 10).until(lambda d: d.find_elements(By.ID, "login-button"))
                self.assertEqual(p.shot("login"), width)
                p.audit(self, "login")
                p.login("tech", "tech-password")
                # Times in the cabinet's zone, named on the page.
                self.assertIn("Время стойки:", driver.find_element(By.CSS_SELECTOR, "header .zone").text)
                self.assertRegex(driver.find_element(By.ID, "rack-updated").text,
                                 r"^обновлено \d{4}-\d\d-\d\d \d\d:\d\d:\d\d$")
                p.audit(self, "map")
                p.cell(2).click()
                p.audit(self, "map-cell")
                driver.get(self.rig.base + "/calibration")
                WebDriverWait(driver, 10).until(lambda d: d.find_elements(By.CSS_SELECTOR, "#hub-lines li"))
                p.audit(self, "calibration")
                self.open_records(driver, "/records", "#events tbody tr td a")
                # The default columns fit a desktop's width.
                if width >= 1280:
                    wrap = driver.execute_script(
                        "const w = document.querySelector('.table-wrap'); return [w.scrollWidth, w.clientWidth]")
                    self.assertLessEqual(wrap[0], wrap[1], "the records table scrolls sideways at 1280")
                p.audit(self, "records")
                self.open_records(driver, "/workers", "#workers tbody tr td a")
                p.audit(self, "workers")
                self.open_records(driver, "/worker?uid=" + "7%221", "#doses tbody tr td")
                p.audit(self, "worker")
                self.open_records(driver, "/dosimeter?number=5003", "#life tbody tr td")
                WebDriverWait(driver, 10).until(lambda d: d.find_elements(By.CSS_SELECTOR, "#history-records"))
                p.audit(self, "dosimeter")
                # Empty states say what is missing and what to do.
                self.open_records(driver, "/dosimeter?number=99999", "#life tbody .empty-state")
                self.open_records(driver, "/worker?uid=NOBODY", "#worker-empty:not([hidden])")
                self.assertFalse(driver.find_element(By.ID, "chart-box").is_displayed())
                p.audit(self, "worker-empty")
                self.assertEqual(severe(driver), [])
            finally:
                driver.quit()

    def test_9_no_console_errors(self):
        self.assertEqual(severe(self.driver), [])


class CalibrationTest(unittest.TestCase):
    """An empty rack of three cells and no hub.ini."""

    def test_wizard_over_three_cells(self):
        rig = consolerig.Rig(ARGS.console, ARGS.server, ARGS.simrack, cells=3, devices=0)
        driver = None
        try:
            rig.add_user("tech", "technician", "tech-password")
            rig.start()
            driver = make_driver()
            p = ConsolePage(driver, rig.base)
            p.login("tech", "tech-password")
            driver.find_element(By.LINK_TEXT, "Калибровка").click()
            driver.find_element(By.ID, "start-restart").click()
            p.message("wizard-message", "начата с ячейки 1")
            step = driver.find_element(By.ID, "step-button")
            self.assertEqual(step.text, "Записать ячейку 1")
            # A step without a new dosimeter is refused.
            step.click()
            p.message("wizard-message", "Новый дозиметр не обнаружен")
            # Cells 1, 2, 3 sit at USB positions 3, 1, 2.
            for cell, position in ((1, 3), (2, 1), (3, 2)):
                rig.rack.ask("insert %d" % position)
                driver.find_element(By.ID, "step-button").click()
                p.message("wizard-message", "Ячейка %d записана" % cell)
                rows = driver.find_elements(By.CSS_SELECTOR, "#done-table tbody tr")
                self.assertEqual(rows[-1].find_elements(By.TAG_NAME, "td")[2].text, consolerig.hub_id(position))
            self.assertEqual(rig.hub_lines(), [consolerig.hub_id(3), consolerig.hub_id(1), consolerig.hub_id(2)])
            self.assertEqual([li.text for li in driver.find_elements(By.CSS_SELECTOR, "#hub-lines li")],
                             rig.hub_lines())
            for width, height in SIZES:
                emulate_size(driver, width, height)
                p.size = "%dx%d" % (width, height)
                p.shot("calibration-done")
            # The one refused step is the only error the browser logged: its 409 reply.
            errors = severe(driver)
            self.assertEqual(len(errors), 1, errors)
            self.assertIn("/api/calibration/step", errors[0])
            self.assertIn("409", errors[0])
        finally:
            if driver:
                driver.quit()
            rig.stop()


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for name in ("--console", "--server", "--simrack", "--udevadm-dir", "--screenshots", "--axe"):
        parser.add_argument(name, required=True)
    ARGS, rest = parser.parse_known_args()
    if not os.path.isfile(ARGS.axe):
        sys.exit("axe-core is missing (%s): run scripts/setup-npm" % ARGS.axe)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
