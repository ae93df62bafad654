"""How pacpick reaches a system: the Arch package that makepkg builds from this
checkout, installed with pacman into a test world and run from there; `make
install` and `make uninstall`; and the manual page they both ship.

The package is built once for the module, from a copy of the checkout, by an
unprivileged user (makepkg refuses to run as root), with two compile jobs."""

import gzip
import os
import shutil
import stat
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

from harness import REPO_ROOT, Exit
from conftest import pacpick_binary

MAN_PAGE = REPO_ROOT / "docs" / "pacpick.1"
LICENSE = REPO_ROOT / "LICENSE"
# Who builds the package when the tests run as root: the conventional
# unprivileged "nobody", by number, so that no account has to exist or be made.
BUILDER_ID = 65534


def checkout_entries_to_skip(directory, names):
    """What a copy of the checkout leaves out: build trees, earlier packages,
    version control and caches; only sources go into the package build."""
    skipped = {name for name in names if name in ("__pycache__", "corpus-work") or ".pkg.tar" in name}
    if Path(directory) == REPO_ROOT:
        skipped |= {name for name in names
                    if name in (".git", ".cache") or name == "build" or name.startswith("build-")}
    return skipped


def make_everything_removable(tree):
    """makepkg leaves its package staging directory without read or write
    permission; give the owner both back so that the tree can be deleted."""
    for parent, directories, _ in os.walk(tree):
        for name in directories:
            os.chmod(os.path.join(parent, name), stat.S_IRWXU)


