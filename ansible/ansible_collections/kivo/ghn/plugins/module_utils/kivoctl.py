# -*- coding: utf-8 -*-
# Copyright: kivo developers
# Terms of use: as for the kivo package (see LICENSE)
"""Runs kivoctl --json on the managed host and turns its exit codes into task results.

The modules never talk to kivohost themselves: kivoctl already knows the request
protocol, the per-request time-outs and how to ask the service why a request failed,
and its --json documents and exit codes are its stable interface.
"""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json
import re

from ansible.module_utils.six import string_types

# What each exit code of kivoctl means, for the task's message.
EXIT_MEANING = {
    1: "the service or the device reported a failure",
    2: "kivoctl refused its arguments (usage error)",
    3: "no answer from kivohost: is the service running on the managed host, on this port?",
    4: "the device refused a parameter",
}

# The password travels to kivoctl in this environment variable: the environment of a
# process is readable by its owner only, its command line by every user of the host.
PASSWORD_ENV = "KIVO_ANSIBLE_PASSWORD"

MAC_RE = re.compile(r"^[0-9A-Fa-f]{2}([:-][0-9A-Fa-f]{2}){5}$")
# The same rule as kivoctl's and kivo-web's: a name the kernel could give a link, at most
# 15 bytes, not "." or "..", without '/', ':', blanks or control characters.
IFACE_RE = re.compile(r"[^/: \x00-\x1f\x7f]+")


def interface_name_valid(name):
    return bool(IFACE_RE.fullmatch(name)) and len(name.encode("utf-8")) <= 15 and name not in (".", "..")

COMMON_ARGS = dict(
    kivoctl_path=dict(type="path"),
    port=dict(type="int"),
    timeout=dict(type="float"),
)

# The options of a module that addresses one device (doc fragment kivo.ghn.kivoctl.device).
DEVICE_ARGS = dict(
    interface=dict(type="str", required=True),
    mac=dict(type="str", required=True),
    protocol=dict(type="str", default="lcmp", choices=["lcmp", "scp"]),
    password=dict(type="str", no_log=True, default=""),
    vlan=dict(type="int", default=0),
)


def argument_spec(device=True, mac_required=True, **extra):
    """The options of a module: those of every module, the device's when it addresses one
    (mac optional with mac_required=False), then its own."""
    options = dict(COMMON_ARGS)
    if device:
        options.update(DEVICE_ARGS)
        if not mac_required:
            options["mac"] = dict(DEVICE_ARGS["mac"], required=False)
    options.update(extra)
    return options


def check_common(module):
    """Refuses hostile or malformed options before anything runs."""
    p = module.params
    if p.get("port") is not None and not 1 <= p["port"] <= 65535:
        module.fail_json(msg="port %d is out of range: give kivohost's UDP port, 1 to 65535" % p["port"])
    if p.get("timeout") is not None and not 0 < p["timeout"] <= 86400:
        module.fail_json(msg="timeout must be above 0 and at most 86400 seconds, not %r" % p["timeout"])
    if p.get("interface") is not None and not interface_name_valid(p["interface"]):
        module.fail_json(msg="interface %r is not a network interface name (at most 15 bytes, not '.' or "
                             "'..', no '/', ':', blanks or control characters); give the host interface the "
                             "device is on" % p["interface"])
    if p.get("mac") is not None and not MAC_RE.match(p["mac"]):
        module.fail_json(msg="mac %r is not a MAC address: write it as 02:00:00:00:00:01" % p["mac"])
    if p.get("vlan") is not None and not 0 <= p["vlan"] <= 4094:
        module.fail_json(msg="vlan %d is out of range: give 1 to 4094, or 0 for untagged frames" % p["vlan"])
    password = p.get("password") or ""
    if "\0" in password or len(password.encode("utf-8")) > 255:
        module.fail_json(msg="the password holds a zero byte or is longer than 255 bytes, which no device "
                             "password can be; check the variable it comes from")


def check_param_name(module, name, option="params"):
    """Refuses what cannot be a parameter name before kivoctl sees it: a name starting with
    '-' would be read as an option, '=' ends the name in NAME=VALUE."""
    if not isinstance(name, string_types) or not name or name.startswith("-") or "=" in name \
            or any(c.isspace() or ord(c) < 0x20 for c in name):
        module.fail_json(msg="%s: %r is not a parameter name: names are like SYSTEM.GENERAL.DEVICE_NAME, "
                             "without blanks or '=' (see kivoctl getall)" % (option, name))


