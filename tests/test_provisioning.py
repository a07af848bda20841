"""Which archive scripts/provision-python takes from the machine's apt sources,
and what a provisioned root says it holds.

`provision-python --print-source` reads the folder ZORVALIND_APT_DIR names in
place of /etc/apt and prints the private source line, or fails naming the
files it read; nothing is downloaded. `provision-python --list` prints the
manifest of the root the interpreter under test comes from.
"""

import collections
import os
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

from platforms import needs_subprocesses

ROOT = pathlib.Path(__file__).resolve().parent.parent
SCRIPT = ROOT / "scripts" / "provision-python"
DEFAULT_KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"
pytestmark = pytest.mark.thread_unsafe(
    reason="runs the provisioning script in a child process, on the files of one folder that the threads share"
)

MACHINE_DEB822 = """\
Types: deb
# a comment between fields
URIs: http://mirror.example/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: {key}

Types: deb
URIs: http://mirror.example/debian-security
Suites: bookworm-security
Components: main
Signed-By: {key}
"""


def print_source(apt_dir):
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHON", "EXTRA_PACKAGES")}
    env["ZORVALIND_APT_DIR"] = str(apt_dir)
    return subprocess.run(
        ["bash", SCRIPT, "--print-source"], env=env, capture_output=True, text=True, timeout=30
    )


@pytest.fixture
def apt_dir(tmp_path):
    (tmp_path / "sources.list.d").mkdir()
    key = tmp_path / "archive.gpg"
    key.write_bytes(b"")

    def write(files):
        for name, text in files.items():
            (tmp_path / name).write_text(textwrap.dedent(text).format(key=key))
        return tmp_path, str(key)

    return write


@needs_subprocesses
@pytest.mark.parametrize(
    "files, uri, own_key",
    [
        pytest.param({"sources.list.d/debian.sources": MACHINE_DEB822}, "http://mirror.example/debian", True,
                     id="deb822-main-before-security"),
        pytest.param(
            {"sources.list": "deb [arch=amd64 signed-by={key}] http://127.0.0.1:3142/debian/ trixie main contrib\n"},
            "http://127.0.0.1:3142/debian", True, id="one-line-proxy-with-options"),
        pytest.param({"sources.list": "deb http://mirror.example/debian sid main\n"},
                     "http://mirror.example/debian", False, id="one-line-without-key"),
        pytest.param(
            {"sources.list.d/a.sources": """\
                Types: deb
                URIs: http://off.example/debian
                Suites: bookworm
                Components: main
                Enabled: no

                Types: deb-src deb
                URIs: cdrom:/media/ https://mirror.example/debian
                Suites: stable-backports
                Components:
                 contrib
                 main
                """},
            "https://mirror.example/debian", False, id="deb822-disabled-cdrom-and-continuation"),
        pytest.param(
            {"sources.list": "deb http://first.example/debian bookworm main\n",
             "sources.list.d/b.list": "deb http://second.example/debian bookworm main\n"},
            "http://first.example/debian", False, id="sources-list-read-first"),
        pytest.param(
            {"sources.list": "# deb http://commented.example/debian bookworm main\n"
                             "deb https://vendor.example/apt cloud-sdk-bookworm main\n"
                             "deb http://mirror.example/debian bookworm-security main\n",
             "sources.list.d/z.sources": MACHINE_DEB822},
            "http://mirror.example/debian", True, id="vendor-and-security-skipped"),
    ],
)
def test_archive_is_taken_from_the_machine(apt_dir, files, uri, own_key):
    folder, key = apt_dir(files)
    result = print_source(folder)
    assert result.returncode == 0, result.stderr
    expected_key = key if own_key else DEFAULT_KEYRING
    assert result.stdout == f"deb [signed-by={expected_key}] {uri} sid main\n"


@needs_subprocesses
@pytest.mark.parametrize(
    "files",
    [
        pytest.param({}, id="no-files"),
        pytest.param({"sources.list.d/security.sources": MACHINE_DEB822.split("\n\n")[1]}, id="security-only"),
        pytest.param({"sources.list": "deb http://mirror.example/ubuntu jammy main\n"
                                      "deb-src http://mirror.example/debian bookworm main\n"
                                      "deb http://mirror.example/debian bookworm contrib\n"}, id="no-debian-main"),
    ],
)
def test_no_debian_archive_stops_naming_the_files_read(apt_dir, files):
    folder, _ = apt_dir(files)
    result = print_source(folder)
    assert result.returncode != 0
    assert result.stdout == ""
    message = result.stderr
    assert "no Debian archive" in message
    if files:
        assert all(str(folder / name) in message for name in files)
    else:
        assert "none" in message


# .toolchain/root, root-py3.15, root-<arch>, root-<arch>-py3.15.
ROOT_NAME = re.compile(r"root(?:-(?!py)([a-z0-9]+))?(?:-py(3\.\d+))?")


@needs_subprocesses
def test_root_manifest_names_one_version_of_each_cpython_package():
    root = pathlib.Path(sys.executable).parent.parent.parent
    named = ROOT_NAME.fullmatch(root.name)
    if not (root / "manifest").is_file() or not named:
        pytest.skip(f"{sys.executable} is not the interpreter of a provisioned root")
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHON", "EXTRA_PACKAGES")}
    env.update(ZORVALIND_TOOLCHAIN=str(root.parent), ARCH=named.group(1) or "amd64",
               PYVER="%d.%d" % sys.version_info[:2])
    listed = subprocess.run(["bash", SCRIPT, "--list"], env=env, capture_output=True, text=True, timeout=30)
    assert listed.returncode == 0, listed.stderr
    assert listed.stdout == (root / "manifest").read_text()
    lines = [line.split(" ") for line in listed.stdout.splitlines()]
    assert all(len(fields) == 2 and all(fields) for fields in lines), listed.stdout
    names = collections.Counter(name for name, _ in lines)
    assert [name for name, count in names.items() if count > 1] == []
    version = "%d.%d" % sys.version_info[:2]
    cpython = {name: v for name, v in lines if re.fullmatch(rf"(lib)?python{re.escape(version)}(-.*)?", name)}
    assert {f"python{version}", f"libpython{version}-stdlib"} <= set(cpython), sorted(cpython)
    # One version of them all, and the one this interpreter reports.
    assert len(set(cpython.values())) == 1, cpython
    assert cpython[f"python{version}"].startswith("%d.%d.%d" % sys.version_info[:3]), cpython
