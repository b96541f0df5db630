"""tools/apt_archive_uri.sh: the Debian archive the interpreter and cross roots are
fetched from, read from apt's sources in either format. Host names are examples."""

import os
import subprocess

import pytest

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "apt_archive_uri.sh")

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


def test_root_config_carries_pip_settings_and_reports_local_indexes(tmp_path):
    """tools/root_config.sh: the files pip's settings name are copied into the root
    (the CA bundle, a constraints file), and the local folders they name are
    reported for mounting, a simple index by the folder above it."""
    home, root = tmp_path / "home", tmp_path / "root"
    (home / ".config" / "pip").mkdir(parents=True)
    (root / "etc").mkdir(parents=True)
    wheels, index = tmp_path / "wheels", tmp_path / "mirror" / "simple"
    wheels.mkdir()
    index.mkdir(parents=True)
    constraints, bundle = tmp_path / "constraints.txt", tmp_path / "ca.pem"
    constraints.write_text("numpy<3\n")
    bundle.write_text("certificate\n")
    (home / ".config" / "pip" / "pip.conf").write_text(
        f"[global]\nindex-url = file://{index}/\nconstraint = {constraints}\n")
    env = {"PATH": os.environ["PATH"], "HOME": str(home), "SSL_CERT_FILE": str(bundle),
           "PIP_FIND_LINKS": f"{wheels} /nowhere/at/all"}
    out = subprocess.run(["bash", os.path.join(os.path.dirname(SCRIPT), "root_config.sh"), str(root)],
                         env=env, capture_output=True, text=True, timeout=30)
    assert out.returncode == 0, out.stderr
    assert {str(wheels), str(index.parent)} <= set(out.stdout.split())
    assert "/nowhere/at/all" not in out.stdout
    for carried in (constraints, bundle, home / ".config" / "pip" / "pip.conf"):
        assert (root / str(carried).lstrip("/")).read_text() == carried.read_text()