class Kivoctl(object):
    """kivoctl on the managed host, with the options every command shares."""

    def __init__(self, module):
        self.module = module
        path = module.params.get("kivoctl_path")
        if path:
            self.path = path
        else:
            self.path = module.get_bin_path("kivoctl")
            if not self.path:
                module.fail_json(msg="kivoctl is not installed on the managed host (not found on PATH): "
                                     "install the kivo package there, or name it with kivoctl_path")

    def base(self):
        args = [self.path, "--json"]
        if self.module.params.get("port") is not None:
            args += ["--port", str(self.module.params["port"])]
        if self.module.params.get("timeout") is not None:
            args += ["--timeout", repr(float(self.module.params["timeout"]))]
        return args

    def device_args(self):
        p = self.module.params
        args = ["-i", p["interface"], "-m", p["mac"], "--password-env", PASSWORD_ENV]
        if p["protocol"] == "scp":
            args.append("--scp")
        if p["vlan"]:
            args += ["--vlan", str(p["vlan"])]
        return args

    def run(self, command, args, device=True, prefix=None):
        """Runs 'kivoctl --json COMMAND ARGS'; returns (rc, document, stderr).

        prefix: a command line that runs kivoctl (for example a time limit).
        """
        argv = list(prefix or []) + self.base() + list(command)
        env = {"LC_ALL": "C"}
        if device:
            argv += self.device_args()
            env[PASSWORD_ENV] = self.module.params.get("password") or ""
        argv += list(args)
        rc, out, err = self.module.run_command(argv, environ_update=env)
        try:
            doc = json.loads(out) if out.strip() else None
        except ValueError:
            doc = None
        # Every kivoctl document is an object; anything else is not one of its documents.
        if not isinstance(doc, dict):
            doc = None
        # A failure without a document is still a failure: the callers name it with the exit
        # status and standard error. Success needs the document, whose values the task reports.
        if doc is None and rc == 0:
            self.module.fail_json(
                msg="kivoctl printed no JSON document: %s; install a kivoctl with --json "
                    "(the kivo package of this collection's release)" % (err or out).strip()[-500:],
                rc=rc, stderr=err)
        return rc, doc, err

    def fail(self, what, rc, doc, err, **result):
        """Fails the task with the exit code's meaning and kivoctl's own words."""
        error = doc.get("error") if isinstance(doc, dict) else None
        if not isinstance(error, dict):
            error = None
        meaning = EXIT_MEANING.get(rc, "kivoctl ended with status %d" % rc)
        parts = ["%s: %s" % (what, meaning)]
        if error:
            message = text_of(error, "message")
            parts.append(message)
            # kivoctl puts the reasons in its message already; keep them visible when it does not.
            for key, label in (("reason", "reason"), ("firmware_reason", "firmware reason")):
                reason = text_of(error.get(key), "text")
                if reason and reason not in message:
                    parts.append("%s: %s" % (label, reason))
            # After a usage error kivoctl points at its --help: the task's options were the
            # arguments, and the message above names the one at fault.
            if text_of(error, "hint") and rc != 2:
                parts.append("hint: %s" % error["hint"])
        elif err.strip():
            parts.append(err.strip()[-500:])
        self.module.fail_json(msg=" | ".join(p for p in parts if p), rc=rc, kivoctl=error, **result)


def text_of(record, key):
    """record[key] when record is an object and that is text, else an empty string."""
    value = record.get(key) if isinstance(record, dict) else None
    return value if isinstance(value, string_types) else ""


def comparisons(doc):
    """The per-name records of a 'kivoctl compare' document, by name, each with a text result.

    A record not shaped as kivoctl writes it is left out, so that a damaged document reads
    as names not answered rather than as values that are the same.
    """
    records = (doc or {}).get("comparisons")
    out = {}
    for r in records if isinstance(records, list) else []:
        if isinstance(r, dict) and isinstance(r.get("name"), string_types) \
                and isinstance(r.get("result"), string_types):
            if r["result"] in ("same", "differs") and not (isinstance(r.get("value"), string_types)
                                                           and isinstance(r.get("stored"), string_types)):
                continue
            out[r["name"]] = r
    return out


def write_results(doc, names):
    """What became of each name of a 'kivoctl set': (written, refused, not_written), the
    last two by name with the device's text or the reason nothing was written.

    A name the document does not account for counts as not written: a change is reported
    only for what kivoctl confirms written.
    """
    records = (doc or {}).get("results")
    by_name = {}
    for r in records if isinstance(records, list) else []:
        if isinstance(r, dict) and isinstance(r.get("name"), string_types):
            by_name[r["name"]] = r
    written, refused, not_written = [], {}, {}
    for name in names:
        r = by_name.get(name)
        text = text_of(r, "text")
        if r is not None and r.get("written") is True:
            written.append(name)
        elif r is not None and r.get("refused") is True:
            refused[name] = text or "refused by the device"
        else:
            not_written[name] = text or "kivoctl did not report this parameter as written"
    return written, refused, not_written
