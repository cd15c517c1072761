"""The video downloader served in the ZORMAK window."""
