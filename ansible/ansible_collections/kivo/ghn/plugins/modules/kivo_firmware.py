#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: kivo developers
# Terms of use: as for the kivo package (see LICENSE)

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: kivo_firmware
short_description: Upgrade the firmware of a G.hn device, or boot one over Ethernet
description:
  - C(operation=upgrade) uploads a firmware image to a running device (C(kivoctl fw upgrade --wait)) once
    the device asks for a file, and waits for the transfer to end.
  - C(operation=boot) brings up a device waiting in its boot ROM (C(kivoctl fw boot --wait)) with an
    Ethernet loader and a chunked firmware file; the first boot-ROM device that announces itself on the
    interface is served.
  - With C(version_param) and C(version) the device is read first and left alone when it already reports
    that version, so that the task is idempotent. Without them the transfer runs on every run.
  - A transfer that fails fails the task with the service's reason; one that does not end within
    C(wait_timeout) is stopped (the device keeps its old firmware) and fails the task.
version_added: "1.0.0"
author:
  - kivo developers
extends_documentation_fragment:
  - kivo.ghn.kivoctl
  - kivo.ghn.kivoctl.device
options:
  operation:
    description:
      - C(upgrade) for a running device, C(boot) for a device waiting in its boot ROM.
    type: str
    default: upgrade
    choices: [upgrade, boot]
  mac:
    description:
      - The device's MAC address, for example C(02:00:00:00:40:01). Required for C(upgrade), and for the
        version check of a C(boot).
    type: str
    required: false
  image:
    description:
      - Path on the managed host of the firmware image (C(upgrade)) or of the chunked firmware file
        (C(boot)). Copy it there first, for example with M(ansible.builtin.copy).
    type: path
    required: true
  loader:
    description:
      - Path on the managed host of the Ethernet loader; required for C(boot).
    type: path
  version_param:
    description:
      - Name of the parameter that holds the device's firmware version, for example
        C(SYSTEM.INFO.FW_VERSION). Needs C(version) and C(mac).
    type: str
  version:
    description:
      - The version the image brings, written as the device shows it in C(version_param). A device that
        already reports it (compared as the device stores it) is not upgraded.
      - For C(boot), a device that does not answer the read is taken as waiting in its boot ROM and booted.
    type: str
  wait_timeout:
    description:
      - Seconds the transfer may take before it is stopped and the task fails.
    type: int
    default: 900
attributes:
  check_mode:
    support: full
    description: Reads the version when asked to and reports whether a transfer would run; sends nothing.
  diff_mode:
    support: none
notes:
  - Supports C(check_mode).
  - C(protocol) and C(password) serve the version read only; the transfer itself needs neither.
  - A device that asks for a file keeps the service busy with the transfer; only one transfer runs on a
    managed host at a time, so run these tasks with C(serial) or C(throttle=1) per host.
"""

EXAMPLES = r"""
- name: Copy the image to the managed host
  ansible.builtin.copy:
    src: files/ghn-11.5.0.bin
    dest: /var/lib/kivo/ghn-11.5.0.bin
    mode: "0644"

- name: Upgrade the adapter unless it already runs 11.5.0
  kivo.ghn.kivo_firmware:
    interface: eth1
    mac: "02:00:00:00:40:01"
    image: /var/lib/kivo/ghn-11.5.0.bin
    version_param: SYSTEM.INFO.FW_VERSION
    version: "11.5.0 build 3200"
    password: "{{ vault_kivo_password }}"
  throttle: 1

- name: Boot the spare waiting in its boot ROM
  kivo.ghn.kivo_firmware:
    operation: boot
    interface: eth1
    loader: /var/lib/kivo/loader.bin
    image: /var/lib/kivo/firmware.bin
"""

RETURN = r"""
version_before:
  description: What C(version_param) held before the task; null without a version check or when a device
    to boot did not answer.
  returned: success
  type: str
  sample: "11.4.2 build 3107"
status:
  description: The firmware server's final state, as C(kivoctl fw status --json) shows it.
  returned: when a transfer ran
  type: dict
  sample: {state: succeeded, state_code: 5, bytes: 2097152, total: 2097152}