def run_makepkg(checkout):
    """Runs makepkg in `checkout` as an unprivileged user; returns the
    CompletedProcess (output merged) and the seconds it took."""
    env = {
        "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
        "HOME": str(checkout),
        "LC_ALL": "C.UTF-8",
        "MAKEFLAGS": "-j2",
        "CMAKE_BUILD_PARALLEL_LEVEL": "2",
    }
    if not shutil.which("makepkg"):
        pytest.fail("makepkg not found; scripts/bootstrap installs it")
    argv = ["makepkg", "--clean", "--nodeps", "--noconfirm", "--nocolor", "--noprogressbar"]
    if os.geteuid() == 0:
        for path in [checkout, *checkout.rglob("*")]:
            os.lchown(path, BUILDER_ID, BUILDER_ID)
        setpriv = shutil.which("setpriv") or pytest.fail("setpriv (util-linux) is needed to build as non-root")
        argv = [setpriv, f"--reuid={BUILDER_ID}", f"--regid={BUILDER_ID}", "--clear-groups", *argv]
    started = time.monotonic()
    result = subprocess.run(argv, cwd=checkout, env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return result, time.monotonic() - started


@pytest.fixture(scope="module")
def package():
    """The path of the pacpick package built by makepkg from a copy of this checkout."""
    # Not under pytest's own temporary directory: that one is private to the
    # user running the tests, and the builder must be able to reach the copy.
    workspace = Path(tempfile.mkdtemp(prefix="pacpick-package-"))
    try:
        checkout = workspace / "pacpick"
        shutil.copytree(REPO_ROOT, checkout, symlinks=True, ignore=checkout_entries_to_skip)
        os.chmod(workspace, 0o755)
        result, seconds = run_makepkg(checkout)
        if result.returncode != 0:
            pytest.fail(f"makepkg exited with {result.returncode} after {seconds:.0f} s:\n{result.stdout[-6000:]}")
        print(f"makepkg built the package in {seconds:.1f} s")
        # The sources stay as they were: makepkg's work directory is not src/.
        assert (checkout / "src" / "main" / "main.cc").is_file(), "makepkg --clean took the source tree with it"
        built = [path for path in checkout.glob("pacpick-*.pkg.tar*") if not path.name.endswith(".sig")]
        assert len(built) == 1, f"expected one package, found {[p.name for p in built]}"
        yield built[0]
    finally:
        make_everything_removable(workspace)
        shutil.rmtree(workspace)


def install_package(world, package_file):
    """`sudo pacman -U` of the package in the world. The world is no whole Arch
    system: it lacks glibc and the other dependencies, so they are not checked."""
    result = subprocess.run(["sudo", "pacman", "-U", "--noconfirm", "--nodeps", "--nodeps", str(package_file)],
                            env=world.env(), cwd=world.path, stdin=subprocess.DEVNULL,
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr


def files_of(world, name):
    """The files (not directories) that `pacman -Ql` lists for the package."""
    result = world.pacman("-Ql", name)
    assert result.returncode == 0, result.stderr
    paths = [line.split(" ", 1)[1] for line in result.stdout.splitlines()]
    return sorted(Path(path) for path in paths if not path.endswith("/"))


class TestArchPackage:
    def test_installs_the_program_its_manual_page_and_its_licence(self, package, scratch_world):
        install_package(scratch_world, package)
        usr = scratch_world.root / "usr"
        program, manual = usr / "bin" / "pacpick", usr / "share" / "man" / "man1" / "pacpick.1.gz"
        licence = usr / "share" / "licenses" / "pacpick" / "LICENSE"
        assert files_of(scratch_world, "pacpick") == sorted([program, manual, licence])
        assert os.access(program, os.X_OK)
        # makepkg compresses manual pages; the page is ours, unchanged.
        assert gzip.decompress(manual.read_bytes()) == MAN_PAGE.read_bytes()
        assert licence.read_bytes() == LICENSE.read_bytes()

    def test_declares_the_licence_its_text_is(self, package, scratch_world):
        install_package(scratch_world, package)
        info = scratch_world.pacman("-Qi", "pacpick")
        assert info.returncode == 0, info.stderr
        declared = [line.split(":", 1)[1].split() for line in info.stdout.splitlines()
                    if line.startswith("Licenses")]
        assert declared == [["MIT"]]
        text = LICENSE.read_text()
        assert text.startswith("MIT License\n\nCopyright (c) 2026 pacpick developers\n")
        assert "Permission is hereby granted, free of charge" in text

    def test_the_installed_program_runs_and_quits_on_esc(self, package, scratch_world, pacpick):
        install_package(scratch_world, package)
        terminal = pacpick(scratch_world, binary=scratch_world.root / "usr" / "bin" / "pacpick")
        terminal.wait_for_text("[install]")
        terminal.press("esc")
        assert terminal.wait_exit() == Exit(code=0, signal=None), terminal.describe()
        assert terminal.stty_after() == terminal.stty_before


class TestMakeInstall:
    def test_install_and_uninstall_touch_exactly_the_stripped_program_its_manual_page_and_licence(self, tmp_path):
        binary = pacpick_binary()
        # The Makefile installs from ./build-release; point that at the build
        # under test and tell make not to rebuild it (-o release), so that no
        # compiler runs here.
        workdir = tmp_path / "work"
        workdir.mkdir()
        (workdir / "build-release").symlink_to(binary.parent)
        destdir, prefix = tmp_path / "dest", "/opt/pacpick"
        make = ["make", "-s", "-f", str(REPO_ROOT / "Makefile"), "-o", "release",
                f"DESTDIR={destdir}", f"PREFIX={prefix}"]

        result = subprocess.run([*make, "install"], cwd=workdir, capture_output=True, text=True)
        assert result.returncode == 0, result.stdout + result.stderr
        root = destdir / prefix.lstrip("/")
        program, manual = root / "bin" / "pacpick", root / "share" / "man" / "man1" / "pacpick.1"
        licence = root / "share" / "licenses" / "pacpick" / "LICENSE"
        assert sorted(p for p in destdir.rglob("*") if not p.is_dir()) == sorted([program, manual, licence])
        stripped = tmp_path / "stripped"
        subprocess.run(["strip", "-o", str(stripped), str(binary)], check=True)
        assert program.read_bytes() == stripped.read_bytes() and os.access(program, os.X_OK)
        assert manual.read_bytes() == MAN_PAGE.read_bytes()
        assert licence.read_bytes() == LICENSE.read_bytes()

        neighbour = root / "bin" / "pacpick-notes"
        neighbour.write_text("not ours\n")
        result = subprocess.run([*make, "uninstall"], cwd=workdir, capture_output=True, text=True)
        assert result.returncode == 0, result.stdout + result.stderr
        assert sorted(p for p in destdir.rglob("*") if not p.is_dir()) == [neighbour]
        assert not licence.parent.exists()


class TestManualPage:
    def test_renders_without_warnings_and_has_every_section(self):
        groff = shutil.which("groff") or pytest.fail("groff not found; scripts/bootstrap installs it")
        # -P-cbou: plain text, without the bold and underline of a terminal.
        result = subprocess.run([groff, "-man", "-Tutf8", "-ww", "-P-cbou", str(MAN_PAGE)],
                                capture_output=True, env={**os.environ, "LC_ALL": "C.UTF-8"})
        assert result.returncode == 0 and result.stderr == b"", result.stderr.decode(errors="replace")
        headings = [line for line in result.stdout.decode().splitlines() if line and not line[0].isspace()]
        for section in ["NAME", "SYNOPSIS", "DESCRIPTION", "KEYS", "EXIT STATUS", "ENVIRONMENT",
                        "SIGNALS", "FILES", "SEE ALSO"]:
            assert section in headings, f"no {section} section in {headings}"
