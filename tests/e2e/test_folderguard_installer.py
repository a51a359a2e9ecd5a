"""Folderguard.dll as a real installer loads it: a small Unicode NSIS script,
compiled with makensis, calls both exports and writes what it popped to a
file; the installer runs silently under Wine in a throw-away prefix.

An installer loads plug-ins of its own width: the 32-bit build's plug-in is
called by an x86-unicode installer, the 64-bit build's by an amd64-unicode one
(which runs where no 32-bit program can). The product's setup calls the same
exports on the common vendor folder and the install folder (test_installer)."""
import os
import shutil
import subprocess
from pathlib import Path

import pytest

import marlin_e2e

BIN_DIR = Path(os.environ.get("MARLIN_BIN_DIR", ""))
TEMPLATE = os.environ.get("MARLIN_WINE_TEMPLATE", "")

SCRIPT = r"""
Unicode true
Target ${TARGET}
!addplugindir /${TARGET} "${PLUGINS}"
Name "Folderguard check"
OutFile "${OUTFILE}"
RequestExecutionLevel user

Section
  Push "bottom"
  SetFileAttributes "${TREE}\sub\locked.txt" READONLY
  Folderguard::IsPublicFolder "${TREE}"
  Pop $0
  Pop $1
  Folderguard::IsPublicFolder "${TREE}\missing"
  Pop $2
  Pop $3
  Folderguard::RemoveFolder "${TREE}"
  Pop $4
  Folderguard::RemoveFolder "${TREE}"
  Pop $5
  Pop $6
  FileOpen $9 "${ANSWERS}" w
  FileWrite $9 "public=$0 error=$1$\n"
  FileWrite $9 "missing-public=$2 missing-error=$3$\n"
  FileWrite $9 "remove=$4 remove-again=$5 bottom=$6$\n"
  FileClose $9
  SetErrorLevel 0
SectionEnd
"""


@pytest.fixture
def prefix(tmp_path):
    if not TEMPLATE or not (Path(TEMPLATE) / "system.reg").is_file():
        pytest.fail("MARLIN_WINE_TEMPLATE does not name a prepared prefix; run through ./marlin test")
    path = tmp_path / "prefix"
    subprocess.run(["cp", "-a", TEMPLATE, str(path)], check=True)
    env = dict(os.environ, WINEPREFIX=str(path), WINEARCH=marlin_e2e.wine_arch(), WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    yield path, env
    subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    shutil.rmtree(path, ignore_errors=True)


def test_installer_calls_both_exports(prefix, tmp_path):
    path, env = prefix
    drive_c = path / "drive_c"
    tree = drive_c / "fg" / "tree"
    (tree / "sub").mkdir(parents=True)
    (tree / "a.txt").write_text("a")
    (tree / "sub" / "locked.txt").write_text("b")

    plugins = tmp_path / "plugins"
    plugins.mkdir()
    shutil.copy(BIN_DIR / "Folderguard.dll", plugins)
    script = tmp_path / "check.nsi"
    script.write_text(SCRIPT)
    installer = tmp_path / "check.exe"
    target = "amd64-unicode" if marlin_e2e.service_bits() == 64 else "x86-unicode"
    defines = {"TARGET": target, "PLUGINS": str(plugins), "OUTFILE": str(installer), "TREE": "C:\\fg\\tree",
               "ANSWERS": "C:\\fg\\answers.txt"}
    subprocess.run(["makensis", "-V2", *[f"-D{k}={v}" for k, v in defines.items()], str(script)],
                   check=True, timeout=60)

    # Output to a file: Wine's background services keep inherited pipes open.
    with open(tmp_path / "wine.log", "wb") as log:
        run = subprocess.run([marlin_e2e.wine_loader(), str(installer), "/S"], env=env, cwd=tmp_path,
                             stdout=log, stderr=log, timeout=120)
    assert run.returncode == 0, (tmp_path / "wine.log").read_text(errors="replace")

    answers = (drive_c / "fg" / "answers.txt").read_text().split()
    # Wine reports its own DACL for every folder (Everyone 0x1200a9, with
    # READ_CONTROL), so an existing folder is public here.
    assert answers == ["public=1", "error=0",
                       "missing-public=0", "missing-error=0",
                       "remove=0", "remove-again=2", "bottom=bottom"]
    assert not tree.exists()
