"""Checks TITLE.json against TITLE.tap and TITLE.log: it parses, names the
recordings given, and its blocks are the image's blocks, CRC-32 for CRC-32.

Usage: check_report.py TITLE RECORDING...; exits non-zero with the reason."""
import json
import sys
import zlib

title, recordings = sys.argv[1], sys.argv[2:]
report = json.load(open(title + ".json", encoding="utf-8"))
log = open(title + ".log", "rb").read().decode("utf-8")

tap = open(title + ".tap", "rb").read()
image = []
while tap:
    length = tap[0] | tap[1] << 8
    image.append("%08x" % zlib.crc32(tap[2:2 + length]))
    tap = tap[2 + length:]

assert [r["file"] for r in report["recordings"]] == recordings, report["recordings"]
for recording in report["recordings"]:
    for key in ("format", "rate", "channels", "duration", "shares", "warnings"):
        assert key in recording, key
assert [b["crc32"] for b in report["blocks"] if b["tap"]] == image, (report["blocks"], image)
for block in report["blocks"]:
    assert block["verdict"] in ("ok", "bad"), block
    assert block["kind"] in ("rom", "turbo", "pure-data"), block
    if block["verdict"] == "bad":
        assert block["broke"] is not None, block
    if report["method"] == "merge" and block["reader"] != "voted":
        assert isinstance(block["take"], int), block
summary = report["summary"]
assert summary["blocks"] == len(report["blocks"]) == summary["good"] + summary["bad"], summary
assert len(log.splitlines()) >= len(report["blocks"]) + 1, log
