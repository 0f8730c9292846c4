# -*- coding: utf-8 -*-
"""kivo_param: what it writes, what it reports per parameter, and when it claims a change."""

import os
import tempfile

from ansible_collections.kivo.ghn.plugins.modules import kivo_param

from kivo_fake import DEVICE, ModuleCase, compare_doc, set_doc

NAME = "SYSTEM.GENERAL.DEVICE_NAME"
ADDR = "NETWORK.IP.ADDRESS"
VLANS = "NETWORK.VLAN.IDS"


def args(**params):
    return dict(DEVICE, params=params)


class Idempotence(ModuleCase):
    def test_values_the_device_stores_already_are_not_written(self):
        # The address in another spelling is the same value: nothing is written.
        r = self.run_module(kivo_param, args(**{ADDR: "192.168.001.070", VLANS: [1, 100]}), {"compare": [
            (0, compare_doc((ADDR, "same", "192.168.1.70", "192.168.001.070", "192.168.1.70"),
                            (VLANS, "same", "1,100", "1,100", "1,100")), "")]})
        self.assertFalse(r["failed"], r)
        self.assertFalse(r["changed"])
        self.assertEqual(self.commands(), ["compare"])
        self.assertEqual(sorted(self.assignments(0)), ["%s=192.168.001.070" % ADDR, "%s=1,100" % VLANS])
        self.assertEqual(r["written"], [])
        self.assertEqual(r["parameters"][ADDR]["result"], "unchanged")
        self.assertEqual(r["parameters"][ADDR]["after"], "192.168.1.70")

    def test_only_differing_values_are_written_and_read_back(self):
        r = self.run_module(kivo_param, dict(args(**{NAME: "office", ADDR: "192.168.1.70"}), _ansible_diff=True), {
            "compare": [
                (0, compare_doc((ADDR, "same", "192.168.1.70", "192.168.1.70", "192.168.1.70"),
                                (NAME, "differs", "living room", "office", "office")), ""),
                (0, compare_doc((ADDR, "same", "192.168.1.70", "192.168.1.70", "192.168.1.70"),
                                (NAME, "same", "office", "office", "office")), "")],
            "set": [(0, set_doc((NAME, "written", "")), "")]})
        self.assertFalse(r["failed"], r)
        self.assertTrue(r["changed"])
        self.assertEqual(self.commands(), ["compare", "set", "compare"])
        self.assertEqual(self.assignments(1), ["%s=office" % NAME])
        self.assertEqual(r["written"], [NAME])
        p = r["parameters"][NAME]
        self.assertEqual((p["before"], p["after"], p["result"], p["written"]), ("living room", "office", "written", True))
        self.assertEqual(r["parameters"][ADDR]["result"], "unchanged")
        self.assertEqual(r["diff"]["before"], "%s: living room\n" % NAME)
        self.assertEqual(r["diff"]["after"], "%s: office\n" % NAME)
        self.assertEqual(r["warnings"], [])

    def test_check_mode_reports_the_value_as_the_device_would_store_it(self):
        r = self.run_module(kivo_param, dict(args(**{ADDR: "192.168.001.071"}), _ansible_check_mode=True), {
            "compare": [(0, compare_doc((ADDR, "differs", "192.168.1.70", "192.168.001.071", "192.168.1.71")), "")]})
        self.assertTrue(r["changed"])
        self.assertEqual(self.commands(), ["compare"])
        self.assertEqual(r["parameters"][ADDR]["after"], "192.168.1.71")
        self.assertEqual(r["parameters"][ADDR]["result"], "would be written")

    def test_a_written_value_the_device_does_not_show_afterwards_is_warned_about(self):
        r = self.run_module(kivo_param, args(**{NAME: "office"}), {
            "compare": [(0, compare_doc((NAME, "differs", "lr", "office", "office")), ""),
                        (0, compare_doc((NAME, "differs", "lr", "office", "office")), "")],
            "set": [(0, set_doc((NAME, "written", "")), "")]})
        self.assertTrue(r["changed"])
        self.assertEqual(len(r["warnings"]), 1, r)
        self.assertIn("now shows 'lr'", r["warnings"][0])


