# -*- coding: utf-8 -*-
"""kivo_discover's fact, kivo_firmware's version check, and the options every module
shares: declared once, documented as declared."""

import json
import os
import subprocess
import tempfile
import unittest
from unittest import mock

from ansible.module_utils import basic

from ansible_collections.kivo.ghn.plugins.modules import kivo_discover, kivo_firmware, kivo_param, kivo_reset

from kivo_fake import DEVICE, KIVOCTL, ModuleCase, compare_doc


class Discover(ModuleCase):
    def test_the_fact_leaves_the_playbooks_device_list_alone(self):
        found = [dict(interface="eth1", mac="02:00:00:00:10:01", kinds=["lcmp", 7]),
                 dict(interface="eth1", mac=5, kinds=["scp"]), "junk"]
        r = self.run_module(kivo_discover, dict(kivoctl_path=KIVOCTL, interface="eth1"),
                            {"discover": [(0, dict(devices=found, lcmp_discovery=True), "")]})
        self.assertFalse(r["failed"], r)
        self.assertFalse(r["changed"])
        expected = [dict(interface="eth1", mac="02:00:00:00:10:01", kinds=["lcmp"])]
        self.assertEqual(r["ansible_facts"], dict(kivo_discovered=expected))
        self.assertEqual(r["devices"], expected)


class Firmware(ModuleCase):
    def setUp(self):
        handle, self.image = tempfile.mkstemp()
        os.close(handle)

    def tearDown(self):
        os.unlink(self.image)

    def args(self, **extra):
        out = dict(DEVICE, image=self.image, vlan=12, version_param="SYSTEM.INFO.FW_VERSION",
                   version="11.5.0 build 3200")
        out.update(extra)
        return out

    def test_a_device_that_reports_the_version_is_left_alone(self):
        r = self.run_module(kivo_firmware, self.args(), {"compare": [(0, compare_doc(
            ("SYSTEM.INFO.FW_VERSION", "same", "11.5.0 build 3200", "11.5.0 build 3200", "11.5.0 build 3200")), "")]})
        self.assertFalse(r["changed"], r)
        self.assertEqual(r["version_before"], "11.5.0 build 3200")
        self.assertEqual(self.commands(), ["compare"])
        # The device options shared with the other modules reach kivoctl.
        argv = self.calls[0][0]
        self.assertIn("--vlan", argv)
        self.assertEqual(argv[argv.index("--vlan") + 1], "12")
        self.assertEqual(self.assignments(0), ["SYSTEM.INFO.FW_VERSION=11.5.0 build 3200"])

    def test_another_version_would_be_upgraded(self):
        r = self.run_module(kivo_firmware, dict(self.args(), _ansible_check_mode=True), {"compare": [(0, compare_doc(
            ("SYSTEM.INFO.FW_VERSION", "differs", "11.4.2 build 3107", "11.5.0 build 3200", "11.5.0 build 3200")),
            "")]})
        self.assertTrue(r["changed"], r)
        self.assertEqual(r["version_before"], "11.4.2 build 3107")
        self.assertEqual(self.commands(), ["compare"])

    def test_the_version_parameter_name_is_checked_like_any_other(self):
        r = self.run_module(kivo_firmware, self.args(version_param="--json"), {})
        self.assertTrue(r["failed"])
        self.assertIn("version_param: '--json' is not a parameter name", r["msg"])
        self.assertEqual(self.calls, [])


def declared_options_of(module):
    """The options a module's main() declares to Ansible, without running it."""
    seen = {}

    def capture(self, argument_spec, **kwargs):
        seen.update(argument_spec)
        raise RuntimeError("captured")

    with mock.patch.object(basic.AnsibleModule, "__init__", capture):
        try:
            module.main()
        except RuntimeError:
            pass
    return seen


class SharedOptions(unittest.TestCase):
    """Each module's documentation (its own options plus the shared fragments, as ansible-doc
    renders them) names exactly the options its code takes, with the same type, requirement
    and default."""

    def test_documentation_matches_the_argument_specs(self):
        env = dict(os.environ, ANSIBLE_NOCOLOR="1")
        for module in (kivo_discover, kivo_firmware, kivo_param, kivo_reset):
            name = module.__name__.rsplit(".", 1)[1]
            with self.subTest(module=name):
                out = subprocess.run(["/usr/bin/ansible-doc", "--json", "kivo.ghn." + name], env=env,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=False)
                self.assertEqual(out.returncode, 0, out.stderr)
                documented = json.loads(out.stdout)["kivo.ghn." + name]["doc"]["options"]
                declared = declared_options_of(module)
                self.assertEqual(sorted(documented), sorted(declared))
                for option, rules in declared.items():
                    doc = documented[option]
                    self.assertEqual(doc.get("type", "str"), rules.get("type", "str"), option)
                    self.assertEqual(bool(doc.get("required")), bool(rules.get("required")), option)
                    self.assertEqual(doc.get("default"), rules.get("default"), option)
                    self.assertEqual(doc.get("choices"), rules.get("choices"), option)
