#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: kivo developers
# Terms of use: as for the kivo package (see LICENSE)

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: kivo_discover
short_description: Find the G.hn devices on the managed host's interfaces
description:
  - Runs C(kivoctl discover) on the managed host and returns every device that answered, once per
    interface, with every kind it answered as, as the fact C(kivo_discovered).
  - The fact was named C(kivo_devices) before release 2.0.0, the name playbooks give their own list of
    devices (as in the example playbook's host variables); since facts take precedence over host
    variables, a discovery hid that list. Playbooks that read the discovered devices from
    C(kivo_devices) read them from C(kivo_discovered) now, or from the task's registered C(devices).
  - A discovery takes about 6 seconds (two listening periods of 3 seconds).
  - Only reads; never reports a change.
version_added: "1.0.0"
author:
  - kivo developers
extends_documentation_fragment:
  - kivo.ghn.kivoctl
options:
  interface:
    description:
      - The managed host's interface to probe; by default every interface.
    type: str
  vlan:
    description:
      - VLAN id of the probes, 1 to 4094; 0 sends untagged probes.
    type: int
    default: 0
attributes:
  check_mode:
    support: full
    description: Discovery only reads, so it runs in check mode too.
  diff_mode:
    support: none
notes:
  - Supports C(check_mode).
"""

EXAMPLES = r"""
- name: Find the devices behind eth1
  kivo.ghn.kivo_discover:
    interface: eth1

- name: Set every LCMP device found
  kivo.ghn.kivo_param:
    interface: "{{ item.interface }}"
    mac: "{{ item.mac }}"
    params:
      SYSTEM.GENERAL.LED_ENABLE: "NO"
  loop: "{{ kivo_discovered | selectattr('kinds', 'contains', 'lcmp') | list }}"

- name: Configured devices that did not answer
  ansible.builtin.debug:
    msg: "{{ item.mac }} on {{ item.interface }} did not answer the discovery"
  loop: "{{ kivo_devices }}"
  when: kivo_discovered | selectattr('mac', 'equalto', item.mac | lower | replace('-', ':')) | list | length == 0
"""

RETURN = r"""
ansible_facts:
  description: Facts set by the module.
  returned: success
  type: dict
  contains:
    kivo_discovered:
      description: The devices found, as in C(devices).
      type: list
      elements: dict
devices:
  description: One entry per device and interface.
  returned: success
  type: list
  elements: dict
  contains:
    interface:
      description: The managed host's interface the device answered on.
      type: str
    mac:
      description: The device's MAC address, lower case with colons.
      type: str
    kinds:
      description: Every kind the device answered as, most capable first (C(lcmp), C(scp), C(bootrom),
        C(bootrom-v3)).
      type: list
      elements: str
  sample:
    - interface: eth1
      mac: "02:00:00:00:10:01"
      kinds: [lcmp]
lcmp_discovery:
  description: False when the service could not be asked for LCMP devices (an older kivohost), so that
    only legacy and boot-ROM devices were looked for.
  returned: success
  type: bool
"""

from ansible.module_utils.basic import AnsibleModule
from ansible.module_utils.six import string_types

from ansible_collections.kivo.ghn.plugins.module_utils.kivoctl import Kivoctl, argument_spec, check_common


def main():
    module = AnsibleModule(
        argument_spec=argument_spec(device=False, interface=dict(type="str"), vlan=dict(type="int", default=0)),
        supports_check_mode=True,
    )
    check_common(module)
    ctl = Kivoctl(module)
    args = []
    if module.params["interface"]:
        args += ["-i", module.params["interface"]]
    if module.params["vlan"]:
        args += ["--vlan", str(module.params["vlan"])]
    rc, doc, err = ctl.run(["discover"], args, device=False)
    if rc != 0:
        ctl.fail("discovery failed", rc, doc, err)
    devices = doc.get("devices")
    if not isinstance(devices, list):
        devices = []
    # Only records shaped as kivoctl writes them: tasks loop over these fields.
    devices = [dict(interface=d["interface"], mac=d["mac"], kinds=[k for k in d["kinds"] if isinstance(k, string_types)])
               for d in devices
               if isinstance(d, dict) and isinstance(d.get("interface"), string_types)
               and isinstance(d.get("mac"), string_types) and isinstance(d.get("kinds"), list)]
    module.exit_json(changed=False, devices=devices, lcmp_discovery=doc.get("lcmp_discovery") is not False,
                     ansible_facts=dict(kivo_discovered=devices))


if __name__ == "__main__":
    main()
