#!/usr/bin/python3
"""Browser test of kivo-web's page, run by tests/browser/run.sh inside the host
namespace: starts kivo-devsim (in the device namespace), kivohost and kivo-web, drives
headless Chromium and finds every control through Chromium's accessibility tree, by
role and accessible name, as a user of a screen reader or an automation script would.

Modes: page (the user's paths), axe (axe-core's check of every view), figures (prints
the first load and the 1000-parameter table; asserts nothing about time)."""

import argparse
import json
import os
import secrets
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.common.exceptions import WebDriverException
from selenium.webdriver.chrome.service import Service as ChromeService
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.select import Select

SKIP = 77
PASSWORD = 'secret'
LR = '02:00:00:00:10:01'    # LCMP device, living room: parameters, counters, upgrades
KT = '02:00:00:00:10:02'    # LCMP device, kitchen: another password, upgrades
SLOW = '02:00:00:00:10:03'  # LCMP device whose flash erase never ends: for Stop
OLD = '02:00:00:00:20:01'   # SCP device on the second interface
ROM = '02:00:00:00:40:01'   # waiting in its boot ROM on the second interface, for an Ethernet boot
BIG = '02:00:00:00:30:01'   # 1000 parameters (figures only)
GARAGE = '02:00:00:00:50:01'  # asks for firmware; no discovery lists it: upgraded by its MAC

DEVICES = f"""
[device lr]
mac = {LR}
interface = eth0
role = lcmp
password = {PASSWORD}
segment_size = 1492
fw_upgrade = yes
fw_request_at_start = yes
fw_request_count = 1000000
fw_log_data = no
fw_ack_delay_ms = 3
fw_save_image = {{out}}/lr-image.bin
param = SYSTEM.PRODUCTION.MAC_ADDR MAC_ADDR {LR}
param = SYSTEM.GENERAL.NAME STRING living room
param = SYSTEM.GENERAL.SPEED INT16U 100
param = SYSTEM.GENERAL.LED BOOL YES
param = SYSTEM.INFO.UPTIME INT32U 86400
param = ETHERNET.PORT0.RX_BYTES INT64U 1000000
param = ETHERNET.PORT0.TX_BYTES INT64U 500000
param = PLC.GENERAL.TEMPERATURE INT16S 45
param = NETWORK.GENERAL.IP IP_ADDR 10.0.0.2
readonly = SYSTEM.PRODUCTION.MAC_ADDR
counter = ETHERNET.PORT0.RX_BYTES 125000
counter = SYSTEM.INFO.UPTIME 1
gauge = PLC.GENERAL.TEMPERATURE 5 60

[device kt]
mac = {KT}
interface = eth0
role = lcmp
password = kitchen-only
segment_size = 1492
fw_upgrade = yes
fw_request_at_start = yes
fw_request_count = 1000000
fw_log_data = no
fw_ack_delay_ms = 3
fw_save_image = {{out}}/kt-image.bin
param = SYSTEM.PRODUCTION.MAC_ADDR MAC_ADDR {KT}
param = SYSTEM.GENERAL.NAME STRING kitchen

[device slow]
mac = {SLOW}
interface = eth0
role = lcmp
password = {PASSWORD}
segment_size = 1492
fw_upgrade = yes
fw_request_at_start = yes
fw_request_count = 1000000
fw_erase_ms = 600000
param = SYSTEM.PRODUCTION.MAC_ADDR MAC_ADDR {SLOW}
param = SYSTEM.GENERAL.NAME STRING attic

[device garage]
mac = {GARAGE}
interface = eth0
role = fw
fw_request_at_start = yes
fw_request_period_ms = 200
fw_request_count = 1000000
fw_log_data = no
fw_save_image = {{out}}/garage-image.bin

[device old]
mac = {OLD}
interface = eth1
role = scp
password = {PASSWORD}
param = SYSTEM.GENERAL.NAME STRING cellar
param = SYSTEM.INFO.UPTIME INT32U 1000
counter = SYSTEM.INFO.UPTIME 1

[device rom]
mac = {ROM}
interface = eth1
role = bootrom
rom_version = 3
announce_period_ms = 100
fw_save_loader = {{out}}/rom-loader.bin
fw_save_firmware = {{out}}/rom-firmware.bin
"""

LR_PARAMS = 9


def big_device():
    lines = [f'\n[device big]\nmac = {BIG}\ninterface = eth1\nrole = lcmp\npassword = {PASSWORD}\n'
             f'segment_size = 1492\nparam = SYSTEM.PRODUCTION.MAC_ADDR MAC_ADDR {BIG}\n']
    # The LCMP discovery reads each device's MAC_ADDR: 999 more make the 1000.
    for i in range(999):
        group = ['SYSTEM', 'ETHERNET', 'PLC', 'NETWORK', 'QOS'][i % 5]
        lines.append(f'param = {group}.BLOCK{i // 50:02d}.VALUE{i:04d} INT32U {i * 7}\n')
    return ''.join(lines)


class Failure(Exception):
    pass


def wait_for(what, fn, timeout=20.0, every=0.1):
    """Polls fn until it returns something true; fails naming what it waited for."""
    end = time.monotonic() + timeout
    last_error = None
    while time.monotonic() < end:
        try:
            value = fn()
            if value:
                return value
        except (WebDriverException, Failure) as e:
            last_error = e
        time.sleep(every)
    raise Failure(f'timed out after {timeout:.0f} s waiting for {what}'
                  + (f' (last error: {last_error})' if last_error else ''))


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


