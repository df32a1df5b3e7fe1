"""The command line: options that answer a question and mistakes end the program at once, without
starting the host, opening a window or writing a log or data folder."""
import os
import subprocess
import unittest

from host_harness import Host

USAGE = b"Usage: quorvane [OPTION]\n"


class CommandLine(unittest.TestCase):
    def setUp(self):
        self.host = Host(prefix="qv-cli-")
        self.addCleanup(self.host.remove)

    def written(self):
        """Every file or folder the program left in its throw-away root, apart from the program and
        its modules."""
        found = []
        for folder, dirs, files in os.walk(self.host.root):
            for name in dirs + files:
                path = os.path.join(folder, name)
                if path != self.host.exe_dir and path not in self.host.installed:
                    found.append(os.path.relpath(path, self.host.root))
        return found

    def test_each_option(self):
        # (arguments, exit code, what stdout starts with, what stderr holds)
        cases = [
            (["--help"], 0, USAGE, None),
            (["-h"], 0, USAGE, None),
            (["--version"], 0, b"quorvane 0.1.0.0\n", None),
            (["-V"], 0, b"quorvane 0.1.0.0\n", None),
            (["--hel"], 0, USAGE, None),  # an unambiguous prefix, as getopt_long allows
            (["--help", "--bogus"], 0, USAGE, None),  # answered before the rest is read
            (["--bogus"], 2, b"", [b"unrecognized option '--bogus'", USAGE]),
            (["-x"], 2, b"", [b"invalid option -- 'x'", USAGE]),
            (["--version=3"], 2, b"", [b"doesn't allow an argument", USAGE]),
            (["somefile"], 2, b"", [b"unexpected argument 'somefile'", USAGE]),
        ]
        for args, code, stdout, stderr in cases:
            with self.subTest(args=args):
                proc = subprocess.run([self.host.exe] + args, env=self.host.env, cwd=self.host.root,
                                      capture_output=True, timeout=30)
                self.assertEqual(proc.returncode, code, proc.stderr)
                if code == 0:
                    self.assertTrue(proc.stdout.startswith(stdout), proc.stdout)
                    self.assertEqual(proc.stderr, b"")
                else:
                    self.assertEqual(proc.stdout, b"")
                    for part in stderr:
                        self.assertIn(part, proc.stderr)
                self.assertEqual(self.written(), [])


if __name__ == "__main__":
    unittest.main()
