"""How pacpick reaches a system: the Arch package that makepkg builds from the
release tarball, installed with pacman into a test world and run from there;
`make install` and `make uninstall`; the manual page they all ship; and the
configure step of `make run`, which needs no test framework.

The package is built once for the module as an Arch user builds it: `make dist`
in a clone of this checkout's commit writes the tarball, named after that
commit, and the PKGBUILD that names its version and checksum, and only those
two go into an empty directory, where an unprivileged user (makepkg refuses to
run as root) runs makepkg with two compile jobs and with flags of its own in
makepkg.conf, as Arch's are. The committed PKGBUILD keeps the checksum of the
release it packages: the tarball `make dist` writes at the commit that set
that checksum."""

import gzip
import hashlib
import os
import re
import shutil
import stat
import subprocess
import tarfile
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
# Arch's own compile and link flags, so that the test sees them reach the
# compiler and the linker through makepkg.conf (Debian's sets none).
MAKEPKG_CXXFLAGS = ("-march=x86-64 -mtune=generic -O2 -pipe -fno-plt -fexceptions -Wp,-D_FORTIFY_SOURCE=3 "
                    "-Wformat -Werror=format-security -fstack-clash-protection -fcf-protection "
                    "-Wp,-D_GLIBCXX_ASSERTIONS")
MAKEPKG_LDFLAGS = "-Wl,-O1 -Wl,--sort-common -Wl,--as-needed -Wl,-z,relro -Wl,-z,now"


def make_everything_removable(tree):
    """makepkg leaves its package staging directory without read or write
    permission; give the owner both back so that the tree can be deleted."""
    for parent, directories, _ in os.walk(tree):
        for name in directories:
            os.chmod(os.path.join(parent, name), stat.S_IRWXU)


