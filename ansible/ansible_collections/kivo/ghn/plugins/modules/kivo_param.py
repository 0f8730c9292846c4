#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: kivo developers
# Terms of use: as for the kivo package (see LICENSE)

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: kivo_param
short_description: Set parameters of a G.hn device, writing only those that differ
description:
  - Reads the named parameters of one device through C(kivoctl get), compares each with the wanted value
    and writes only those that differ, in one C(kivoctl set).
  - The comparison is made against the device's own rendering of each value (as C(kivoctl get) shows
    it). After a write the parameters are read again, and the values reported are the device's, not the
    ones given.
  - A value the device stores under another rendering (C(192.168.001.010) read back as C(192.168.1.10),
    C(1, 100) as C(1,100)) is learned from that read; the module remembers on the managed host how the
    device rendered the value it was given (C(renderings_file)), and later runs compare the device's
    value with that rendering, so that they write nothing. No rendering is ever guessed from the text.
  - The task reports a change only when a parameter was written and the device's value differs
    afterwards; a value already set, in a spelling the module had not seen yet, is written once and
    reported unchanged.
  - A parameter the device refuses, on the read or on the write, fails the task with the device's text.
version_added: "1.0.0"
author:
  - kivo developers
extends_documentation_fragment:
  - kivo.ghn.kivoctl
  - kivo.ghn.kivoctl.device
