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
  - Reads the named parameters of one device and compares each with the wanted value through
    C(kivoctl compare), then writes only those that differ, in one C(kivoctl set).
  - Values are compared as the device stores them, with the conversions of the kivo library itself, so
    a value given in another spelling than the device shows (C(192.168.001.010) for C(192.168.1.10),
    C(1, 100) for C(1,100)) is the same value and is not written. Legacy devices (C(protocol=scp))
    give no value types; their values are compared as text.
  - A value the parameter's type cannot hold fails the task with what the type accepts, before anything
    is written.
  - The task reports a change only when a parameter was written. The result says per parameter
    whether it was written, refused by the device (with the device's text), or not written and why;
    a refusal fails the task, and the parameters written before it are reported as the change.
  - After a write the parameters are read again, and the values reported are the device's.
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
      - No longer used and ignored; values are compared as the device stores them, so nothing is kept on
        the managed host. A file left by an older release may be removed.
    type: path
attributes:
  check_mode:
    support: full
    description: Reads the device and reports what would be written; writes nothing.
  diff_mode:
    support: full
    description: Shows each differing parameter's value before and after.
notes:
  - Supports C(check_mode) and C(diff_mode).
  - Needs a C(kivoctl) with the C(compare) command (the kivo package of this collection's release).
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
  description:
    - Per parameter of C(params), the device's value before the task and after it (in check mode C(after)
      is the wanted value as the device would store it), and what became of it.
    - C(result) is C(unchanged) (the device holds the value already), C(written), C(would be written)
      (check mode), C(refused) (C(text) holds the device's words) or C(not written) (C(text) says why).
  returned: always, when the device was read
  type: dict
  sample:
    SYSTEM.GENERAL.DEVICE_NAME:
      before: living room
      after: office
      result: written
      written: true
      changed: true
      text: ""
written:
  description: Names of the parameters written (in check mode, that would be written), in name order.
  returned: always, when the device was read
  type: list
  elements: str
  sample: [SYSTEM.GENERAL.DEVICE_NAME]
refused:
  description: The names the device refused and its text for each.
  returned: when the device refused a parameter
  type: dict
  sample:
    SYSTEM.PRODUCTION.MAC_ADDR: "ERROR -55: without the necessary permits"
not_written:
  description: The names that were to be written and were not, with the reason for each (for example
    that the device refused another parameter of the same write).
  returned: when a write was not made in full
  type: dict
kivoctl:
  description: kivoctl's error document (C(kind), C(message), C(exit_code), C(reason), C(hint), ...).
  returned: failure
  type: dict
"""

from ansible.module_utils.basic import AnsibleModule
from ansible.module_utils.six import string_types, integer_types

from ansible_collections.kivo.ghn.plugins.module_utils.kivoctl import (
    Kivoctl,
    argument_spec,
    check_common,
    check_param_name,
    comparisons,
    text_of,
    write_results,
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
        text = ",".join(parts)
    elif isinstance(value, string_types + integer_types + (float,)):
        text = str(value)
    else:
        module.fail_json(msg="the value of %s is a %s: give text, a number or a list" % (name, type(value).__name__))
    if "\0" in text or "\n" in text:
        module.fail_json(msg="the value of %s holds a zero byte or a line break, which no parameter value holds" % name)
    return text


NOTHING = "; nothing was written"


def compare(module, ctl, wanted, what):
    """The device's records of the wanted names, compared with the wanted values; fails the
    task, before anything is written, for a name the device refused or did not answer and
    for a value the parameter's type cannot hold."""
    names = sorted(wanted)
    rc, doc, err = ctl.run(["compare"], ["%s=%s" % (n, wanted[n]) for n in names])
    if rc not in (0, 4):
        ctl.fail(what, rc, doc, err)
    records = comparisons(doc)
    problems, refused = [], {}
    for n in names:
        r = records.get(n)
        result = r["result"] if r else "not answered"
        if result == "refused":
            refused[n] = text_of(r, "text")
            problems.append("the device refused %s: %s" % (n, refused[n]))
        elif result == "not valid":
            text = text_of(r, "text") or "the value of %s is not valid for its type" % n
            problems.append(text[:-len(NOTHING)] if text.endswith(NOTHING) else text)
        elif result not in ("same", "differs"):
            problems.append("the device did not answer for %s; check the name with 'kivoctl getall'" % n)
    if problems or rc != 0:
        result = dict(rc=rc)
        if refused:
            result["refused"] = refused
        module.fail_json(msg="%s: %s%s" % (what, "; ".join(problems) or "kivoctl ended with status %d" % rc,
                                           NOTHING), **result)
    return records


def write(module, ctl, mac, wanted, names, parameters):
    """Writes the names in one 'kivoctl set'; fails the task, with what became of each name,
    unless every one was written."""
    rc, doc, err = ctl.run(["set"], ["%s=%s" % (n, wanted[n]) for n in names])
    if rc not in (0, 4):
        # The write did not take place as far as anyone can tell: no change is claimed.
        for n in names:
            parameters[n].update(result="not written", text="the write failed (see msg)")
        ctl.fail("cannot write the parameters of %s" % mac, rc, doc, err, written=[],
                 parameters=parameters)
    written, refused, not_written = write_results(doc, names)
    for n in names:
        entry = parameters[n]
        entry["written"] = entry["changed"] = n in written
        entry["result"] = "written" if n in written else "refused" if n in refused else "not written"
        entry["text"] = refused.get(n) or not_written.get(n) or ""
    if refused or not_written:
        parts = ["%s refused %s: %s" % ("the device " + mac if i == 0 else "it", n, t)
                 for i, (n, t) in enumerate(sorted(refused.items()))]
        parts += ["%s not written: %s" % kv for kv in sorted(not_written.items())]
        parts.append("written: %s" % ", ".join(written) if written else "nothing was written")
        module.fail_json(msg="; ".join(parts), changed=bool(written), written=written, refused=refused,
                         not_written=not_written, parameters=parameters, rc=rc)
    return written


def main():
    module = AnsibleModule(
        argument_spec=argument_spec(
            params=dict(type="dict", required=True),
            renderings_file=dict(type="path", removed_in_version="3.0.0", removed_from_collection="kivo.ghn"),
        ),
        supports_check_mode=True,
    )
    check_common(module)
    p = module.params
    if not p["params"]:
        module.fail_json(msg="params is empty: name at least one parameter and its value")
    wanted = {}
    for name, value in p["params"].items():
        check_param_name(module, name)
        wanted[name] = wanted_text(module, name, value)
    names = sorted(wanted)
    mac = p["mac"].lower().replace("-", ":")

    ctl = Kivoctl(module)
    before = compare(module, ctl, wanted, "cannot read the parameters of %s" % mac)
    differ = [n for n in names if before[n]["result"] == "differs"]
    parameters = dict((n, dict(before=before[n]["value"], after=before[n]["value"], result="unchanged",
                               written=False, changed=False, text="")) for n in names)

    if module.check_mode:
        for n in differ:
            parameters[n].update(after=before[n]["stored"], result="would be written", written=True, changed=True)
        written = differ
    elif differ:
        written = write(module, ctl, mac, wanted, differ, parameters)
        after = compare(module, ctl, wanted, "written, but cannot read the parameters of %s back" % mac)
        for n in names:
            parameters[n]["after"] = after[n]["value"]
            if n in written and after[n]["result"] != "same":
                module.warn("%s of %s was written and confirmed, but the device now shows %r, not the value "
                            "written (%r): check what the device does with this parameter"
                            % (n, mac, after[n]["value"], wanted[n]))
    else:
        written = []

    if p.get("renderings_file"):
        module.warn("renderings_file is no longer used: values are compared as the device stores them; "
                    "remove the option and the file %s" % p["renderings_file"])
    result = dict(changed=bool(written), written=written, parameters=parameters)
    if module._diff:
        result["diff"] = dict(
            before_header="%s (device)" % mac,
            after_header="%s (%s)" % (mac, "to be written" if module.check_mode else "device"),
            before="".join("%s: %s\n" % (n, parameters[n]["before"]) for n in written),
            after="".join("%s: %s\n" % (n, parameters[n]["after"]) for n in written),
        )
    module.exit_json(**result)


if __name__ == "__main__":
    main()
