"""The manual pages as groff sets them for a terminal, at widths from 50 to
120 columns: groff has nothing to say, no word breaks at a hyphen, no
number is parted from its unit (339 / bytes, 5 / 秒) and no name from its
number (serial port / 1, 字碼頁 / 950, QJ-570 / RS232), and no line ends in
an opening bracket or starts with a closing mark (編號（ / 一般, 。 / 本).

    man_check.py PAGE...
"""
import re
import subprocess
import sys

UNIT = r"[\u4e00-\u9fff×]|(bytes|baud|s|KiB|columns|pixels|by|data|stop|bits)\b"
NAMED = r"(序列埠|字碼頁|狀態為|鮑率|QJ-570|serial port|code page|status)$"

failures = []
for page in sys.argv[1:]:
    for width in (50, 58, 60, 66, 72, 78, 80, 90, 100, 120):
        # -Wbreak: groff 1.23 (Debian 13) warns that it "cannot adjust" a
        # line of Chinese, which has no spaces to widen; man shows it as is.
        shown = subprocess.run(
            ["groff", "-k", "-man", "-Wbreak", "-Tutf8", f"-rLL={width}n", f"-rLT={width}n",
             "-P-cbou", page],
            capture_output=True, text=True, check=True)
        if shown.stderr:
            failures.append(f"{page} at {width}: {shown.stderr.strip()}")
        lines = shown.stdout.splitlines()
        for line, after in zip(lines, lines[1:]):
            indent = len(after) - len(after.lstrip())
            if not line.strip() or indent != len(line) - len(line.lstrip()):
                continue  # not one paragraph
            line, after = line.rstrip(), after.lstrip()
            hyphen = re.search(r"\w[-\u2010]$", line) and re.match(r"\w", after)
            unit = re.search(r"(^|[\s(（])\d+$", line) and re.match(UNIT, after)
            named = re.search(NAMED, line) and re.match(r"\d|RS232", after)
            bracket = re.search(r"[（「]$", line) or re.match(r"[，。、；：）」]", after)
            if hyphen or unit or named or bracket:
                failures.append(f"{page} at {width}: ...{line[-16:]} / {after[:16]}...")
print("\n".join(failures) or f"{len(sys.argv) - 1} pages: no word, number or name parted")
sys.exit(1 if failures else 0)