class Bed:
    """kivo-devsim, kivohost and kivo-web, stopped in reverse order on exit."""

    def __init__(self, args, config):
        self.args = args
        self.procs = []
        self.tmp = tempfile.mkdtemp(prefix='kivo-browser-')
        conf = os.path.join(self.tmp, 'devices.conf')
        with open(conf, 'w') as f:
            f.write(config.replace('{out}', self.tmp))
        self.devsim_log = os.path.join(args.out, f'devsim-{args.mode}.log')
        self.devsim = self.start('devsim', ['ip', 'netns', 'exec', args.dev_ns,
                                            args.devsim, '-c', conf],
                                 self.devsim_log)
        wait_for('the simulator to be ready', lambda: 'devsim: ready' in self.read(self.devsim_log), 15)
        self.service_port = free_port()
        self.start('kivohost', [args.kivohost, str(self.service_port)],
                   os.path.join(args.out, f'kivohost-{args.mode}.log'))
        self.token = secrets.token_hex(16)
        token_file = os.path.join(self.tmp, 'token')
        with open(token_file, 'w') as f:
            f.write(self.token + '\n')
        self.web_port = free_port()
        self.web_log = os.path.join(args.out, f'kivo-web-{args.mode}.log')
        self.start('kivo-web', [args.web,
                                '--listen', f'127.0.0.1:{self.web_port}',
                                '--service-port', str(self.service_port),
                                '--token-file', token_file], self.web_log)
        wait_for('kivo-web to listen', self.web_listening, 15)
        self.base = f'http://127.0.0.1:{self.web_port}'

    def start(self, name, argv, log):
        out = open(log, 'w')
        p = subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.PIPE,
                             start_new_session=True)
        self.procs.append((name, p))
        return p

    @staticmethod
    def read(path):
        try:
            with open(path, errors='replace') as f:
                return f.read()
        except OSError:
            return ''

    def read_bytes(self, name):
        try:
            with open(os.path.join(self.tmp, name), 'rb') as f:
                return f.read()
        except OSError:
            return None

    def web_listening(self):
        for name, p in self.procs:
            if p.poll() is not None:
                raise Failure(f'{name} ended with status {p.returncode}')
        try:
            socket.create_connection(('127.0.0.1', self.web_port), 0.5).close()
            return True
        except OSError:
            return False

    def close(self):
        for _, p in reversed(self.procs):
            if p.poll() is None:
                try:
                    os.killpg(p.pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    os.killpg(p.pid, signal.SIGKILL)
                    p.wait()
        shutil.rmtree(self.tmp, ignore_errors=True)


class Page:
    """Headless Chromium, and finding things by role and accessible name."""

    def __init__(self, out):
        self.out = out
        opts = webdriver.ChromeOptions()
        opts.binary_location = '/usr/bin/chromium'
        for a in ('--headless=new', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage',
                  '--window-size=1280,900', '--no-first-run', '--disable-extensions',
                  '--disable-background-networking', '--disable-component-update', '--disable-sync'):
            opts.add_argument(a)
        opts.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
        self.driver = webdriver.Chrome(service=ChromeService('/usr/bin/chromedriver'), options=opts)
        self.driver.set_script_timeout(30)
        self.console = []
        self.serial = 0

    def close(self):
        self.driver.quit()

    def cdp(self, cmd, params=None):
        return self.driver.execute_cdp_cmd(cmd, params or {})

    def find_all(self, role, name):
        """Elements whose accessibility node has this role and exact accessible name
        (not ignored, so hidden ones are left out)."""
        root = self.cdp('DOM.getDocument', {'depth': 0})['root']
        nodes = self.cdp('Accessibility.queryAXTree', {'backendNodeId': root['backendNodeId'],
                                                       'accessibleName': name, 'role': role})['nodes']
        found = []
        for n in nodes:
            if n.get('ignored') or 'backendDOMNodeId' not in n:
                continue
            obj = self.cdp('DOM.resolveNode', {'backendNodeId': n['backendDOMNodeId']})['object']
            self.serial += 1
            mark = f'ax{self.serial}'
            self.cdp('Runtime.callFunctionOn', {'objectId': obj['objectId'],
                                                'functionDeclaration': f'function() {{ this.dataset.axFound = "{mark}"; }}'})
            found.append(self.driver.find_element(By.CSS_SELECTOR, f'[data-ax-found="{mark}"]'))
        return found

    def one(self, role, name, timeout=10.0):
        def get():
            els = self.find_all(role, name)
            if len(els) > 1:
                raise Failure(f'{len(els)} elements with role {role} and name "{name}"')
            return els[0] if els else None
        return wait_for(f'the {role} "{name}"', get, timeout)

    def none(self, role, name):
        return not self.find_all(role, name)

    def text(self, el):
        return el.get_attribute('innerText') or ''

    def error_text(self):
        box = self.driver.find_element(By.XPATH, '//*[@role="alert"]')
        return box.text if box.is_displayed() else ''

    def status_text(self):
        return ' '.join(e.text for e in self.driver.find_elements(By.XPATH, '//main/*[@role="status"]'))

    def description(self, el):
        """The text of the elements that describe el (aria-describedby)."""
        return self.driver.execute_script(
            'return (arguments[0].getAttribute("aria-describedby") || "").split(" ").filter(Boolean)'
            '.map(id => document.getElementById(id)).filter(e => e && !e.hidden)'
            '.map(e => e.textContent).join(" ")', el)

    def measure(self, name):
        return self.driver.execute_script(
            'const m = performance.getEntriesByName(arguments[0]); return m.length ? m[m.length - 1].duration : null;',
            name)

    def shot(self, name):
        path = os.path.join(self.out, name)
        self.driver.save_screenshot(path)
        return path

    def collect_console(self):
        self.console += self.driver.get_log('browser')
        return self.console


def table_rows(page, name):
    table = page.one('table', name)
    return [r for r in table.find_elements(By.XPATH, './tbody/tr') if r.is_displayed()]


def cell_texts(row):
    return [c.text for c in row.find_elements(By.XPATH, './th|./td')]


def param_row(page, name):
    table = page.one('table', 'Parameters')
    return table.find_element(By.XPATH, f'./tbody/tr[@data-name="{name}"]')


def param_count(page):
    return page.description(page.one('textbox', 'Filter'))


def param_value(page, name):
    return param_row(page, name).find_element(By.XPATH, './td[2]').text


def give_password(page, password):
    box = page.one('textbox', 'Password')
    box.send_keys(password, Keys.ENTER)
    wait_for('the password dialog to close', lambda: page.none('textbox', 'Password'), 5)


def read_all(page, password=None):
    page.one('button', 'Read all').click()
    if password is not None:
        give_password(page, password)


def open_device(page, mac):
    page.driver.get(page.driver.current_url.split('#')[0] + '#devices')
    row = wait_for(f'{mac} in the Devices table',
                   lambda: next((r for r in table_rows(page, 'Devices') if mac in r.text), None))
    row.send_keys(Keys.ENTER)  # the keyboard opens a device as a click does
    wait_for(f'the Device view of {mac}', lambda: mac in page.one('heading', f'Device {mac}').text)


def discover(page):
    page.one('button', 'Discover').click()
    return wait_for('five discovered devices',
                    lambda: len(table_rows(page, 'Devices')) >= 5 and table_rows(page, 'Devices'), 30)


def check_user_paths(bed, page, out):
    d = page.driver
    d.get(f'{bed.base}/?token={bed.token}')
    wait_for('the page to load', lambda: d.current_url.rstrip('/') == bed.base
             or d.current_url.startswith(bed.base + '/#'))
    page.one('table', 'Devices')

    # Discover: every simulated device, with its kind and interface.
    rows = {cell_texts(r)[2]: cell_texts(r) for r in discover(page)}
    for mac, kind, iface in ((LR, 'lcmp', 'kv0'), (KT, 'lcmp', 'kv0'), (OLD, 'scp', 'kv1'), (ROM, 'bootrom-v3', 'kv1')):
        if mac not in rows or rows[mac][1] != kind or rows[mac][3] != iface:
            raise Failure(f'Devices table lacks {kind} {mac} on {iface}: {rows}')
    page.shot('web-devices.png')
    print('ok discover:', ', '.join(f'{r[1]} {m} on {r[3]}' for m, r in sorted(rows.items())))

    # Read all asks the password once, then every parameter as the device has it.
    open_device(page, LR)
    read_all(page, PASSWORD)
    wait_for('the parameter count', lambda: f'{LR_PARAMS} parameters.' in param_count(page), 20)
    if param_value(page, 'SYSTEM.GENERAL.NAME') != 'living room' or param_value(page, 'SYSTEM.GENERAL.SPEED') != '100':
        raise Failure('read values differ from the device: ' + param_row(page, 'SYSTEM.GENERAL.NAME').text)
    # The tree: folding ETHERNET hides its parameters, unfolding shows them again.
    fold = page.one('button', 'ETHERNET')
    rx = param_row(page, 'ETHERNET.PORT0.RX_BYTES')
    if fold.get_attribute('aria-expanded') != 'true' or not rx.is_displayed():
        raise Failure('ETHERNET is not shown unfolded after the read')
    fold.send_keys(Keys.ENTER)
    wait_for('ETHERNET to fold', lambda: not rx.is_displayed() and fold.get_attribute('aria-expanded') == 'false')
    fold.click()
    wait_for('ETHERNET to unfold', lambda: rx.is_displayed())
    print('ok read all: %d parameters, values as the device has them; tree folds by name' % LR_PARAMS)

    # Filter.
    filt = page.one('textbox', 'Filter')
    filt.send_keys('general')
    shown = wait_for('the filtered rows', lambda: [r.get_attribute('data-name') for r in
                                                  table_rows(page, 'Parameters') if r.get_attribute('data-name')]
                     if 'match' in param_count(page) else None)
    if sorted(shown) != ['NETWORK.GENERAL.IP', 'PLC.GENERAL.TEMPERATURE', 'SYSTEM.GENERAL.LED',
                         'SYSTEM.GENERAL.NAME', 'SYSTEM.GENERAL.SPEED']:
        raise Failure(f'filter "general" shows {shown}')
    print('ok filter: "general" leaves', len(shown), 'parameters')

    # Edit two values; a value outside its type is refused by the service's check first.
    param_row(page, 'SYSTEM.GENERAL.SPEED').find_element(By.XPATH, './td[2]').click()
    box = page.one('textbox', 'New value of SYSTEM.GENERAL.SPEED')
    box.send_keys(Keys.CONTROL, 'a')
    box.send_keys('70000', Keys.ENTER)
    # Refused with kivoctl's words: the name, the type and the values it allows.
    note = wait_for('the check to refuse 70000', lambda: 'is not valid for SYSTEM.GENERAL.SPEED' in
                    param_row(page, 'SYSTEM.GENERAL.SPEED').text and param_row(page, 'SYSTEM.GENERAL.SPEED').text)
    if 'whole numbers from 0 to 65535' not in note:
        raise Failure(f'the check does not say what INT16U allows: {note!r}')
    if not page.one('button', 'Apply').get_attribute('disabled'):
        raise Failure('Apply is enabled after a refused check')
    box.send_keys(Keys.CONTROL, 'a')
    box.send_keys('200', Keys.ENTER)
    wait_for('SPEED to wait for Apply', lambda: 'Apply writes it' in param_row(page, 'SYSTEM.GENERAL.SPEED').text)
    param_row(page, 'SYSTEM.GENERAL.NAME').find_element(By.XPATH, './td[2]').click()
    box = page.one('textbox', 'New value of SYSTEM.GENERAL.NAME')
    box.send_keys(Keys.CONTROL, 'a')
    box.send_keys('kitchen corner', Keys.ENTER)
    wait_for('NAME to wait for Apply', lambda: 'Apply writes it' in param_row(page, 'SYSTEM.GENERAL.NAME').text)
    page.shot('web-device-edit.png')

    # Apply lists the changes and asks; the values are then read back from the device.
    page.one('button', 'Apply').click()
    dialog_text = page.one('table', 'Changes').text
    if 'SYSTEM.GENERAL.SPEED' not in dialog_text or '200' not in dialog_text or 'kitchen corner' not in dialog_text:
        raise Failure(f'the confirmation lists {dialog_text!r}')
    page.one('button', 'Write').click()
    wait_for('the write to be confirmed', lambda: 'Wrote 2 values' in page.status_text(), 20)
    filt.send_keys(Keys.CONTROL, 'a', Keys.BACKSPACE)
    read_all(page)  # no password asked a second time
    wait_for('the values read back', lambda: param_value(page, 'SYSTEM.GENERAL.SPEED') == '200'
             and param_value(page, 'SYSTEM.GENERAL.NAME') == 'kitchen corner', 20)
    log = bed.read(bed.devsim_log)
    if 'CFG write SYSTEM.GENERAL.SPEED' not in log or 'CFG write SYSTEM.GENERAL.NAME' not in log:
        raise Failure('the simulator logged no write of SPEED and NAME')
    results = {cell_texts(r)[0]: cell_texts(r)[1] for r in table_rows(page, 'Write results')}
    if results != {'SYSTEM.GENERAL.SPEED': 'written', 'SYSTEM.GENERAL.NAME': 'written'}:
        raise Failure(f'Write results shows {results}')
    print('ok edit: 70000 refused by the check (%s); SPEED=200 and NAME written (%s), read back'
          % (note.split('New value', 1)[0].strip(), results))

    # A parameter the device refuses to write shows the device's text.
    param_row(page, 'SYSTEM.PRODUCTION.MAC_ADDR').find_element(By.XPATH, './td[2]').click()
    box = page.one('textbox', 'New value of SYSTEM.PRODUCTION.MAC_ADDR')
    box.send_keys(Keys.CONTROL, 'a')
    box.send_keys('02:00:00:00:10:99', Keys.ENTER)
    wait_for('MAC_ADDR to wait for Apply', lambda: 'Apply writes it' in param_row(page, 'SYSTEM.PRODUCTION.MAC_ADDR').text)
    page.one('button', 'Apply').click()
    page.one('button', 'Write').click()
    refused = wait_for('the refusal', lambda: 'refused' in page.error_text() and page.error_text(), 20)
    told = [cell_texts(r) for r in table_rows(page, 'Write results')]
    if len(told) != 1 or told[0][:2] != ['SYSTEM.PRODUCTION.MAC_ADDR', 'refused'] or not told[0][2]:
        raise Failure(f'Write results of the refused write: {told}')
    row_text = param_row(page, 'SYSTEM.PRODUCTION.MAC_ADDR').text
    if 'Write refused:' not in row_text or param_value(page, 'SYSTEM.PRODUCTION.MAC_ADDR').split()[0] != LR:
        raise Failure(f'refused row shows {row_text!r}')
    print('ok refused write:', refused)

    # Factory reset, behind a confirmation that names the device; the table comes back.
    page.one('button', 'Factory reset').click()
    page.one('dialog', f'Factory reset {LR}?')
    page.one('button', f'Reset {LR}').click()
    wait_for('the reset', lambda: 'reset to its factory values' in page.status_text(), 20)
    # What was read before the reset is marked as not read since.
    if 'stale' not in param_row(page, 'SYSTEM.GENERAL.NAME').get_attribute('class'):
        raise Failure('values read before the factory reset are not marked stale')
    page.shot('web-device-stale.png')
    read_all(page)
    wait_for('the factory values', lambda: param_value(page, 'SYSTEM.GENERAL.NAME') == 'living room'
             and param_value(page, 'SYSTEM.GENERAL.SPEED') == '100', 20)
    print('ok factory reset: confirmed by name, NAME and SPEED read back as in the factory table')

    # A legacy device is read over SCP; its uptime counter moves between two reads.
    open_device(page, OLD)
    if page.one('combobox', 'Protocol').get_attribute('value') != 'scp':
        raise Failure('an SCP device opens with the LCMP protocol chosen')
    read_all(page, PASSWORD)
    first = int(wait_for('the SCP parameters', lambda: param_value(page, 'SYSTEM.INFO.UPTIME'), 20))

    def uptime_moved():  # reads again until the counter (one per second) has moved on
        now = int(param_value(page, 'SYSTEM.INFO.UPTIME'))
        if now > first:
            return now
        button = page.one('button', 'Read all')
        if button.is_enabled():
            button.click()
        return None
    later = wait_for('a later uptime', uptime_moved, 20, 0.5)
    if param_value(page, 'SYSTEM.GENERAL.NAME') != 'cellar' or first < 1000:
        raise Failure(f'SCP device read as {param_row(page, "SYSTEM.GENERAL.NAME").text!r}, uptime {first}')
    print(f'ok SCP read: NAME cellar, UPTIME {first} -> {later}')

    # SCP gives no types: a value is free text, listed as written as typed, and written.
    param_row(page, 'SYSTEM.GENERAL.NAME').find_element(By.XPATH, './td[2]').click()
    box = page.one('textbox', 'New value of SYSTEM.GENERAL.NAME')
    box.send_keys(Keys.CONTROL, 'a')
    box.send_keys('cellar door', Keys.ENTER)
    wait_for('the SCP NAME to wait for Apply', lambda: 'Apply writes it' in param_row(page, 'SYSTEM.GENERAL.NAME').text)
    page.one('button', 'Apply').click()
    listed = page.one('table', 'Changes').text
    if 'cellar door (as written: no type to check)' not in listed:
        raise Failure(f'the SCP confirmation lists {listed!r}')
    page.one('button', 'Write').click()
    wait_for('the SCP write', lambda: 'Wrote 1 value' in page.status_text(), 20)
    wait_for('the SCP value read back', lambda: param_value(page, 'SYSTEM.GENERAL.NAME') == 'cellar door', 20)
    told = [cell_texts(r)[:2] for r in table_rows(page, 'Write results')]
    if told != [['SYSTEM.GENERAL.NAME', 'written']]:
        raise Failure(f'Write results of the SCP write: {told}')
    print('ok SCP write: free text, confirmed as written, read back')

    # A wrong password: the service's reason, and the password is asked again.
    open_device(page, KT)
    read_all(page, 'not-the-password')
    msg = wait_for('the failure of the read', page.error_text, 30)
    if 'password' not in msg.lower() or KT not in msg:
        raise Failure(f'wrong password shows {msg!r}')
    # One sentence: the request named once, the advice given once.
    if msg.count('failed') != 1 or msg.lower().count('check the') != 1:
        raise Failure(f'wrong password message repeats itself: {msg!r}')
    page.shot('web-wrong-password.png')
    read_all(page)
    give_password(page, 'kitchen-only')
    wait_for('the kitchen parameters', lambda: param_value(page, 'SYSTEM.GENERAL.NAME') == 'kitchen', 20)
    print('ok wrong password:', msg)

    # Upgrade two devices ticked in the Devices table with one image, one after another.
    image = os.path.join(bed.tmp, 'image.bin')
    with open(image, 'wb') as f:
        # 1024 data frames, each acknowledged 3 ms late: every transfer lasts over 3 s, a dozen
        # of kivo-web's status polls, however fast the machine.
        f.write(os.urandom(1 << 20))
    d.get(bed.base + '/#devices')
    for mac in (LR, KT):
        page.one('checkbox', f'Select {mac} for the firmware queue').click()
    page.one('button', 'Firmware for selected devices').click()
    page.one('button', 'Upgrade')
    d.find_element(By.XPATH, '//input[@type="file" and @id=//label[.="Firmware image"]/@for]').send_keys(image)
    bar = page.one('progressbar', 'Firmware transfer')
    # Every value the bar is given, as the page sets it (polling could miss a fast transfer).
    d.execute_script('window.barSeen = new Set(); new MutationObserver(() => {'
                     ' const b = arguments[0]; if (b.value > 0 && b.value < b.max) barSeen.add(b.value / b.max); })'
                     '.observe(arguments[0], {attributes: true});', bar)
    page.one('button', 'Upgrade').click()
    page.one('dialog', 'Upgrade 2 devices with image.bin?')
    page.one('button', 'Start the upgrade').click()
    seen = set()

    def queue_done():
        v, m = float(bar.get_attribute('value')), float(bar.get_attribute('max'))
        if 0 < v < m:
            if not seen:
                page.shot('web-firmware-progress.png')
            seen.add(round(v / m, 2))
        rows = table_rows(page, 'Firmware queue')
        return len(rows) == 2 and all(cell_texts(r)[2] not in ('Waiting', 'Starting', 'Transferring') for r in rows) \
            and rows
    rows = wait_for('both upgrades to end', queue_done, 90, 0.05)
    page.shot('web-firmware.png')
    results = {cell_texts(r)[0]: cell_texts(r)[2] for r in rows}
    with open(image, 'rb') as f:
        sent = f.read()
    for mac, saved in ((LR, 'lr-image.bin'), (KT, 'kt-image.bin')):
        if results[mac].startswith('Failed') or results[mac].startswith('Not started'):
            raise Failure(f'upgrade of {mac}: {results[mac]}')
        if bed.read_bytes(saved) != sent:
            raise Failure(f'{mac} did not receive the image')
    seen |= set(round(f, 2) for f in d.execute_script('return [...barSeen];'))
    if not seen or bar.get_attribute('value') != bar.get_attribute('max'):
        raise Failure(f'the progress bar did not move through the transfer to its end (fractions seen: '
                      f'{sorted(seen)}, at the end {bar.get_attribute("value")} of {bar.get_attribute("max")})')
    state_text = page.description(bar)
    print(f'ok upgrade queue: {results}; bar seen at {len(seen)} fractions; final state "{state_text}"')

    # Stop: the first device never acknowledges the first data frame; the end stays shown with
    # its reason, and the queue starts no further device.
    d.get(bed.base + '/#devices')
    for mac in (LR, KT):
        page.one('checkbox', f'Select {mac} for the firmware queue').click()
    page.one('checkbox', f'Select {SLOW} for the firmware queue').click()
    page.one('checkbox', f'Select {OLD} for the firmware queue').click()
    d.get(bed.base + '/#firmware')
    page.one('button', 'Upgrade').click()
    page.one('button', 'Start the upgrade').click()
    stop = page.one('button', 'Stop')
    wait_for('the transfer to start', lambda: table_rows(page, 'Firmware queue')
             and cell_texts(table_rows(page, 'Firmware queue')[0])[2] == 'Transferring', 20)
    stop.click()
    result = wait_for('the stopped transfer', lambda: cell_texts(table_rows(page, 'Firmware queue')[0])[2]
                      if cell_texts(table_rows(page, 'Firmware queue')[0])[2] != 'Transferring' else None, 30)
    shown = page.description(page.one('progressbar', 'Firmware transfer'))
    if not result.startswith('Failed') or 'The transfer failed' not in shown:
        raise Failure(f'stopped transfer shows {result!r}, progress bar described as {shown!r}')
    rest = wait_for('the queue to end', lambda: page.one('button', 'Upgrade').is_enabled()
                    and cell_texts(table_rows(page, 'Firmware queue')[1])[2], 20)
    if rest != 'Not started: the queue was stopped':
        raise Failure(f'the device after the stopped one shows {rest!r}')
    page.shot('web-firmware-stopped.png')
    print(f'ok stop: "{result}"; shown under the bar: "{shown}"; next in the queue: "{rest}"')

    # Ethernet boot: a loader, then a chunked image (header, magic word, one chunk whose info
    # word counts its own two words, entry point) to the device in its boot ROM on kv1.
    loader, chunk = os.urandom(3000), os.urandom(64 << 10)
    chunked = (bytes(68) + b'\xaa\x55\xaa\x55' + bytes(8) + (len(chunk) // 4 + 2).to_bytes(4, 'little')
               + b'\x00\x00\x10\x00' + chunk + bytes(4) + b'\xe0\xe1\xe2\xe3')
    for name, data in (('loader.bin', loader), ('chunked.bin', chunked)):
        with open(os.path.join(bed.tmp, name), 'wb') as f:
            f.write(data)
    d.get(bed.base + '/#firmware')
    d.find_element(By.XPATH, '//input[@type="file" and @id=//label[starts-with(., "Loader")]/@for]').send_keys(
        os.path.join(bed.tmp, 'loader.bin'))
    d.find_element(By.XPATH, '//input[@type="file" and @id=//label[.="Firmware image"]/@for]').send_keys(
        os.path.join(bed.tmp, 'chunked.bin'))
    Select(page.one('combobox', 'Interface (named MAC or Ethernet boot)')).select_by_value('kv1')
    page.one('button', 'Ethernet boot').click()
    booted = wait_for('the Ethernet boot to end', lambda: (lambda r: r[0] == 'Ethernet boot' and r[2] not in (
        'Starting', 'Transferring') and r[2])(cell_texts(table_rows(page, 'Firmware queue')[0])), 60)
    if booted.startswith('Failed') or bed.read_bytes('rom-loader.bin') != loader \
            or chunk not in (bed.read_bytes('rom-firmware.bin') or b''):
        raise Failure(f'Ethernet boot shows {booted!r}; the device has the loader: '
                      f'{bed.read_bytes("rom-loader.bin") == loader}')
    shown = page.one('progressbar', 'Firmware transfer').get_attribute('aria-valuetext')
    figures = d.find_element(By.ID, 'fw-bytes').text
    if 'image 64.1 KiB' not in figures or 'loader 2.9 KiB' not in figures:
        raise Failure(f'Ethernet boot figures {figures!r} do not tell the files\' sizes')
    if page.one('button', 'Stop').is_enabled():
        raise Failure('Stop is enabled after the Ethernet boot ended')
    print(f'ok Ethernet boot on kv1: "{booted}"; the device holds the loader and the chunk; "{figures}" ({shown})')

    check_named_mac(bed, page, image)
    check_elsewhere(bed, page, image)

    # Watch: a counter of the simulator read every few seconds and plotted.
    open_device(page, LR)
    read_all(page)
    wait_for('the parameters', lambda: param_value(page, 'ETHERNET.PORT0.RX_BYTES'), 20)
    d.get(bed.base + '/#watch')
    names = page.one('listbox', 'Numeric parameters')
    names.find_element(By.XPATH, './option[@value="ETHERNET.PORT0.RX_BYTES"]').click()
    page.one('button', 'Start watching').click()
    values = []

    def two_reads():
        rows = table_rows(page, 'Latest values')
        if rows:
            v = cell_texts(rows[0])[1]
            if not values or values[-1] != v:
                values.append(v)
        return len(values) >= 2
    wait_for('two different readings of RX_BYTES', two_reads, 20)
    if not int(values[1]) > int(values[0]):
        raise Failure(f'RX_BYTES did not grow: {values}')
    # Chromium names the role "image" since ARIA 1.3, "img" before.
    if not (page.find_all('image', 'Plot of the watched parameters')
            or page.find_all('img', 'Plot of the watched parameters')):
        raise Failure('no plot: ' + d.find_element(By.ID, 'plot-note').text)
    page.shot('web-watch.png')
    page.one('button', 'Stop watching').click()
    print('ok watch: RX_BYTES', ' -> '.join(values))


def api(bed, path, body):
    """A front-end of its own: kivo-web's API as a script would use it."""
    import urllib.error
    import urllib.request
    req = urllib.request.Request(bed.base + path, data=json.dumps(body).encode(), method='POST',
                                 headers={'Authorization': f'Bearer {bed.token}', 'Content-Type': 'application/json'})
    try:
        with urllib.request.urlopen(req, timeout=60) as r:
            return r.status, json.loads(r.read())
    except urllib.error.HTTPError as e:
        return e.code, json.loads(e.read())


def check_named_mac(bed, page, image):
    """Upgrade a device named by its MAC; a group address is refused up front."""
    d = page.driver
    d.get(bed.base + '/#firmware')
    mac = page.one('textbox', 'Device MAC (a device not in the Devices table)')
    mac.send_keys('ff:ff:ff:ff:ff:ff')
    page.one('button', 'Upgrade').click()
    refusal = wait_for('the refusal of a broadcast address', page.error_text, 10)
    if 'group (broadcast or multicast)' not in refusal or page.find_all('dialog', 'Upgrade ff:ff:ff:ff:ff:ff with image.bin?'):
        raise Failure(f'broadcast address as a device: {refusal!r}')
    status, reply = api(bed, '/api/firmware/upgrade', {'interface': 'kv0', 'mac': 'ff:ff:ff:ff:ff:ff', 'path': image})
    if status != 400 or 'group (broadcast or multicast)' not in reply['error']['message']:
        raise Failure(f'the API takes a broadcast address: {status} {reply}')
    mac.send_keys(Keys.CONTROL, 'a')
    mac.send_keys(GARAGE)
    Select(page.one('combobox', 'Interface (named MAC or Ethernet boot)')).select_by_value('kv0')
    d.find_element(By.XPATH, '//input[@type="file" and @id=//label[.="Firmware image"]/@for]').send_keys(image)
    page.one('button', 'Upgrade').click()
    page.one('dialog', f'Upgrade {GARAGE} with image.bin?')
    page.one('button', 'Start the upgrade').click()
    result = wait_for('the upgrade by MAC', lambda: (lambda r: r and cell_texts(r[0])[0] == GARAGE and cell_texts(r[0])[2]
                      not in ('Waiting', 'Starting', 'Transferring') and cell_texts(r[0])[2])(
                          table_rows(page, 'Firmware queue')), 60)
    with open(image, 'rb') as f:
        sent = f.read()
    if result.startswith('Failed') or result.startswith('Not started') or bed.read_bytes('garage-image.bin') != sent:
        raise Failure(f'upgrade of {GARAGE} named by MAC: {result}')
    mac.send_keys(Keys.CONTROL, 'a', Keys.BACKSPACE)
    print(f'ok upgrade by MAC: ff:ff:ff:ff:ff:ff refused ("{refusal}"); {GARAGE}, never discovered: {result}')


def kivoctl(bed, *argv):
    """kivoctl of the same build (next to kivohost's build folder), against the test's kivohost."""
    binary = os.path.join(os.path.dirname(bed.args.kivohost), 'tools', 'kivoctl', 'kivoctl')
    if not os.access(binary, os.X_OK):
        raise Failure(f'{binary} is not built: build the kivoctl target')
    return subprocess.run([binary, '--port', str(bed.service_port), *argv], capture_output=True, text=True,
                          timeout=60)


def check_elsewhere(bed, page, image):
    """A transfer kivoctl starts is shown with its own bar and its own Stop, which ends it;
    the block of the latest transfer follows it too."""
    d = page.driver
    d.get(bed.base + '/#firmware')
    stop = page.one('button', 'Stop')
    if stop.is_enabled():
        raise Failure('Stop is enabled with no transfer running')
    started = kivoctl(bed, 'fw', 'upgrade', '-i', 'kv0', '-m', SLOW, image)
    if started.returncode != 0:
        raise Failure(f'kivoctl fw upgrade did not start: {started.returncode} {started.stdout} {started.stderr}')
    title = d.find_element(By.CSS_SELECTOR, '#fw-transfers .fw-title')
    wait_for('the page to show the transfer started elsewhere',
             lambda: 'started elsewhere' in title.text and stop.is_enabled(), 20)
    bar = page.one('progressbar', f'Firmware transfer {SLOW}')
    own_stop = page.one('button', f'Stop the transfer to {SLOW}')
    wait_for('its own Stop to be enabled', own_stop.is_enabled, 20)
    # Each other device's newest transfer keeps its block, with its Stop disabled.
    lr_stop = page.one('button', f'Stop the transfer to {LR}')
    if lr_stop.is_enabled():
        raise Failure(f'the Stop of {LR}\'s finished transfer is enabled')
    page.shot('web-firmware-elsewhere.png')
    d.execute_script('arguments[0].scrollIntoView({block: "center"})', bar)
    page.shot('web-firmware-each-transfer.png')
    shown = title.text
    own_stop.send_keys(Keys.ENTER)  # by keyboard
    wait_for('the stop', lambda: 'failed' in page.description(bar) and not own_stop.is_enabled(), 30)
    wait_for('the latest transfer\'s block to follow', lambda: 'The transfer failed' in
             page.description(page.one('progressbar', 'Firmware transfer')) and not stop.is_enabled(), 30)
    print(f'ok transfer started with kivoctl: shown as "{shown}" and with its own bar, stopped by its own Stop')


VIEWS = ('devices', 'device', 'firmware', 'watch')


def check_widths(bed, page):
    """Every view at 1366 px and at a phone's 390 px: screenshots, and nothing wider than the screen."""
    d = page.driver
    for width in (1366, 390):
        page.cdp('Emulation.setDeviceMetricsOverride',
                 {'width': width, 'height': 900, 'deviceScaleFactor': 1, 'mobile': width < 600})
        for view in VIEWS:
            d.get(f'{bed.base}/#{view}')
            wait_for(f'the {view} view', lambda: d.find_element(By.ID, f'view-{view}').is_displayed())
            wide = d.execute_script('return document.scrollingElement.scrollWidth')
            page.shot(f'web-{view}-{width}.png')
            if width == 390 and wide > 390:
                raise Failure(f'the {view} view is {wide} px wide at 390 px')
    # At 390 px: the write confirmation shows its New column; a long error wraps.
    d.get(f'{bed.base}/#devices')
    open_device(page, LR)
    read_all(page)
    # The read's end redraws the table: wait for it, and take the row afresh for the click.
    wait_for('the read to end', lambda: page.one('button', 'Read all').is_enabled()
             and param_value(page, 'SYSTEM.GENERAL.NAME'), 20)

    def edit_name():
        param_row(page, 'SYSTEM.GENERAL.NAME').find_element(By.XPATH, './td[2]').click()
        return page.one('textbox', 'New value of SYSTEM.GENERAL.NAME')
    box = wait_for('the editor of NAME', edit_name, 20)
    box.send_keys(Keys.CONTROL, 'a')
    box.send_keys('a-rather-long-device-name-without-any-space-in-it-at-all', Keys.ENTER)
    wait_for('NAME to wait for Apply', lambda: 'Apply writes it' in param_row(page, 'SYSTEM.GENERAL.NAME').text)
    page.one('button', 'Apply').click()
    new = [h for h in page.one('table', 'Changes').find_elements(By.XPATH, './/th') if h.text == 'New'][0]
    right = d.execute_script('return arguments[0].getBoundingClientRect().right', new)
    page.shot('web-write-confirm-390.png')
    if right > 390:
        raise Failure(f'the New column of the write confirmation ends at {right} px of 390')
    page.one('button', 'Cancel').click()
    d.get(f'{bed.base}/#firmware')
    mac = page.one('textbox', 'Device MAC (a device not in the Devices table)')
    mac.send_keys('x' * 300)
    page.one('button', 'Upgrade').click()
    wait_for('the long error', page.error_text, 10)
    wide = d.execute_script('return document.scrollingElement.scrollWidth')
    page.shot('web-long-error-390.png')
    if wide > 390:
        raise Failure(f'a long error widens the page to {wide} px')
    page.cdp('Emulation.clearDeviceMetricsOverride')
    print('ok widths: every view at 1366 and 390 px (screenshots), none wider than 390 px; '
          'the write confirmation and a long error fit')


def check_token_page(bed, page):
    d = page.driver
    d.get(f'{bed.base}/?token=not-the-token-0123456789')
    text = d.find_element(By.TAG_NAME, 'body').text
    if 'old or wrong access token' not in text or text.lstrip().startswith('{'):
        raise Failure(f'a wrong token shows {text[:200]!r}')
    page.shot('web-wrong-token.png')
    print('ok wrong token: a page that says what to do')


def check_service_down(bed, page):
    """kivohost ends: the open page's header says so by itself, with how to start it."""
    d = page.driver
    d.get(f'{bed.base}/#devices')
    header = d.find_element(By.ID, 'service-state')
    wait_for('the header to show kivohost up', lambda: header.text.endswith(' up'), 15)
    kivohost = [p for name, p in bed.procs if name == 'kivohost'][0]
    kivohost.terminate()
    kivohost.wait(15)
    said = wait_for('the header to say kivohost does not answer',
                    lambda: 'does not answer' in header.text and header.text, 20)
    if 'systemctl start kivohost.socket' not in said or '--service-port' in said:
        raise Failure(f'header with kivohost gone: {said!r}')
    page.shot('web-service-down.png')
    print(f'ok kivohost gone: the header says "{said}"')


def check_console(page):
    bad = [e for e in page.collect_console() if e.get('level') == 'SEVERE'
           and '/api/' not in e.get('message', '')]
    if bad:
        raise Failure('browser console errors (CSP, script): ' + '; '.join(e['message'] for e in bad))
    print('ok console: no script or Content-Security-Policy error')


def run_axe(page, view, show=True):
    result = page.driver.execute_async_script(
        'const done = arguments[arguments.length - 1];'
        'axe.run(document, {resultTypes: ["violations"]}).then(r => done(JSON.stringify(r.violations)),'
        ' e => done(JSON.stringify({error: String(e)})));')
    violations = json.loads(result)
    if isinstance(violations, dict):
        raise Failure(f'axe-core did not run on the {view} view: {violations["error"]}')
    bad = [v for v in violations if v.get('impact') in ('serious', 'critical')]
    for v in violations if show else ():
        print(f'  {view}: {v["impact"]} {v["id"]}: {v["help"]} ({len(v["nodes"])} nodes)')
    return bad


def check_axe(bed, page, out):
    path = page.axe
    if not os.path.exists(path):
        print('SKIPPED: axe-core is not available (npm missing, or the npm registry unreachable); '
              'the accessibility check did not run')
        return SKIP
    with open(path) as f:
        axe = f.read()
    d = page.driver
    d.get(f'{bed.base}/?token={bed.token}')
    page.one('table', 'Devices')
    discover(page)
    bad = []
    views = []

    def check(view):
        d.execute_script(axe)
        bad.extend(run_axe(page, view))
        views.append(view)
    # The check itself must see a fault: an input without a name is a critical one.
    d.execute_script(axe)
    d.execute_script('const i = document.createElement("input"); i.id = "axe-probe"; document.querySelector("main").append(i);')
    if not any(v['id'] == 'label' for v in run_axe(page, 'Devices with an unnamed input', show=False)):
        raise Failure('axe-core did not report an input without a label: the check is not working')
    print('ok axe-core sees the unnamed input planted to prove the check works')
    d.execute_script('document.getElementById("axe-probe").remove();')
    check('Devices')
    open_device(page, LR)
    read_all(page, PASSWORD)
    wait_for('the parameters', lambda: param_value(page, 'SYSTEM.GENERAL.NAME'), 20)
    param_row(page, 'SYSTEM.GENERAL.SPEED').find_element(By.XPATH, './td[2]').click()
    page.one('textbox', 'New value of SYSTEM.GENERAL.SPEED')
    check('Device (editing)')
    page.one('button', 'Factory reset').click()
    page.one('dialog', f'Factory reset {LR}?')
    check('Factory reset dialog')
    page.one('button', 'Cancel').click()
    d.get(bed.base + '/#firmware')
    page.one('progressbar', 'Firmware transfer')
    check('Firmware')
    d.get(bed.base + '/#watch')
    page.one('listbox', 'Numeric parameters')
    check('Watch')
    if bad:
        raise Failure('axe-core reports serious or critical violations: ' +
                      '; '.join(f'{v["id"]} ({v["help"]})' for v in bad))
    print(f'ok axe-core: no serious or critical violation in {", ".join(views)}')
    return 0


def figures(bed, page):
    d = page.driver
    d.get(f'{bed.base}/?token={bed.token}')  # sets the cookie; the measured load is the next one
    page.one('table', 'Devices')
    d.execute_cdp_cmd('Network.enable', {})
    d.execute_cdp_cmd('Network.setCacheDisabled', {'cacheDisabled': True})
    d.get(bed.base + '/')
    wait_for('the page to be ready', lambda: page.measure('kivo-devices-shown') is not None)
    load = d.execute_script("""
        const nav = performance.getEntriesByType('navigation')[0];
        const res = performance.getEntriesByType('resource').filter(r => !r.name.includes('/api/events'));
        return {html: nav.transferSize, files: res.map(r => [r.name, r.transferSize])};""")
    load['ready'] = page.measure('kivo-devices-shown')
    total = load['html'] + sum(s for _, s in load['files'])
    print(f'first load: {total} bytes transferred in {1 + len(load["files"])} responses '
          f'(page {load["html"]} B; ' + ', '.join(f'{n.split("/", 3)[-1]} {s} B' for n, s in load['files']) + ')')
    print(f'first load: Devices table filled {load["ready"]:.0f} ms after navigation start')

    discover(page)
    open_device(page, BIG)
    read_all(page, PASSWORD)
    wait_for('1000 parameters', lambda: '1000 parameters.' in param_count(page), 60)
    render = [page.measure('kivo-read-all'), page.measure('kivo-params-table'), page.measure('kivo-params-script')]
    page.one('textbox', 'Filter').send_keys('VALUE0500')
    wait_for('the filter', lambda: '1 of 1000' in param_count(page), 10)
    filt = wait_for('the filter figure', lambda: page.measure('kivo-filter'), 10)
    print(f'1000 parameters: Read all to a filterable table {render[0]:.0f} ms, of which the page built '
          f'and drew the table in {render[1]:.0f} ms of browser time ({render[2]:.0f} ms of script, the rest '
          f'style, layout and paint; the remainder of the Read all is kivo-web, kivohost and '
          f'the device); one key in the filter redraws it in {filt:.0f} ms')
    page.one('textbox', 'Filter').send_keys(Keys.CONTROL, 'a', Keys.BACKSPACE)
    page.one('button', 'Expand all').click()
    expand = wait_for('Expand all', lambda: page.measure('kivo-expand-all'), 10)
    print(f'1000 parameters: the table starts with its 5 top groups folded; Expand all draws all 1000 rows '
          f'in {expand:.0f} ms')
    page.shot('web-1000-parameters.png')

    # The plot library comes with the first plot, not with the page.
    d.get(bed.base + '/#watch')
    page.one('listbox', 'Numeric parameters').find_element(By.XPATH, './option[1]').click()
    page.one('button', 'Start watching').click()
    chart = wait_for('the plot library', lambda: d.execute_script(
        "const r = performance.getEntriesByType('resource').filter(e => e.name.endsWith('chart.min.js'));"
        "return r.length ? [r[0].transferSize, r[0].decodedBodySize] : null;"), 20)
    print(f'plot library, loaded by the first plot of the Watch view: chart.min.js {chart[0]} bytes '
          f'transferred ({chart[1]} bytes decoded)')


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--devsim', required=True)
    ap.add_argument('--kivohost', required=True)
    ap.add_argument('--web', required=True)
    ap.add_argument('--axe', default='')
    ap.add_argument('--out', required=True)
    ap.add_argument('--dev-ns', required=True)
    ap.add_argument('--mode', choices=('page', 'axe', 'figures'), required=True)
    args = ap.parse_args()
    args.out = os.path.abspath(args.out)
    os.makedirs(args.out, exist_ok=True)
    stale = os.path.join(args.out, f'failure-{args.mode}.png')
    if os.path.exists(stale):
        os.remove(stale)
    for binary in (args.devsim, args.kivohost, args.web):
        if not os.access(binary, os.X_OK):
            print(f'FAILED: {binary} is not built')
            return 1
    config = DEVICES + (big_device() if args.mode == 'figures' else '')
    bed = page = None
    status = 1
    try:
        bed = Bed(args, config)
        page = Page(args.out)
        page.axe = args.axe
        if args.mode == 'page':
            check_user_paths(bed, page, args.out)
            check_widths(bed, page)
            check_console(page)
            check_token_page(bed, page)
            check_service_down(bed, page)
            status = 0
        elif args.mode == 'axe':
            status = check_axe(bed, page, args.out)
        else:
            figures(bed, page)
            status = 0
    except (Failure, WebDriverException) as e:
        print(f'FAILED: {e}')
        if page:
            try:
                print('page error line:', page.error_text() or '(none)', '| status line:', page.status_text())
                print('screenshot:', page.shot(f'failure-{args.mode}.png'))
            except WebDriverException:
                pass
        if bed:
            print('kivo-web log:', bed.read(bed.web_log)[-2000:])
    finally:
        if page:
            page.close()
        if bed:
            bed.close()
    print('artefacts (screenshots, logs):', args.out)
    return status


if __name__ == '__main__':
    sys.exit(main())
