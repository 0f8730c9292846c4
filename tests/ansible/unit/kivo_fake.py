# -*- coding: utf-8 -*-
"""Runs a module's main() in the test process with kivoctl replaced by recorded documents.

The module sees the arguments a task would give it; every command line it would run is
recorded (with the environment it would get) and answered from a script of replies, so
that a test reads what was asked of kivoctl as well as what the task reported.
"""

import json
import unittest
from unittest import mock

from ansible.module_utils import basic
from ansible.module_utils.common.text.converters import to_bytes

KIVOCTL = "/opt/test/kivoctl"
DEVICE = dict(interface="eth1", mac="02:00:00:00:10:01", password="pw-4f1a", kivoctl_path=KIVOCTL)


class Finished(Exception):
    """The module ended; result holds what it reported, failed or not."""

    def __init__(self, result):
        Exception.__init__(self, result.get("msg", ""))
        self.result = result


def _exit_json(self, **result):
    result.setdefault("changed", False)
    result["failed"] = False
    result["warnings"] = list(getattr(self, "_kivo_warnings", []))
    raise Finished(result)


def _fail_json(self, msg, **result):
    result.update(msg=msg, failed=True)
    result["warnings"] = list(getattr(self, "_kivo_warnings", []))
    raise Finished(result)


def _warn(self, warning):
    self._kivo_warnings = getattr(self, "_kivo_warnings", []) + [warning]


def compare_doc(*records):
    """A 'kivoctl compare --json' document of (name, result, value, wanted, stored[, text])."""
    out = []
    for r in records:
        name, result, value, wanted, stored = r[:5]
        out.append(dict(name=name, result=result, differs=result == "differs", type="STRING", value=value,
                        wanted=wanted, stored=stored, as_values=True, text=r[5] if len(r) > 5 else ""))
    return dict(comparisons=out)


def set_doc(*results):
    """A 'kivoctl set --json' document of (name, result, text)."""
    return dict(results=[dict(name=n, result=res, written=res == "written", refused=res == "refused", text=t)
                         for n, res, t in results])


class ModuleCase(unittest.TestCase):
    """Runs a module's main() against scripted kivoctl replies."""

    def run_module(self, module, args, replies):
        """replies: per kivoctl command word ("compare", "set", ...) a list of (rc, document
        or text, stderr), used in order. Returns the result; self.calls holds (argv, env)."""
        self.calls = []
        scripts = dict((k, list(v)) for k, v in replies.items())

        def run_command(this, argv, environ_update=None, **kwargs):
            env = dict(environ_update or {})
            self.calls.append((list(argv), env))
            words = [a for a in argv if not a.startswith("-")]
            command = next((w for w in words[1:] if w in scripts), None)
            if command is None or not scripts[command]:
                raise AssertionError("kivoctl run with no reply scripted: %r" % (argv,))
            rc, out, err = scripts[command].pop(0)
            return rc, out if isinstance(out, str) else json.dumps(out), err

        basic._ANSIBLE_ARGS = to_bytes(json.dumps({"ANSIBLE_MODULE_ARGS": args}))
        with mock.patch.multiple(basic.AnsibleModule, exit_json=_exit_json, fail_json=_fail_json,
                                 warn=_warn, run_command=run_command):
            with self.assertRaises(Finished) as ended:
                module.main()
        return ended.exception.result

    def commands(self):
        """The kivoctl command words run, in order ("compare", "set", ...)."""
        out = []
        for argv, _ in self.calls:
            words = [a for a in argv[1:] if not a.startswith("-")]
            out.append(next(w for w in words if w in ("compare", "set", "get", "discover", "fw", "reset")))
        return out

    def assignments(self, index):
        """The NAME=VALUE arguments of the index-th kivoctl run."""
        return [a for a in self.calls[index][0] if "=" in a and not a.startswith("-")]
