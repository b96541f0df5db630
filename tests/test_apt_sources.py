"""tools/apt_archive_uri.sh: the Debian archive the interpreter and cross roots are
fetched from, read from apt's sources in either format. Host names are examples."""

import os
import subprocess

import pytest

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "apt_archive_uri.sh")

ONE_LINE = """\
# deb http://commented.example/debian bookworm main
deb-src http://source.example/debian bookworm main
deb http://security.example/debian-security buster/updates main
deb http://mirror.example/updates bookworm-security main
deb cdrom:[Debian GNU/Linux 12 _Bookworm_]/ bookworm main
deb [arch=amd64 signed-by=/usr/share/keyrings/k.gpg] http://mirror.example/debian/ bookworm main # ours
deb http://later.example/debian bookworm main
"""

DEB822 = """\
Types: deb
URIs: http://disabled.example/debian
Suites: bookworm
Enabled: No

Types: deb-src
URIs: http://source.example/debian
Suites: bookworm

Types: deb
URIs: http://mirror.example/debian-security
Suites: bookworm-security
Components: main

# Types: deb
Types: deb-src deb
URIs: file:///srv/mirror/ http://second.example/debian
Suites: trixie trixie-updates
Components: main
Signed-By: /usr/share/keyrings/k.gpg
"""


@pytest.mark.parametrize("files, expected", [
    ({"sources.list": ONE_LINE}, "http://mirror.example/debian"),
    ({"sources.list.d/a.list": "deb-src http://source.example/debian trixie main\n",
      "sources.list.d/debian.sources": DEB822}, "file:///srv/mirror"),
    # one-line sources come first, whichever file they are in
    ({"sources.list.d/z.list": "deb http://line.example/debian trixie main\n",
      "sources.list.d/a.sources": DEB822}, "http://line.example/debian"),
    ({"sources.list": "deb-src http://source.example/debian trixie main\n",
      "sources.list.d/debian.sources": DEB822.split("# Types")[0]}, None),
    ({}, None),
], ids=["one-line", "deb822", "one-line-first", "only-security-and-sources", "none"])
def test_archive_uri_is_the_first_binary_non_security_source(tmp_path, files, expected):
    (tmp_path / "sources.list.d").mkdir()
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    out = subprocess.run(["bash", SCRIPT, str(tmp_path)], capture_output=True, text=True, timeout=30)
    assert (out.returncode, out.stdout) == ((1, "") if expected is None else (0, expected + "\n")), out.stderr
