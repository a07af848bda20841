"""The win_amd64 wheel: its RECORD, its licence, and pip accepting its tags
(cp314-abi3) for Windows CPython 3.14 and later."""

import base64
import hashlib
import os
import pathlib
import subprocess
import sys
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
WHEEL = os.environ.get("ZORVALIND_WINDOWS_WHEEL", "")
CONTENT = ["_zorvalind.pyd", "_zorvalind.pyi", "_zorvalind-stubs/__init__.pyi"]


@pytest.fixture(scope="module")
def wheel():
    assert WHEEL and pathlib.Path(WHEEL).is_file(), "no win_amd64 wheel (make wheel-windows)"
    return pathlib.Path(WHEEL)


def test_record_lists_every_file_with_its_hash_and_size(wheel):
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        record_name = next(n for n in names if n.endswith(".dist-info/RECORD"))
        record = {}
        for line in archive.read(record_name).decode().splitlines():
            path, digest, size = line.rsplit(",", 2)
            record[path] = (digest, size)
        assert sorted(record) == sorted(names)
        assert record.pop(record_name) == ("", "")
        for path, (digest, size) in record.items():
            data = archive.read(path)
            expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            assert (digest, size) == (f"sha256={expected}", str(len(data))), path
    assert sorted(n for n in names if ".dist-info/" not in n) == sorted(CONTENT)


def test_carries_the_licence_and_its_metadata(wheel):
    with zipfile.ZipFile(wheel) as archive:
        (dist_info,) = {n.split("/")[0] for n in archive.namelist() if ".dist-info/" in n}
        assert archive.read(f"{dist_info}/licenses/LICENSE") == (ROOT / "LICENSE").read_bytes()
        fields = archive.read(f"{dist_info}/METADATA").decode().split("\n\n", 1)[0].splitlines()
    assert {"License-Expression: MIT", "License-File: LICENSE"} <= set(fields), fields


@pytest.mark.parametrize("version", ["3.14", "3.15"])
def test_pip_installs_it_for_windows(wheel, tmp_path, version):
    target = tmp_path / "site"
    result = subprocess.run(
        [sys.executable, "-m", "pip", "install", "--no-index", "--platform", "win_amd64", "--python-version",
         version, "--implementation", "cp", "--abi", "abi3", "--only-binary=:all:", "--no-deps",
         "--target", str(target), str(wheel)],
        capture_output=True, text=True, timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    for path in CONTENT:
        assert (target / path).is_file(), path
    installed = (target / CONTENT[0]).read_bytes()
    with zipfile.ZipFile(wheel) as archive:
        assert installed == archive.read(CONTENT[0])
    assert installed[:2] == b"MZ"