def run_makepkg(directory, config):
    """Runs makepkg in `directory` as an unprivileged user; returns the
    CompletedProcess (output merged) and the seconds it took."""
    env = {
        "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
        "HOME": str(directory),
        "LC_ALL": "C.UTF-8",
        "MAKEFLAGS": "-j2",
        "CMAKE_BUILD_PARALLEL_LEVEL": "2",
    }
    if not shutil.which("makepkg"):
        pytest.fail("makepkg not found; scripts/bootstrap test installs it")
    argv = ["makepkg", "--config", str(config), "--noconfirm", "--nocolor", "--noprogressbar"]
    # Elsewhere the dependencies are no Arch packages: the test layer has them.
    if not Path("/etc/arch-release").exists():
        argv.append("--nodeps")
    if os.geteuid() == 0:
        for path in [directory, *directory.rglob("*")]:
            os.lchown(path, BUILDER_ID, BUILDER_ID)
        setpriv = shutil.which("setpriv") or pytest.fail("setpriv (util-linux) is needed to build as non-root")
        argv = [setpriv, f"--reuid={BUILDER_ID}", f"--regid={BUILDER_ID}", "--clear-groups", *argv]
    started = time.monotonic()
    result = subprocess.run(argv, cwd=directory, env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return result, time.monotonic() - started


def git(clone, *args):
    return subprocess.run(["git", *args], cwd=clone, capture_output=True, text=True, check=True).stdout


def sha256sums_of(pkgbuild):
    return re.search(r"^sha256sums=\('([0-9a-f]{64})'\)$", pkgbuild, re.MULTILINE)[1]


def pkgver_of(pkgbuild):
    return re.search(r"^pkgver=(.*)$", pkgbuild, re.MULTILINE)[1]


def checkout_version(clone):
    """What the tarball of the clone's sources is named after: the release's
    pkgver, then as many commits after the release (the commit that last set
    the checksum) as the sources are, and their commit."""
    release = git(clone, "log", "-1", "--format=%H", "-G^sha256sums=", "--", "PKGBUILD").strip()
    sources = git(clone, "log", "-1", "--format=%H", "--", ".", ":!PKGBUILD", ":!.SRCINFO").strip()
    since = int(git(clone, "rev-list", "--count", f"{release}..{sources}"))
    pkgver = pkgver_of((clone / "PKGBUILD").read_text())
    return f"{pkgver}.r{since}.g{git(clone, 'rev-parse', '--short=7', sources).strip()}" if since else pkgver


def make_dist(workspace):
    """`make dist` in a clone of this checkout's commit; returns the clone's
    dist/ directory."""
    clone = workspace / "clone"
    subprocess.run(["git", "clone", "-q", str(REPO_ROOT), str(clone)], check=True)
    result = subprocess.run(["make", "-s", "dist"], cwd=clone, capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    assert git(clone, "status", "--porcelain") == "", "make dist changed the checkout"
    dist = clone / "dist"
    # The tarball, its top directory and the PKGBUILD's pkgver name the
    # sources' commit, so that no two contents ever share a name.
    version = checkout_version(clone)
    [tarball] = dist.glob("*.tar.gz")
    assert tarball.name == f"pacpick-{version}.tar.gz"
    assert pkgver_of((dist / "PKGBUILD").read_text()) == version
    with tarfile.open(tarball) as archive:
        assert {name.split("/")[0] for name in archive.getnames()} == {f"pacpick-{version}"}
    assert sha256sums_of((dist / "PKGBUILD").read_text()) == hashlib.sha256(tarball.read_bytes()).hexdigest()
    # Apart from the version and the checksum, dist/ has the committed
    # PKGBUILD, and the committed .SRCINFO is makepkg's reading of it.
    release = pkgver_of((clone / "PKGBUILD").read_text())
    for name in ["PKGBUILD", ".SRCINFO"]:
        assert (re.sub(r"sha256sums.*", "", (dist / name).read_text().replace(version, release))
                == re.sub(r"sha256sums.*", "", (clone / name).read_text())), name
    return dist


@pytest.fixture(scope="module")
def package():
    """The path of the pacpick package built by makepkg in a directory that
    held only the PKGBUILD and the release tarball."""
    # Not under pytest's own temporary directory: that one is private to the
    # user running the tests, and the builder must be able to reach the copy.
    workspace = Path(tempfile.mkdtemp(prefix="pacpick-package-"))
    try:
        dist = make_dist(workspace)
        build = workspace / "build"
        build.mkdir()
        shutil.copy(dist / "PKGBUILD", build)
        shutil.copy(next(dist.glob("*.tar.gz")), build)
        config = workspace / "makepkg.conf"
        config.write_text(Path("/etc/makepkg.conf").read_text()
                          + f'CFLAGS="{MAKEPKG_CXXFLAGS}"\nCXXFLAGS="{MAKEPKG_CXXFLAGS}"\nLDFLAGS="{MAKEPKG_LDFLAGS}"\n')
        os.chmod(workspace, 0o755)
        result, seconds = run_makepkg(build, config)
        if result.returncode != 0:
            pytest.fail(f"makepkg exited with {result.returncode} after {seconds:.0f} s:\n{result.stdout[-6000:]}")
        print(f"makepkg built and checked the package in {seconds:.1f} s")
        assert "==> Starting check()..." in result.stdout and "100% tests passed" in result.stdout, result.stdout
        # Its lint finds no build path in the package (assertions would carry them).
        assert "Package contains reference to" not in result.stdout, result.stdout
        # Build type None adds no flags: makepkg.conf's alone reach the compiler and the linker.
        compile_commands = (build / "src" / "build" / "compile_commands.json").read_text()
        assert compile_commands.count(MAKEPKG_CXXFLAGS) == compile_commands.count('"command"') > 0
        assert " -O3 " not in compile_commands
        dynamic = subprocess.run(["readelf", "-d", str(build / "src" / "build" / "pacpick")],
                                 capture_output=True, text=True, check=True).stdout
        assert "BIND_NOW" in dynamic, dynamic
        built = [path for path in build.glob("pacpick-*.pkg.tar*") if not path.name.endswith(".sig")]
        assert len(built) == 1, f"expected one package, found {[p.name for p in built]}"
        yield built[0]
    finally:
        make_everything_removable(workspace)
        shutil.rmtree(workspace)


def install_package(world, package_file):
    """`sudo pacman -U --root` of the package into the world's root. The world
    is no whole Arch system: it lacks glibc and the other dependencies, so they
    are not checked."""
    result = subprocess.run(["sudo", "pacman", "-U", "--root", str(world.root), "--noconfirm", "--nodeps",
                             "--nodeps", str(package_file)],
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
    def test_installs_and_runs_the_program_with_its_manual_page_and_licence(self, package, scratch_world,
                                                                           pacpick):
        # One world and one install for every look at the installed package.
        install_package(scratch_world, package)
        usr = scratch_world.root / "usr"
        program, manual = usr / "bin" / "pacpick", usr / "share" / "man" / "man1" / "pacpick.1.gz"
        licence = usr / "share" / "licenses" / "pacpick" / "LICENSE"
        assert files_of(scratch_world, "pacpick") == sorted([program, manual, licence])
        assert os.access(program, os.X_OK)
        # makepkg compresses manual pages; the page is ours, unchanged.
        assert gzip.decompress(manual.read_bytes()) == MAN_PAGE.read_bytes()
        assert licence.read_bytes() == LICENSE.read_bytes()

        # The licence it declares is the one its text is.
        info = scratch_world.pacman("-Qi", "pacpick")
        assert info.returncode == 0, info.stderr
        declared = [line.split(":", 1)[1].split() for line in info.stdout.splitlines()
                    if line.startswith("Licenses")]
        assert declared == [["MIT"]]
        text = LICENSE.read_text()
        assert text.startswith("MIT License\n\nCopyright (c) 2026 pacpick developers\n")
        assert "Permission is hereby granted, free of charge" in text

        terminal = pacpick(scratch_world, binary=program)
        terminal.wait_for_text("[install]")
        terminal.press("esc")
        assert terminal.wait_exit() == Exit(code=0, signal=None), terminal.describe()
        assert terminal.stty_after() == terminal.stty_before


class TestRelease:
    def test_the_committed_checksum_is_the_tarball_make_dist_made_where_it_was_set(self, tmp_path):
        # A release's commit sets the checksum and changes only the packaging,
        # so make dist there writes the release tarball again.
        clone = tmp_path / "clone"
        subprocess.run(["git", "clone", "-q", str(REPO_ROOT), str(clone)], check=True)
        committed = sha256sums_of((clone / "PKGBUILD").read_text())
        release = git(clone, "log", "-1", "--format=%H", "-G^sha256sums=", "--", "PKGBUILD").strip()
        git(clone, "checkout", "-q", release)
        result = subprocess.run(["scripts/dist", str(tmp_path / "release")], cwd=clone,
                                capture_output=True, text=True)
        assert result.returncode == 0, result.stdout + result.stderr
        [tarball] = (tmp_path / "release").glob("*.tar.gz")
        assert tarball.name == f"pacpick-{pkgver_of((clone / 'PKGBUILD').read_text())}.tar.gz"
        assert hashlib.sha256(tarball.read_bytes()).hexdigest() == committed, f"release commit {release}"


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


class TestMakeRun:
    def test_configures_the_program_without_the_test_and_benchmark_frameworks(self, tmp_path):
        # make run's preset with GoogleTest and Google Benchmark hidden, as on
        # a machine with only the build layer: configuring must not need them.
        result = subprocess.run(["cmake", "--preset", "release", "-B", str(tmp_path / "build"),
                                 "-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON",
                                 "-DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON"],
                                cwd=REPO_ROOT, capture_output=True, text=True)
        assert result.returncode == 0, result.stdout + result.stderr


class TestManualPage:
    def test_renders_without_warnings_and_has_every_section(self):
        groff = shutil.which("groff") or pytest.fail("groff not found; scripts/bootstrap test installs it")
        # -P-cbou: plain text, without the bold and underline of a terminal.
        result = subprocess.run([groff, "-man", "-Tutf8", "-ww", "-P-cbou", str(MAN_PAGE)],
                                capture_output=True, env={**os.environ, "LC_ALL": "C.UTF-8"})
        assert result.returncode == 0 and result.stderr == b"", result.stderr.decode(errors="replace")
        headings = [line for line in result.stdout.decode().splitlines() if line and not line[0].isspace()]
        for section in ["NAME", "SYNOPSIS", "DESCRIPTION", "KEYS", "EXIT STATUS", "ENVIRONMENT",
                        "SIGNALS", "FILES", "SEE ALSO"]:
            assert section in headings, f"no {section} section in {headings}"
