"""Errors of the page's requests that a user can act on, through the real host with the page played
by Debian's websockets library. Files that cannot be opened: the player, the media tools and the
export keep their own text and code and add the cause in words (no such file, a folder, permission
denied); the host runs as an ordinary user, since as root every file is readable. A data folder
that cannot be resolved: the update store names it as the user sets it."""
import os
import subprocess
import unittest

from host_harness import give_to_ordinary_user, ordinary_user_wrapper, page_requests, start_with_page

OPEN_VIDEO = "native player: cannot open video (unsupported format or codec)"


class FileErrors(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        def prepare(host):
            root = host.root
            cls.video = os.path.join(root, "clip.mp4")
            subprocess.run(["ffmpeg", "-nostdin", "-y", "-v", "error", "-f", "lavfi", "-i",
                            "testsrc2=size=64x48:rate=10:duration=1", "-c:v", "libx264", "-pix_fmt", "yuv420p",
                            cls.video], check=True)
            cls.missing = os.path.join(root, "missing.mp4")
            cls.folder = os.path.join(root, "clips.mp4")
            os.makedirs(cls.folder)
            cls.locked = os.path.join(root, "locked.mp4")
            subprocess.run(["cp", cls.video, cls.locked], check=True)
            cls.readonly = os.path.join(root, "readonly")
            os.makedirs(cls.readonly)
            give_to_ordinary_user(root)
            os.chmod(cls.locked, 0)
            os.chmod(cls.readonly, 0o555)
        cls.host, cls.port, values = start_with_page("qv-file-errors-", prepare=prepare,
                                                     wrapper=ordinary_user_wrapper())
        cls.token = values[0]

    @classmethod
    def tearDownClass(cls):
        code = cls.host.remove()
        assert code == 0, "host exit code %r" % code

    def check(self, cases):
        replies = page_requests(self.port, self.token, [(t, p) for t, p, _ in cases])
        for n, (type_, payload, error) in enumerate(cases):
            self.assertEqual(replies[n], {"id": n, "error": error}, (type_, payload))

    def test_player(self):
        self.check([
            ("createNativePlayer", {"playerID": 1, "path": self.missing},
             OPEN_VIDEO + " (hr=0xfffffffe): no such file or folder"),
            ("createNativePlayer", {"playerID": 2, "path": self.folder}, OPEN_VIDEO + " (hr=0xffffffeb): is a folder"),
            ("createNativePlayer", {"playerID": 3, "path": self.locked},
             OPEN_VIDEO + " (hr=0xfffffff3): permission denied"),
            ("createNativePlayer", {"playerID": 4, "path": os.path.join(self.video, "inside.mp4")},
             OPEN_VIDEO + " (hr=0xffffffec): a part of the path is not a folder"),
        ])
        # The readable file opens: the causes above are the files', not the player's.
        opened, = page_requests(self.port, self.token, [("createNativePlayer", {"playerID": 5, "path": self.video})])
        self.assertEqual(opened["data"]["videoWidth"], 64, opened)

    def test_media_tools(self):
        cases = []
        for path, cause in ((self.missing, "no such file or folder"), (self.folder, "is a folder"),
                            (self.locked, "permission denied")):
            cases += [("probeVideoMetadata", {"filePath": path}, "failed to open source: " + cause),
                      ("decodeFrameNative", {"filePath": path, "timestampSec": 0}, "failed to open source: " + cause),
                      ("extractAudioNative", {"filePath": path, "startTimeSec": 0, "endTimeSec": 1},
                       "failed to open source: " + cause)]
        self.check(cases)

    def test_export(self):
        target = "MFCreateSinkWriterFromURL failed: "
        self.check([
            ("startNativeExport", {"outputPath": os.path.join(self.host.root, "no", "such", "x.mp4")},
             target + "no such file or folder"),
            ("startNativeExport", {"outputPath": os.path.join(self.readonly, "x.mp4")}, target + "permission denied"),
            ("startNativeExport", {"outputPath": self.folder}, target + "is a folder"),
            ("startNativeExport", {"outputPath": os.path.join(self.host.root, "x.qvz")},
             target + "no container format for the file's extension"),
        ])
        self.assertEqual(os.listdir(self.readonly), [])
        self.assertEqual(os.listdir(self.folder), [])  # nothing written into the folder named as the file


class UpdateStoreWithoutDataFolder(unittest.TestCase):
    """Neither $XDG_DATA_HOME nor $HOME names a folder: the update store's requests say which
    folder could not be resolved, in the terms the user sets it with."""

    def test_update_requests_name_the_data_folder(self):
        def prepare(host):
            host.env["HOME"] = "home"  # relative: not a place the host may write to
            host.env.pop("XDG_DATA_HOME")
            host.env["QVN_WEBVIEW_DATA"] = os.path.join(host.root, "webview")
        host, port, values = start_with_page("qv-no-data-", prepare=prepare)
        try:
            folder = ("could not resolve the data folder ($XDG_DATA_HOME, else $HOME/.local/share): "
                      "neither is set to an absolute path")
            replies = page_requests(port, values[0], [("finalizeOtaUpdate", {"sha256": "00" * 32, "version": "2"}),
                                                      ("getOtaStagingPath", {})])
            self.assertEqual(replies, [{"id": 0, "error": folder},
                                       {"id": 1, "error": "could not resolve OTA staging path: " + folder}])
        finally:
            code = host.remove()
        self.assertEqual(code, 0)


if __name__ == "__main__":
    unittest.main()
