"""A preset the source cannot meet says what was saved instead, in the queue and in the history."""

from support import PayloadTest
from test_quality import video_page


class HonestPresetTest(PayloadTest):
    def test_what_was_saved_is_said(self):
        self.media.pages["/multi"] = video_page("720p", "480p", "240p")
        self.media.pages["/large-only"] = video_page("720p")
        self.media.pages["/small-only"] = video_page("240p")
        # (page, preset, what the job and its history row say besides the preset)
        cases = [
            ("multi", "480p", ""),
            ("multi", "best", ""),
            ("multi", "1080p", "720p（没有 1080p）"),
            ("large-only", "480p", "720p（没有 480p）"),
            ("small-only", "720p", "240p（没有 720p）"),
        ]
        for page, preset, got in cases:
            with self.subTest(page=page, preset=preset):
                job = self.server.finish(self.media.url(page), preset, force=True)
                self.assertEqual((job["state"], job["format"], job["got"]), ("done", preset, got), job["error"])
        # The history keeps it through a restart.
        self.server.stop()
        self.server = self.start_server()
        history = self.server.request("GET", "/api/history")[1]["entries"]
        self.assertEqual(sorted((e["format"], e["got"]) for e in history), sorted((c[1], c[2]) for c in cases))
