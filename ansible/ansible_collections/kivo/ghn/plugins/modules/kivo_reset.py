#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: kivo developers
# Terms of use: as for the kivo package (see LICENSE)

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: kivo_reset
short_description: Reset a G.hn device to its factory settings
description:
  - Sends a factory reset to one device through C(kivoctl reset) and waits for the device to confirm it.
  - Always reports a change, since whether a device still holds its factory settings cannot be read.
    Guard the task with a condition (C(when)) or run it on purpose only.
version_added: "1.0.0"
author:
  - kivo developers
extends_documentation_fragment:
  - kivo.ghn.kivoctl
  - kivo.ghn.kivoctl.device
attributes:
  check_mode:
    support: full
    description: Reports the change and sends nothing.
  diff_mode:
    support: none
notes:
  - Supports C(check_mode).
"""

EXAMPLES = r"""
- name: Factory reset of a returned adapter
  kivo.ghn.kivo_reset:
    interface: eth1
    mac: "02:00:00:00:10:01"
    password: "{{ vault_kivo_password }}"
  when: kivo_factory_reset | default(false) | bool
"""

RETURN = r"""
reset:
  description: True when the device confirmed the reset; false in check mode, where nothing is sent.
  returned: success
  type: bool
kivoctl:
  description: kivoctl's error document (C(kind), C(message), C(exit_code), C(reason), C(hint), ...).
  returned: failure
  type: dict
"""

from ansible.module_utils.basic import AnsibleModule

from ansible_collections.kivo.ghn.plugins.module_utils.kivoctl import Kivoctl, argument_spec, check_common


def main():
    module = AnsibleModule(argument_spec=argument_spec(), supports_check_mode=True)
    check_common(module)
    ctl = Kivoctl(module)
    if module.check_mode:
        module.exit_json(changed=True, reset=False)
    rc, doc, err = ctl.run(["reset"], ["--yes"])
    if rc != 0:
        ctl.fail("factory reset of %s failed" % module.params["mac"], rc, doc, err)
    module.exit_json(changed=True, reset=bool(doc.get("reset")))


if __name__ == "__main__":
    main()