options:
  params:
    description:
      - Parameter names and their wanted values, written as C(kivoctl get) shows them.
      - Numbers may be given as numbers; a list is written comma-separated (C([1, 100, 200]) is
        C(1,100,200)).
      - Booleans are refused, since YAML turns an unquoted C(yes) or C(no) into one; write C('YES') or
        C('NO') quoted, as the device shows them.
    type: dict
    required: true
  renderings_file:
    description:
      - File on the managed host in which the module remembers how each device rendered a value it was
        given in another spelling, per device, protocol and parameter.
      - An empty string remembers nothing; such values are then written on every run (and reported as
        unchanged when the device's value stays the same).
    type: path
    default: ~/.ansible/kivo_ghn_renderings.json
attributes:
  check_mode:
    support: full
    description: Reads the device and reports what would be written; writes nothing.
  diff_mode:
    support: full
    description: Shows each differing parameter's value before and after.
notes:
  - Supports C(check_mode) and C(diff_mode).
"""

EXAMPLES = r"""
- name: Name the adapter and set its VLANs
  kivo.ghn.kivo_param:
    interface: eth1
    mac: "02:00:00:00:10:01"
    password: "{{ vault_kivo_password }}"
    params:
      SYSTEM.GENERAL.DEVICE_NAME: living room
      SYSTEM.GENERAL.LED_ENABLE: "NO"
      NETWORK.VLAN.IDS: [1, 100, 300]
      NETWORK.IP.ADDRESS: 192.168.1.60

- name: A legacy device over SCP
  kivo.ghn.kivo_param:
    interface: eth1
    mac: "02:00:00:00:20:01"
    protocol: scp
    password: "{{ vault_kivo_legacy_password }}"
    params:
      NETWORK.PORT: 8080
"""

RETURN = r"""
parameters:
  description: Per parameter of C(params), the device's value before the task and after it (both the
    device's rendering; in check mode C(after) is the value that would be written), whether it was
    written and whether the device's value changed.
  returned: success
  type: dict
  sample:
    SYSTEM.GENERAL.DEVICE_NAME:
      before: living room
      after: office
      written: true
      changed: true
written:
  description: Names of the parameters written (in check mode, that would be written), in name order.
  returned: success
  type: list
  elements: str
  sample: [SYSTEM.GENERAL.DEVICE_NAME]
refused:
  description: On failure, the names the device refused and its text for each.
  returned: when the device refused a parameter
  type: dict
  sample:
    SYSTEM.PRODUCTION.MAC_ADDR: "ERROR -55: without the necessary permits"
kivoctl:
  description: kivoctl's error document (C(kind), C(message), C(exit_code), C(reason), C(hint), ...).
  returned: failure
  type: dict
"""

import json
import os
import tempfile

from ansible.module_utils.basic import AnsibleModule
from ansible.module_utils.six import string_types, integer_types

from ansible_collections.kivo.ghn.plugins.module_utils.kivoctl import (
    Kivoctl,
    argument_spec,
    check_common,
    parameter_records,
    refused_text,
)


def wanted_text(module, name, value):
    """The text to write for a value given in the playbook."""
    if isinstance(value, bool) or value is None:
        module.fail_json(msg="the value of %s is %s, not text: quote it as the device shows it "
                             "(for example 'YES' or 'NO'), since YAML reads unquoted yes/no/on/off/null "
                             "as booleans or nothing" % (name, "empty" if value is None else "a boolean"))
    if isinstance(value, (list, tuple)):
        parts = []
        for v in value:
            if isinstance(v, bool) or not isinstance(v, string_types + integer_types + (float,)):
                module.fail_json(msg="the list for %s holds %r: give numbers or text only" % (name, v))
            parts.append(str(v))
        return ",".join(parts)
    if isinstance(value, string_types + integer_types + (float,)):
        return str(value)
    module.fail_json(msg="the value of %s is a %s: give text, a number or a list" % (name, type(value).__name__))


def check_name(module, name):
    # A name starting with '-' would be read by kivoctl as an option, and '=' ends a name in NAME=VALUE.
    if not isinstance(name, string_types) or not name or name.startswith("-") or "=" in name \
            or any(c.isspace() or ord(c) < 0x20 for c in name):
        module.fail_json(msg="%r is not a parameter name: names are like SYSTEM.GENERAL.DEVICE_NAME, "
                             "without blanks or '=' (see kivoctl getall)" % (name,))


def read(module, ctl, names, what):
    rc, doc, err = ctl.run(["get"], list(names))
    if rc == 4:
        refused = refused_text(doc)
        module.fail_json(
            msg="%s: the device refused %s; check the names with 'kivoctl getall'"
                % (what, "; ".join("%s: %s" % kv for kv in sorted(refused.items())) or "a parameter"),
            refused=refused, rc=rc)
    if rc != 0:
        ctl.fail(what, rc, doc, err)
    values = dict((r["name"], r["value"]) for r in parameter_records(doc) if r.get("refused") is not True)
    missing = [n for n in names if n not in values]
    if missing:
        module.fail_json(msg="%s: the device did not answer for %s; check the names with 'kivoctl getall'"
                             % (what, ", ".join(missing)))
    return values


class Renderings(object):
    """How devices rendered values given in another spelling, remembered on the managed host.

    Only a read after a write tells how a device renders a value; the file keeps what those
    reads showed, so that the next run compares like with like and writes nothing. It is a
    cache: a file that cannot be read or is not shaped as written here is started afresh.
    """

    def __init__(self, module, key):
        self.module = module
        self.key = key
        path = module.params["renderings_file"]
        self.path = path or None
        self.all = {}
        if self.path and os.path.exists(self.path):
            try:
                with open(self.path) as f:
                    data = json.load(f)
                if isinstance(data, dict):
                    self.all = data
            except (IOError, OSError, ValueError) as e:
                module.warn("the renderings file %s cannot be read (%s); it is started afresh" % (self.path, e))
        mine = self.all.get(key)
        self.device = mine if isinstance(mine, dict) else {}

    def of(self, name, wanted):
        """The device's rendering of the wanted text, or the text itself when none is known."""
        known = self.device.get(name)
        if isinstance(known, dict) and isinstance(known.get(wanted), string_types):
            return known[wanted]
        return wanted

    def learn(self, name, wanted, shown):
        known = self.device.get(name)
        if not isinstance(known, dict):
            known = {}
        # One spelling per parameter is enough for a playbook; keep a few for playbooks that alternate.
        while len(known) >= 8:
            known.pop(sorted(known)[0])
        known[wanted] = shown
        self.device[name] = known

    def save(self):
        if not self.path:
            return
        self.all[self.key] = self.device
        folder = os.path.dirname(self.path) or "."
        try:
            if not os.path.isdir(folder):
                os.makedirs(folder, 0o700)
            fd, tmp = tempfile.mkstemp(dir=folder, prefix=".kivo_ghn_renderings.")
            with os.fdopen(fd, "w") as f:
                json.dump(self.all, f, indent=1, sort_keys=True)
            os.rename(tmp, self.path)
        except (IOError, OSError) as e:
            self.module.warn("cannot remember the device's renderings in %s (%s): values in another spelling "
                             "are written again on the next run; check renderings_file" % (self.path, e))


def main():
    module = AnsibleModule(
        argument_spec=argument_spec(
            params=dict(type="dict", required=True),
            renderings_file=dict(type="path", default="~/.ansible/kivo_ghn_renderings.json"),
        ),
        supports_check_mode=True,
    )
    check_common(module)
    p = module.params
    if not p["params"]:
        module.fail_json(msg="params is empty: name at least one parameter and its value")
    wanted = {}
    for name, value in p["params"].items():
        check_name(module, name)
        text = wanted_text(module, name, value)
        if "\0" in text or "\n" in text:
            module.fail_json(msg="the value of %s holds a zero byte or a line break, which no parameter "
                                 "value holds" % name)
        wanted[name] = text
    names = sorted(wanted)
    mac = p["mac"].lower().replace("-", ":")
    renderings = Renderings(module, "%s %s %s" % (p["interface"], mac, p["protocol"]))

    ctl = Kivoctl(module)
    before = read(module, ctl, names, "cannot read the parameters of %s" % mac)
    differ = [n for n in names if before[n] != renderings.of(n, wanted[n])]

    after = dict(before)
    changed = []
    if differ and not module.check_mode:
        rc, doc, err = ctl.run(["set"], ["%s=%s" % (n, wanted[n]) for n in differ])
        if rc == 4:
            refused = refused_text(doc)
            stored = [r["name"] for r in parameter_records(doc) if r.get("refused") is not True]
            module.fail_json(
                msg="the device %s refused %s; %s"
                    % (mac, "; ".join("%s: %s" % kv for kv in sorted(refused.items())) or "a parameter",
                       "written before the refusal: %s" % ", ".join(stored) if stored else "nothing was written"),
                refused=refused, written=stored, changed=bool(stored), rc=rc)
        if rc != 0:
            ctl.fail("cannot write the parameters of %s" % mac, rc, doc, err, written=[])
        after = read(module, ctl, names, "written, but cannot read the parameters of %s back" % mac)
        for n in differ:
            if after[n] != before[n]:
                changed.append(n)
            # The device confirmed the write, so what it shows now is its rendering of the value
            # given, also when that is what it showed before (the same value in another spelling).
            if after[n] != wanted[n]:
                renderings.learn(n, wanted[n], after[n])
        renderings.save()
    elif differ:
        for n in differ:
            after[n] = renderings.of(n, wanted[n])
        changed = list(differ)

    result = dict(changed=bool(changed), written=differ)
    result["parameters"] = dict(
        (n, dict(before=before[n], after=after[n], written=n in differ, changed=n in changed)) for n in names)
    if module._diff:
        result["diff"] = dict(
            before_header="%s (device)" % mac,
            after_header="%s (%s)" % (mac, "to be written" if module.check_mode else "device"),
            before="".join("%s: %s\n" % (n, before[n]) for n in changed),
            after="".join("%s: %s\n" % (n, after[n]) for n in changed),
        )
    module.exit_json(**result)


if __name__ == "__main__":
    main()
