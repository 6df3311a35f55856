#!/usr/bin/python3
"""The web page in a real browser: Debian's chromium, headless, driven by
python3-selenium through chromium-driver. The page shows the codes a SCPI
client set and follows its changes; a click on Transmit sends the page's
codes to the chips.

usage: web_browser.py PATH/TO/tarvel [SCREENSHOT.png]
"""
import os
import socket
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait
from ordinary_user import as_ordinary_user


class Scpi:
    def __init__(self, port):
        self.file = socket.create_connection(("127.0.0.1", port), timeout=10).makefile("rw", newline="\n")

    def query(self, line):
        self.file.write(line + "\n")
        self.file.flush()
        return self.file.readline().rstrip("\n")


def browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 "--window-size=820,900", "--user-data-dir=" + profile, "--no-first-run"):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def main():
    program = os.path.abspath(sys.argv[1])
    screenshot = os.path.abspath(sys.argv[2]) if len(sys.argv) > 2 else None
    with tempfile.TemporaryDirectory(prefix="tarvel-browser-") as work:
        os.chmod(work, 0o777)
        env = dict(os.environ, TARVEL_PORT="sim:" + os.path.join(work, "bench.state"))
        server = subprocess.Popen([program, "--serve", "--listen", "127.0.0.1:0", "--http", "127.0.0.1:0"],
                                  cwd=work, env=env, stdout=subprocess.PIPE, text=True,
                                  preexec_fn=as_ordinary_user)
        driver = None
        try:
            scpi_port = int(server.stdout.readline().strip().rsplit(":", 1)[1])
            url = server.stdout.readline().strip().split(" ")[-1]
            scpi = Scpi(scpi_port)
            scpi.query("CHAN1:CODE 12;CHAN2:CODE 34;*OPC?")  # set, not sent

            driver = browser(os.path.join(work, "profile"))
            driver.get(url)
            wait = WebDriverWait(driver, 15)
            value = lambda name: driver.find_element(By.ID, name).get_attribute("value")
            text = lambda name: driver.find_element(By.ID, name).text
            wait.until(lambda d: value("code1") == "12" and value("code2") == "34")
            print("the page shows the codes the SCPI client set: 12, 34")
            assert text("sent") == "nothing yet", text("sent")
            assert scpi.query("CODE?") == "-1,-1"

            driver.find_element(By.ID, "transmit").click()
            for _ in range(100):
                if scpi.query("CODE?") == "12,34":
                    break
                time.sleep(0.1)
            assert scpi.query("CODE?") == "12,34", "the click on Transmit sent nothing"
            wait.until(lambda d: text("sent") == "Chan 1 12, Chan 2 34")
            print("a click on Transmit sent them: SCPI CODE? answers 12,34")

            scpi.query("CODE 17,42;*OPC?")
            wait.until(lambda d: value("code1") == "17" and text("read1") == "17" and text("read2") == "42")
            wait.until(lambda d: driver.find_element(By.ID, "live").text == "live")
            print("the page follows the SCPI client's CODE 17,42 and reads them back")
            if screenshot:
                driver.find_element(By.TAG_NAME, "body").screenshot(screenshot)
                print("screenshot: " + screenshot)
        finally:
            if driver is not None:
                driver.quit()
            server.terminate()
            server.wait(timeout=10)
    print("all passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
