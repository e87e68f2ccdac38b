#!/usr/bin/python3
"""The map page in a real browser: Debian's headless Chromium driven by chromium-driver and
python3-selenium against a service this test starts on a free port and stops.

    page_browser.py LOOKUPD INDEX [SCREENSHOT.png]

Ends with "page_browser: passed"; any failure names what the page showed instead."""
import os
import re
import select
import subprocess
import sys
import tempfile
import time

CHROMIUM, DRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"
REFUSAL = "抱歉,请求的位置不在中国境内!"


def fail(message):
    print(f"page_browser: FAILED: {message}")
    sys.exit(1)


if not (os.access(CHROMIUM, os.X_OK) and os.access(DRIVER, os.X_OK)):
    fail(f"{CHROMIUM} and {DRIVER} are needed (Debian's chromium and chromium-driver)")
try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import Select, WebDriverWait
except ImportError as e:
    fail(f"python3-selenium is needed: {e}")


def start_service(binary, index):
    svc = subprocess.Popen([binary, "--listen", "127.0.0.1:0", "--data", index, "--quiet"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    ready, _, _ = select.select([svc.stderr], [], [], 20)
    line = svc.stderr.readline() if ready else ""
    port = re.search(r"listening on 127\.0\.0\.1:(\d+)", line)
    if not port:
        svc.kill()
        fail(f"the service did not name its port within 20 s: {line!r}")
    return svc, int(port.group(1))


def main():
    binary, index = sys.argv[1], sys.argv[2]
    shot = sys.argv[3] if len(sys.argv) > 3 else None
    svc, port = start_service(binary, index)
    profile = tempfile.TemporaryDirectory(prefix="page_browser.")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 f"--user-data-dir={profile.name}", "--window-size=1280,800", "--lang=zh-CN"):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(DRIVER), options=options)
    driver.set_page_load_timeout(30)
    try:
        run(driver, f"http://127.0.0.1:{port}/", shot)
    finally:
        driver.quit()
        svc.terminate()
        try:
            svc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            svc.kill()
        profile.cleanup()
    print("page_browser: passed")


def run(driver, base, shot):
    wait = WebDriverWait(driver, 30)
    canvas_of = lambda: driver.find_element(By.ID, "map")
    text = lambda id_: driver.find_element(By.ID, id_).text

    def look_up(position, crs):
        box = driver.find_element(By.ID, "pos")
        box.clear()
        Select(driver.find_element(By.ID, "crs")).select_by_value(crs)
        box.send_keys(position, Keys.ENTER)

    def answered(district):
        try:
            wait.until(lambda d: canvas_of().get_attribute("data-state") == "done" and text("district") == district)
        except Exception:
            fail(f"expected {district}; the page shows {text('district')!r}, refusal {text('refusal')!r}, "
                 f"state {canvas_of().get_attribute('data-state')}")

    driver.get(base)
    wait.until(lambda d: canvas_of().get_attribute("data-provinces") not in (None, ""))
    if canvas_of().get_attribute("data-provinces") != "34":
        fail(f"province outlines: {canvas_of().get_attribute('data-provinces')}")

    # The example typed and Enter: the district named, its outline drawn and filled.
    look_up("113.65735 34.79139167", "wgs84")
    answered("金水区")
    c = canvas_of()
    if c.get_attribute("data-outline-code") != "410105" or int(c.get_attribute("data-outline-vertices")) < 50:
        fail(f"outline drawn: {c.get_attribute('data-outline-code')} with {c.get_attribute('data-outline-vertices')}")
    # The district's fill and border are the only orange on the map.
    orange = driver.execute_script("""
        const c = document.getElementById('map'), d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
        let n = 0;
        for (let i = 0; i < d.length; i += 4) if (d[i] > d[i + 1] + 40 && d[i] > d[i + 2] + 60) n++;
        return n;""")
    if orange < 2000:
        fail(f"the district's outline is not on the canvas ({orange} orange pixels)")
    if (text("province"), text("prefecture"), text("code")) != ("河南省", "郑州市", "410105"):
        fail(f"answer text: {text('province')} {text('prefecture')} {text('code')}")
    if not driver.current_url.endswith("#113.65735,34.79139167,wgs84"):
        fail(f"address: {driver.current_url}")
    if shot:
        driver.save_screenshot(shot)

    # A click on the map where 中原区 lies (113.60 E, 34.75 N), placed by the view the page exposes.
    lon0, lat0, scale = map(float, canvas_of().get_attribute("data-view").split(","))
    import math
    dx = (113.60 - lon0) * scale * math.cos(math.radians(lat0))
    dy = -(34.75 - lat0) * scale
    ActionChains(driver).move_to_element_with_offset(canvas_of(), round(dx), round(dy)).click().perform()
    answered("中原区")
    lon, lat = map(float, driver.find_element(By.ID, "pos").get_attribute("value").split())
    if abs(lon - 113.60) > 0.01 or abs(lat - 34.75) > 0.01:
        fail(f"the click was read as {lon} {lat}")

    # One position, two systems: the page passes the system on.
    look_up("113.666 34.704", "gcj02")
    answered("二七区")
    look_up("113.666 34.704", "wgs84")
    answered("管城回族区")
    if not text("gcj02").startswith("113.672"):
        fail(f"GCJ-02 of the WGS-84 position: {text('gcj02')}")

    # Malformed: the window's refusal, the reason, and the last good answer's address kept.
    look_up("113.6x57 34.79", "wgs84")
    wait.until(lambda d: canvas_of().get_attribute("data-state") == "refused")
    if text("refusal") != REFUSAL or "113.6x57" not in text("reason"):
        fail(f"refusal shown: {text('refusal')!r} / {text('reason')!r}")

    # Reloading the address restores the last answered view.
    driver.refresh()
    answered("管城回族区")
    if Select(driver.find_element(By.ID, "crs")).first_selected_option.get_attribute("value") != "wgs84":
        fail("the system was not restored from the address")

    # At sea, near a district: the distance given and the line drawn to it.
    look_up("121.745 31.295", "wgs84")
    answered("浦东新区")
    if not re.fullmatch(r"在区界外 \d+ m", text("distance")):
        fail(f"distance: {text('distance')!r}")

    severe = [e for e in driver.get_log("browser") if e["level"] == "SEVERE"]
    if severe:
        fail(f"errors in the browser's log: {severe}")


if __name__ == "__main__":
    main()
