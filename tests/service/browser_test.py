#!/usr/bin/env python3
"""The page at / in a real browser: headless Chromium driven by Selenium.

tolvaner serves two simulated meters, each a tolvaner-sim of its own. The
values appear and then change (the first meter is in test mode, which sweeps
its DAC value), the chart gains points, a meter that goes
silent shows as down with no values, and so do all when the server is gone;
SIGTERM ends the server with status 0; the browser's console has no error, no
Content-Security-Policy violation happens, and no request leaves the server's
own origin (the browser could not reach anything else anyway: every name but
the loopback address resolves to nothing and any other address goes to a
proxy that is not there).

Usage: browser_test.py TOLVANER TOLVANER_SIM
The test runs TOLVANER --serve 127.0.0.1:0 --watch 0.5 on the simulators'
ports; it must say "serving http://ADDR:PORT/" on standard error. A meter
goes silent when its simulator is stopped (SIGSTOP): its port stays open and
nothing answers. Exits 77 (skipped), saying why, when the browser or Selenium
is missing.
"""

import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77
METERS = ['meter-a', 'meter-silent']  # the second is silenced


def skip(why):
    print(f'SKIP: {why}')
    sys.exit(SKIP)


def fail(why):
    print(f'FAIL: {why}', file=sys.stderr)
    sys.exit(1)


try:
    from selenium import webdriver
    from selenium.common.exceptions import TimeoutException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    skip('selenium is not installed (Debian package python3-selenium)')

CHROMIUM = shutil.which('chromium')
CHROMEDRIVER = shutil.which('chromedriver') or (
    '/usr/bin/chromedriver' if os.access('/usr/bin/chromedriver', os.X_OK) else None)
if not CHROMIUM:
    skip('chromium is not installed (Debian package chromium)')
if not CHROMEDRIVER:
    skip('chromedriver is not installed (Debian package chromium-driver)')


def start_simulators(simulator, folder):
    """One simulator per meter, each on a link named after it; their ports."""
    simulators = []
    ports = []
    for name in METERS:
        ports.append(os.path.join(folder, name))
        simulators.append(subprocess.Popen(
            [simulator, '--link', ports[-1]], stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL))
        ready, _, _ = select.select([simulators[-1].stdout], [], [], 10)
        if not ready or not simulators[-1].stdout.readline().startswith(b'tolvaner-sim: device on'):
            fail(f'the simulator for {name} did not start')
    return simulators, ports