seconds:
  description: Wall time of the transfer.
  returned: when a transfer ran
  type: float
kivoctl:
  description: kivoctl's error document (C(kind), C(message), C(exit_code), C(reason), C(firmware_reason),
    C(status), ...).
  returned: failure
  type: dict
"""

import os

from ansible.module_utils.basic import AnsibleModule

from ansible_collections.kivo.ghn.plugins.module_utils.kivoctl import (
    Kivoctl,
    argument_spec,
    check_common,
    check_param_name,
    comparisons,
)


def check_file(module, path, what):
    if not os.path.isfile(path):
        module.fail_json(msg="the %s %s is not a file on the managed host: copy it there first" % (what, path))
    if not os.access(path, os.R_OK):
        module.fail_json(msg="the %s %s cannot be read on the managed host: check its mode" % (what, path))


def main():
    module = AnsibleModule(
        argument_spec=argument_spec(
            mac_required=False,
            operation=dict(type="str", default="upgrade", choices=["upgrade", "boot"]),
            image=dict(type="path", required=True),
            loader=dict(type="path"),
            version_param=dict(type="str"),
            version=dict(type="str"),
            wait_timeout=dict(type="int", default=900),
        ),
        required_together=[("version_param", "version")],
        required_if=[("operation", "upgrade", ("mac",)), ("operation", "boot", ("loader",))],
        supports_check_mode=True,
    )
    check_common(module)
    p = module.params
    boot = p["operation"] == "boot"
    if p["version_param"] and not p["mac"]:
        module.fail_json(msg="version_param needs mac: the version is read from the device at that address")
    if p["version_param"] is not None:
        check_param_name(module, p["version_param"], "version_param")
    if not 1 <= p["wait_timeout"] <= 86400:
        module.fail_json(msg="wait_timeout must be 1 to 86400 seconds, not %d" % p["wait_timeout"])
    check_file(module, p["image"], "firmware file" if boot else "firmware image")
    if boot:
        check_file(module, p["loader"], "loader")

    ctl = Kivoctl(module)
    result = dict(changed=False, version_before=None)
    if p["version_param"]:
        rc, doc, err = ctl.run(["compare"], ["%s=%s" % (p["version_param"], p["version"])])
        record = comparisons(doc).get(p["version_param"]) if rc == 0 else None
        if record is not None:
            result["version_before"] = record["value"]
            if record["result"] == "same":
                result["msg"] = "%s already reports %s: nothing to do" % (p["mac"], p["version"])
                module.exit_json(**result)
        elif not (boot and rc == 1):
            # A running device must answer; only a device to boot may be silent in its boot ROM.
            ctl.fail("cannot read %s of %s to compare it with the wanted version" % (p["version_param"], p["mac"]),
                     rc, doc, err)

    result["changed"] = True
    if module.check_mode:
        module.exit_json(**result)

    args = ["-i", p["interface"], "--wait"]
    if p["vlan"]:
        args += ["--vlan", str(p["vlan"])]
    if boot:
        args += [p["loader"], p["image"]]
    else:
        args += ["-m", p["mac"], p["image"]]
    # kivoctl takes an interrupt as "stop the transfer, then report": the time limit sends
    # one, and a kill only if kivoctl has not ended a minute later.
    timeout = module.get_bin_path("timeout", required=True)
    prefix = [timeout, "--preserve-status", "-s", "INT", "-k", "60", str(p["wait_timeout"])]
    rc, doc, err = ctl.run(["fw", "boot" if boot else "upgrade"], args, device=False, prefix=prefix)
    what = "Ethernet boot" if boot else "upgrade of %s" % p["mac"]
    if rc != 0:
        error = doc.get("error") if isinstance(doc, dict) else None
        if isinstance(error, dict) and error.get("kind") == "stopped":
            ctl.fail("%s did not end within wait_timeout (%d s) and was stopped; the device keeps its firmware"
                     % (what, p["wait_timeout"]), rc, doc, err, changed=False)
        ctl.fail("%s failed" % what, rc, doc, err)
    result["status"] = doc.get("status")
    result["seconds"] = doc.get("seconds")
    module.exit_json(**result)


if __name__ == "__main__":
    main()
