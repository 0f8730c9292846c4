# -*- coding: utf-8 -*-
# One JSON document for the whole run on standard output, for the Ansible integration test:
# per play its tasks, per task each host's result, and per host the run's statistics.
# ansible-core has no such callback of its own (ansible.posix.json comes with the far larger
# Debian package "ansible"); this one writes the fields the test reads in the same shape.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
name: kivo_test_json
type: stdout
short_description: The run as one JSON document (kivo's tests)
description:
  - Plays, tasks, each host's result and the statistics, printed once at the end of the run.
"""

import json

from ansible.plugins.callback import CallbackBase


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = "stdout"
    CALLBACK_NAME = "kivo_test_json"

    def __init__(self, *args, **kwargs):
        super(CallbackModule, self).__init__(*args, **kwargs)
        self.plays = []

    def v2_playbook_on_play_start(self, play):
        self.plays.append({"play": {"name": play.get_name()}, "tasks": []})

    def v2_playbook_on_task_start(self, task, is_conditional):
        self.plays[-1]["tasks"].append({"task": {"name": task.get_name()}, "hosts": {}})

    def _record(self, result, **extra):
        record = dict(result._result)
        record.update(extra)
        self.plays[-1]["tasks"][-1]["hosts"][result._host.get_name()] = record

    def v2_runner_on_ok(self, result, **kwargs):
        self._record(result)

    def v2_runner_on_failed(self, result, ignore_errors=False):
        self._record(result, failed=True)

    def v2_runner_on_skipped(self, result):
        self._record(result, skipped=True)

    def v2_runner_on_unreachable(self, result):
        self._record(result, unreachable=True)

    def v2_playbook_on_stats(self, stats):
        summary = dict((host, stats.summarize(host)) for host in sorted(stats.processed))
        self._display.display(json.dumps({"plays": self.plays, "stats": summary}, indent=1, sort_keys=True,
                                         default=str))
