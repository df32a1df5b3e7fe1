"""The watch of remote_watch_test across a crash of A's plugin: its first run publishes five frames
and crashes, the supervisor restarts it, and the new run counts its seqs from 1 again. B sees the
first run end; A then drops the watch, the restarted run publishes while B is away, and B, back
with a renewed token, resumes the new run from its start rather than from the old run's last seq."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from netns_lab import main, run_inside  # noqa: E402
from remote_watch_test import SHORT_IDLE_S, watch  # noqa: E402


def inside():
    return watch(SHORT_IDLE_S, SHORT_IDLE_S * 2, True, crash=True)


class RemoteWatchRestart(unittest.TestCase):
    def test_a_watch_resumes_a_restarted_run_from_its_start(self):
        run_inside(self, __file__)


if __name__ == "__main__":
    main(inside)