def start_server(program, ports):
    process = subprocess.Popen(
        [program, '--serve', '127.0.0.1:0', '--watch', '0.5'] + ports,
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    errors = b''
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        found = re.search(rb'serving (http://[^ \n]+/)\n', errors)
        if found:
            return process, found.group(1).decode()
        ready, _, _ = select.select([process.stderr], [], [], deadline - time.monotonic())
        if not ready:
            break
        chunk = os.read(process.stderr.fileno(), 4096)
        if not chunk:
            break
        errors += chunk
    process.kill()
    fail(f'the program did not say where it serves: {errors.decode(errors="replace")}')


def browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in [
            '--headless=new', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage',
            '--disable-background-networking', '--disable-component-update', '--disable-sync',
            '--disable-extensions', '--disable-default-apps', '--disable-domain-reliability',
            '--no-first-run', '--no-default-browser-check', '--metrics-recording-only',
            f'--user-data-dir={profile}',
            # Nothing but the loopback address can be reached.
            '--host-resolver-rules=MAP * ~NOTFOUND , EXCLUDE 127.0.0.1',
            '--proxy-server=127.0.0.1:9', '--proxy-bypass-list=127.0.0.1']:
        options.add_argument(argument)
    options.set_capability('goog:loggingPrefs', {'browser': 'ALL', 'performance': 'ALL'})
    return webdriver.Chrome(service=Service(executable_path=CHROMEDRIVER), options=options)


def wait_for(driver, what, condition, seconds=15):
    try:
        return WebDriverWait(driver, seconds, poll_frequency=0.2).until(lambda d: condition())
    except TimeoutException:
        fail(f'within {seconds} s: {what}')


def main():
    if len(sys.argv) != 3:
        fail('usage: browser_test.py TOLVANER TOLVANER_SIM')
    program, simulator = sys.argv[1:]
    folder = tempfile.mkdtemp(prefix='tolvaner-browser.')
    profile = os.path.join(folder, 'profile')
    simulators, ports = start_simulators(simulator, folder)
    names = dict(zip(METERS, ports))  # each meter is shown under its port
    # Test mode: the DAC value of meter-a climbs by one every 100 ms.
    subprocess.run([program, names['meter-a']], input=b'T\nx\n', stdout=subprocess.DEVNULL,
                   timeout=10, check=True)
    server, url = start_server(program, ports)
    origin = url.rstrip('/')
    driver = None
    status = None
    count = 0
    try:
        driver = browser(profile)
        driver.set_page_load_timeout(20)
        driver.get_log('performance')  # what the browser's own first tab loaded
        driver.get(url)

        def card(name):
            return next(c for c in driver.find_elements(By.CSS_SELECTOR, 'section.meter')
                        if c.get_attribute('data-meter') == names[name])

        def value(name, key):
            return card(name).find_element(By.CSS_SELECTOR, f'td[data-key="{key}"]').text

        def chart_points(name):
            return int(card(name).find_element(By.CSS_SELECTOR, 'svg.chart')
                       .get_attribute('data-points'))

        # The values appear, all eight, for every meter.
        wait_for(driver, 'the DAC values of both meters appear',
                 lambda: len(driver.find_elements(By.CSS_SELECTOR, 'section.meter')) == 2
                 and all(re.fullmatch(r'\d+', value(name, 'dac_value'))
                         and card(name).get_attribute('data-up') == '1' for name in METERS))
        for name in METERS:
            if card(name).get_attribute('data-up') != '1':
                fail(f'{name} is not shown as up')
            for key, shown in [('product_id', 'TLV1'), ('code_revision', '12'),
                               ('pulse_value', '10 watt-hours'),
                               ('full_scale', '10 kilowatts'), ('output_mode', 'I'),
                               ('average_interval', '5 minutes')]:
                if value(name, key) != shown:
                    fail(f'{name}: {key} shows {value(name, key)!r}, not {shown!r}')
            if not re.fullmatch(r'\d+ kilowatt-hours', value(name, 'kwh_value')):
                fail(f'{name}: kwh_value shows {value(name, "kwh_value")!r}')

        # Then they change, without a reload, and the bar follows.
        first = value('meter-a', 'dac_value')
        wait_for(driver, f'the DAC value of meter-a changes from {first}',
                 lambda: value('meter-a', 'dac_value') not in (first, '—'))
        bar = card('meter-a').find_element(By.CSS_SELECTOR, '.bar')
        shown = value('meter-a', 'dac_value')
        wait_for(driver, 'the bar shows the DAC value',
                 lambda: bar.get_attribute('aria-valuenow') == value('meter-a', 'dac_value'))
        if not card('meter-a').find_element(By.CSS_SELECTOR, '.fill').get_attribute('style'):
            fail(f'the bar of meter-a has no width for {shown}')

        # The chart gains points.
        points = chart_points('meter-a')
        wait_for(driver, f'the chart of meter-a gains points beyond {points}',
                 lambda: chart_points('meter-a') > points)
        if not card('meter-a').find_element(By.CSS_SELECTOR, 'path.dac').get_attribute('d'):
            fail('the chart of meter-a draws no DAC line')

        # A meter that goes silent shows as down, with no value left on it.
        simulators[1].send_signal(signal.SIGSTOP)
        # meter-a stays up (a busy machine may cost it a poll now and then).
        wait_for(driver, 'meter-silent shows as down and meter-a as up',
                 lambda: card('meter-silent').get_attribute('data-up') == '0'
                 and card('meter-a').get_attribute('data-up') == '1')
        status = card('meter-silent').find_element(By.CSS_SELECTOR, '.status').text
        if not status.startswith('down'):
            fail(f'meter-silent: status {status!r}')
        for key in ['product_id', 'dac_value', 'kwh_value']:
            if value('meter-silent', key) != '—':
                fail(f'meter-silent is down but still shows {key} {value("meter-silent", key)!r}')

        # Nothing went wrong, and nothing was asked of anyone else.
        errors = [e for e in driver.get_log('browser') if e.get('level') == 'SEVERE']
        if errors:
            fail(f'the browser console has errors: {errors}')
        violations = driver.execute_script('return document.body.dataset.cspViolations || "0"')
        if violations != '0':
            fail(f'{violations} Content-Security-Policy violations')
        resources = driver.execute_script(
            'return performance.getEntriesByType("resource").map(e => e.name)')
        requested = [url] + resources
        for entry in driver.get_log('performance'):
            found = re.search(r'"method":"Network.requestWillBeSent".*?"url":"([^"]*)"',
                              entry.get('message', ''))
            if found:
                requested.append(found.group(1))
        # Over the network, that is: not the browser's own chrome:// pages.
        network = re.compile(r'^(https?|wss?|ftp)://', re.IGNORECASE)
        elsewhere = [r for r in requested
                     if network.match(r) and not r.startswith(origin + '/')]
        if elsewhere:
            fail(f'requests left the server: {elsewhere}')
        if not any(r.startswith(origin + '/api/readings') for r in requested):
            fail(f'the page never asked for the readings: {requested}')
        count = len([r for r in requested if network.match(r)])

        # When the server is gone, the page says so and shows no value.
        server.terminate()
        status = server.wait(timeout=5)
        wait_for(driver, 'the page says the server does not answer',
                 lambda: driver.find_element(By.ID, 'state').get_attribute('data-state') == 'lost')
        if value('meter-a', 'dac_value') != '—' or card('meter-a').get_attribute('data-up') != '0':
            fail('with the server gone, meter-a still shows a value')
    finally:
        if driver is not None:
            driver.quit()
        if status is None:
            server.terminate()
            try:
                status = server.wait(timeout=5)
            except subprocess.TimeoutExpired:
                server.kill()
                status = 'none: it did not stop'
        for sim in simulators:
            sim.send_signal(signal.SIGCONT)
            sim.terminate()
            try:
                sim.wait(timeout=5)
            except subprocess.TimeoutExpired:
                sim.kill()
        shutil.rmtree(folder, ignore_errors=True)
    if status != 0:
        fail(f'SIGTERM ended the program with status {status}, not 0')
    print(f'PASS: {count} requests, all to {origin}; stopped with status 0')


if __name__ == '__main__':
    main()
