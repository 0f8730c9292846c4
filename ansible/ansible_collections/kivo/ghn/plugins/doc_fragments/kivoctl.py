# -*- coding: utf-8 -*-
# Copyright: kivo developers
# Terms of use: as for the kivo package (see LICENSE)

from __future__ import absolute_import, division, print_function

__metaclass__ = type


class ModuleDocFragment(object):
    # Options of every module: how kivoctl is found and how it reaches kivohost.
    DOCUMENTATION = r"""
options:
  kivoctl_path:
    description:
      - Path of C(kivoctl) on the managed host.
      - By default C(kivoctl) is looked up on the managed host's C(PATH).
    type: path
  port:
    description:
      - UDP port of C(kivohost) on the managed host's loopback (C(kivoctl --port)).
      - By default kivoctl's own default, 55567, or C(KIVOCTL_PORT) in the environment of the task.
    type: int
  timeout:
    description:
      - Seconds to wait for each reply of the service (C(kivoctl --timeout)), above 0 and at most 86400.
      - By default kivoctl's per-request defaults (5 s to 60 s).
    type: float
notes:
  - The modules run C(kivoctl --json) on the managed host, which must have the C(kivoctl) and C(kivohost)
    programs of the kivo package installed and C(kivohost) running.
  - A failed task names the meaning of kivoctl's exit status (1 failure reported by the service or the
    device, 2 usage, 3 no answer from the service, 4 a parameter refused) and kivoctl's message, and
    returns kivoctl's error document as C(kivoctl).
requirements:
  - kivoctl and kivohost (the kivo package) on the managed host
"""

    # Options of the modules that address one device.
    DEVICE = r"""
options:
  interface:
    description:
      - The managed host's network interface the device is reached through.
    type: str
    required: true
  mac:
    description:
      - The device's MAC address, for example C(02:00:00:00:00:01) (colons or dashes, either case).
    type: str
    required: true
  protocol:
    description:
      - C(lcmp) for current devices, C(scp) for legacy devices.
    type: str
    default: lcmp
    choices: [lcmp, scp]
  password:
    description:
      - The device's password; empty for a device without one.
      - Handed to kivoctl in its environment, never on its command line; kept out of the logs.
    type: str
    default: ""
  vlan:
    description:
      - VLAN id of the frames to the device, 1 to 4094; 0 sends untagged frames.
    type: int
    default: 0
"""