class WriteOutcomes(ModuleCase):
    def test_each_name_is_told_written_refused_or_not_written(self):
        mac_name = "SYSTEM.PRODUCTION.MAC_ADDR"
        r = self.run_module(kivo_param, args(**{NAME: "office", mac_name: "02:00:00:00:10:09", VLANS: "1,300"}), {
            "compare": [(0, compare_doc((NAME, "differs", "lr", "office", "office"),
                                        (mac_name, "differs", "02:00:00:00:10:01", "02:00:00:00:10:09",
                                         "02:00:00:00:10:09"),
                                        (VLANS, "differs", "1,100", "1,300", "1,300")), "")],
            "set": [(4, set_doc((VLANS, "written", ""),
                                (mac_name, "refused", "ERROR -55: without the necessary permits"),
                                (NAME, "not written", "not sent: the device refused another parameter first")),
                     "")]})
        self.assertTrue(r["failed"])
        self.assertTrue(r["changed"], "a value was written, so the task changed the device")
        self.assertEqual(r["written"], [VLANS])
        self.assertEqual(r["refused"], {mac_name: "ERROR -55: without the necessary permits"})
        self.assertEqual(r["not_written"], {NAME: "not sent: the device refused another parameter first"})
        self.assertEqual(r["parameters"][VLANS]["result"], "written")
        self.assertEqual(r["parameters"][mac_name]["result"], "refused")
        self.assertEqual(r["parameters"][NAME]["result"], "not written")
        self.assertIn("refused %s: ERROR -55" % mac_name, r["msg"])
        self.assertIn("%s not written: not sent" % NAME, r["msg"])
        self.assertIn("written: %s" % VLANS, r["msg"])
        self.assertEqual(self.commands(), ["compare", "set"])

    def test_no_change_is_claimed_for_what_kivoctl_did_not_confirm(self):
        # Refused outright, a document that leaves a name out, and a service that never answered.
        for rc, doc in ((4, set_doc((NAME, "refused", "ERROR -3"))), (0, set_doc()),
                        (3, {"error": {"kind": "no_service", "message": "no answer from kivohost"}})):
            r = self.run_module(kivo_param, args(**{NAME: "office"}), {
                "compare": [(0, compare_doc((NAME, "differs", "lr", "office", "office")), "")],
                "set": [(rc, doc, "")]})
            self.assertTrue(r["failed"], (rc, r))
            self.assertFalse(r.get("changed", False), (rc, r))
            self.assertEqual(r["written"], [], (rc, r))
            self.assertNotEqual(r["parameters"][NAME]["result"], "written", (rc, r))


class Refusals(ModuleCase):
    def test_nothing_is_written_when_a_value_or_name_cannot_be_compared(self):
        invalid = ('the value "maybe" is not valid for SYSTEM.GENERAL.LED_ENABLE (type BOOL: YES or NO, a list '
                   'separated by commas with no empty element); nothing was written')
        r = self.run_module(kivo_param, args(**{"SYSTEM.GENERAL.LED_ENABLE": "maybe", "NO.SUCH": "1"}), {
            "compare": [(4, dict(comparisons=[
                dict(name="SYSTEM.GENERAL.LED_ENABLE", result="not valid", value="YES", stored=None, text=invalid),
                dict(name="NO.SUCH", result="refused", value=None, stored=None, text="ERROR -2: unknown")]), "")]})
        self.assertTrue(r["failed"])
        self.assertFalse(r.get("changed", False))
        self.assertEqual(self.commands(), ["compare"])
        self.assertIn("YES or NO", r["msg"])
        self.assertIn("the device refused NO.SUCH: ERROR -2: unknown", r["msg"])
        self.assertEqual(r["msg"].count("nothing was written"), 1, r["msg"])
        self.assertEqual(r["refused"], {"NO.SUCH": "ERROR -2: unknown"})

    def test_a_damaged_compare_document_is_not_taken_for_equal_values(self):
        r = self.run_module(kivo_param, args(**{NAME: "office"}), {
            "compare": [(0, dict(comparisons=[dict(name=NAME, result="same")]), "")]})
        self.assertTrue(r["failed"])
        self.assertIn("did not answer for %s" % NAME, r["msg"])

    def test_playbook_input_refused_before_kivoctl_runs(self):
        for params, words in (({NAME: True}, "boolean"), ({"-x": "1"}, "not a parameter name"),
                              ({"A=B": "1"}, "not a parameter name"), ({NAME: "a\nb"}, "line break"),
                              ({NAME: [1, None]}, "give numbers or text only"), ({}, "params is empty")):
            r = self.run_module(kivo_param, args(**params), {})
            self.assertTrue(r["failed"], params)
            self.assertIn(words, r["msg"], params)
        self.assertEqual(self.calls, [])

    def test_interface_names_follow_the_kernels_rule(self):
        # The rule kivoctl and kivo-web apply: at most 15 bytes (not characters), no '.' or
        # '..', no '/', ':', blank or control character (a trailing line break included).
        for name in ("é" * 8, ".", "..", "eth0:1", "a/b", "a b", "eth0\n", "a\x7fb", "a" * 16):
            r = self.run_module(kivo_param, dict(args(**{NAME: "1"}), interface=name), {})
            self.assertTrue(r["failed"], name)
            self.assertIn("not a network interface name", r["msg"], name)
        self.assertEqual(self.calls, [])

    def test_the_password_travels_in_the_environment_only(self):
        self.run_module(kivo_param, args(**{NAME: "office"}), {
            "compare": [(0, compare_doc((NAME, "same", "office", "office", "office")), "")]})
        argv, env = self.calls[0]
        self.assertNotIn(DEVICE["password"], " ".join(argv))
        self.assertEqual(env.get("KIVO_ANSIBLE_PASSWORD"), DEVICE["password"])
        self.assertEqual(argv[:2], [DEVICE["kivoctl_path"], "--json"])


class RenderingsFile(ModuleCase):
    def test_the_old_option_is_accepted_ignored_and_warned_about(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "renderings.json")
            r = self.run_module(kivo_param, dict(args(**{NAME: "office"}), renderings_file=path), {
                "compare": [(0, compare_doc((NAME, "same", "office", "office", "office")), "")]})
            self.assertFalse(r["failed"], r)
            self.assertFalse(os.path.exists(path))
        self.assertTrue(any("renderings_file is no longer used" in w for w in r["warnings"]), r)
