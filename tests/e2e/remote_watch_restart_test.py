"""The watch of remote_watch_test across a crash of A's plugin: its first run publishes and
crashes, the supervisor restarts it, and the new run counts its seqs from 1 again. A drops the
watch once B saw the first run end (the new run publishes while B is away), before the crash (B is
away for the whole restart), or once B saw the end with B back before the new run publishes. B,
back with a renewed token, resumes the new run from its start rather than from the old run's last
seq, and gets nothing twice. QV_WATCH_RESTART_CASE picks the case of an inside run."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from netns_lab import main, run_inside  # noqa: E402
from remote_watch_test import SHORT_IDLE_S, watch  # noqa: E402


CASES = ("after-end", "whole-restart", "before-new-run")


def inside():
    return watch(SHORT_IDLE_S, SHORT_IDLE_S * 2, True, crash=os.environ.get("QV_WATCH_RESTART_CASE", CASES[0]))


class RemoteWatchRestart(unittest.TestCase):
    def test_a_watch_resumes_a_restarted_run_from_its_start(self):
        for case in CASES:
            with self.subTest(case=case):
                os.environ["QV_WATCH_RESTART_CASE"] = case
                try:
                    run_inside(self, __file__)
                finally:
                    del os.environ["QV_WATCH_RESTART_CASE"]


if __name__ == "__main__":
    main(inside)
