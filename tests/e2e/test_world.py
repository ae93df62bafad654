"""The pacman world that the end-to-end tests and the demo stand on, proven
against the real pacman: what it lists and shows, and that installing and
removing through the sudo stand-in really changes the world (and only it)."""

import collections
import os
import pwd
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

from harness import MAKE_TEST_WORLD, PYTHON, Exit, World, build_world


def sync_listing(world):
    """(repository, name, version) for every line of `pacman -Sl`, in order."""
    result = world.pacman("-Sl")
    assert result.returncode == 0, result.stderr
    return [tuple(line.split()[:3]) for line in result.stdout.splitlines()]


def info_blocks(text):
    """The blocks of `pacman -Si`/`-Qi` output as dicts of their first-line fields."""
    blocks, block = [], {}
    for line in text.splitlines():
        if not line.strip():
            if block:
                blocks.append(block)
            block = {}
        elif ":" in line and not line.startswith(" "):
            key, value = line.split(":", 1)
            block.setdefault(key.strip(), value.strip())
    if block:
        blocks.append(block)
    return blocks


class TestCatalogue:
    def test_lists_every_package_of_both_repositories(self, world):
        result = world.pacman("-Slq")
        assert result.returncode == 0, result.stderr
        names = result.stdout.splitlines()
        small = world.manifest["repositories"]["small"]
        assert len(small) >= 6
        assert len(names) == world.packages + len(small)
        assert all(name and name == name.strip() for name in names)
        counts = collections.Counter(names)
        assert counts[world.manifest["shared"]["name"]] == 2
        assert [name for name, count in counts.items() if count > 1] == [world.manifest["shared"]["name"]]
        assert set(small) <= set(names)
        assert {"vim", "gvim", "neovim", "linux"} <= set(names)

        # Shaped like a real Arch catalogue, and about as many bytes per name:
        # the performance harness relies on 63,000 names making about 1 MB.
        large = [name for repo, name, _ in sync_listing(world) if repo == "large"]
        share = lambda matches: sum(1 for name in large if matches(name)) / len(large)
        assert share(lambda n: n.startswith("lib")) > 0.15
        assert share(lambda n: n.startswith("python-")) > 0.10
        assert share(lambda n: n.endswith("-git")) > 0.05
        assert share(lambda n: n.startswith(("ttf-", "otf-")) or "fonts" in n) > 0.02
        assert share(lambda n: n.startswith("linux")) > 0.01
        assert 14 <= len(result.stdout.encode()) / len(names) <= 18

    def test_every_package_shows_a_version_and_a_description(self, world):
        listing = sync_listing(world)
        result = world.pacman("-Si")
        assert result.returncode == 0, result.stderr
        blocks = info_blocks(result.stdout)
        assert [(b["Repository"], b["Name"], b["Version"]) for b in blocks] == listing
        assert all(b["Description"] and b["Description"] != "None" for b in blocks)

        versions = [b["Version"] for b in blocks]
        descriptions = [b["Description"] for b in blocks]
        assert any(":" in v for v in versions), "epochs"
        assert any("." in v.rsplit("-", 1)[1] for v in versions), "dotted pkgrel"
        assert any(not d.isascii() for d in descriptions)
        assert any(":" in d for d in descriptions)
        assert any(len(d) > 120 for d in descriptions), "longer than a terminal row"

    def test_a_name_in_both_repositories_shows_the_installable_one_first(self, world):
        shared = world.manifest["shared"]
        result = world.pacman("-Si", shared["name"])
        assert result.returncode == 0
        first, second = info_blocks(result.stdout)
        assert (first["Repository"], first["Version"]) == ("small", shared["small_version"])
        assert (second["Repository"], second["Version"]) == ("large", shared["large_version"])
        assert first["Version"] != second["Version"]

    def test_installed_packages_include_one_that_no_repository_carries(self, world):
        foreign = world.manifest["foreign"]
        assert world.pacman("-Qq").stdout.split() == world.manifest["installed"]
        assert world.pacman("-Qqm").stdout.split() == [foreign]
        assert world.pacman("-Q", foreign).returncode == 0
        missing = world.pacman("-Si", foreign)
        assert missing.returncode != 0 and missing.stdout == ""
        for name in world.manifest["not_installed"]:
            assert world.pacman("-Q", name).returncode == 1


def run_answered(run_in_terminal, world, args, answer):
    """`sudo pacman ARGS` on a terminal, answering pacman's own question."""
    terminal = run_in_terminal(["sudo", "pacman", *args], env=world.env(), cwd=world.path)
    terminal.wait_for_text("[Y/n]").answer(answer + "\r")
    return terminal.wait_exit(), terminal


class TestInstallAndRemove:
    def test_pacman_acts_only_when_confirmed(self, scratch_world, run_in_terminal, world):
        # One private world for every row: each acts on a package of its own.
        shared = scratch_world.manifest["shared"]
        hello, cowsay = (scratch_world.root / "usr" / "bin" / name for name in ("hello", "cowsay"))
        for args, answer, code, holds in [
            (["-S", "hello"], "n", 1, lambda: not scratch_world.installed("hello") and not hello.exists()),
            (["-S", "hello"], "y", 0, lambda: scratch_world.pacman("-Q", "hello").stdout.split()
             == ["hello", "2.12.1-2"] and hello.read_text() == "#!/bin/sh\necho 'hello 2.12.1-2'\n"),
            (["-R", "cowsay"], "n", 1, lambda: scratch_world.installed("cowsay") and cowsay.exists()),
            (["-R", "cowsay"], "y", 0, lambda: not scratch_world.installed("cowsay") and not cowsay.exists()),
            # The name in both repositories installs from the small one.
            (["-S", shared["name"]], "y", 0, lambda: scratch_world.pacman("-Q", shared["name"]).stdout.split()
             == [shared["name"], shared["small_version"]]),
            # The large repository has a database but no package files: installing
            # from it is the world's way of making pacman fail after the prompt.
            (["-S", "vim"], "y", 1, lambda: not scratch_world.installed("vim")),
        ]:
            exit_, terminal = run_answered(run_in_terminal, scratch_world, args, answer)
            assert exit_ == Exit(code=code, signal=None), terminal.describe()
            assert holds(), f"after pacman {' '.join(args)} answered {answer}"
        # The copy is a world of its own: the shared one did not change.
        assert not world.installed("hello") and world.installed("cowsay")

    def test_sudo_without_a_command_is_refused(self, world):
        result = subprocess.run(["sudo"], env=world.env(), capture_output=True, text=True)
        assert result.returncode == 1 and "usage" in result.stderr


class TestBuilding:
    def test_a_complete_world_is_reused_and_anything_else_rebuilt(self, tmp_path):
        directory = tmp_path / "w"
        directory.mkdir()
        (directory / "notes.txt").write_text("mine")
        world = build_world(directory, 40)
        database = directory / "repos" / "large" / "large.db.tar.gz"
        built_at = database.stat().st_mtime_ns

        again = build_world(directory, 40)
        assert again.manifest == world.manifest
        assert database.stat().st_mtime_ns == built_at

        bigger = build_world(directory, 55)
        assert sum(1 for repo, _, _ in sync_listing(bigger) if repo == "large") == 55

        (directory / "world.json").unlink()  # as after an interrupted build
        rebuilt = build_world(directory, 55)
        assert rebuilt.installed(rebuilt.manifest["foreign"])
        assert (directory / "notes.txt").read_text() == "mine"

    def test_the_same_size_gives_the_same_catalogue(self, tmp_path):
        # Measurements taken on different days must compare like with like.
        first, second = build_world(tmp_path / "a", 300), build_world(tmp_path / "b", 300)
        large = lambda world: [b for b in info_blocks(world.pacman("-Si").stdout) if b["Repository"] == "large"]
        assert len(large(first)) == 300
        assert large(first) == large(second)

    @pytest.mark.skipif(os.geteuid() != 0, reason="this whole run is already unprivileged")
    def test_an_unprivileged_user_builds_and_installs(self, run_in_terminal):
        nobody = pwd.getpwnam("nobody")
        home = Path(tempfile.mkdtemp(prefix="pacpick-unprivileged-"))
        try:
            os.chown(home, nobody.pw_uid, nobody.pw_gid)
            script = home / "make-test-world"
            shutil.copy(MAKE_TEST_WORLD, script)
            as_nobody = ["setpriv", f"--reuid={nobody.pw_uid}", f"--regid={nobody.pw_gid}",
                         "--clear-groups", "--"]
            env = dict(os.environ, HOME=str(home))
            built = subprocess.run([*as_nobody, PYTHON, script, home / "world", "--packages", "30"],
                                   env=env, capture_output=True, text=True)
            assert built.returncode == 0, built.stdout + built.stderr
            world = World(home / "world")
            assert (home / "world" / "db" / "local").stat().st_uid == nobody.pw_uid

            terminal = run_in_terminal([*as_nobody, "sudo", "pacman", "-S", "hello"],
                                       env=world.env(HOME=str(home)), cwd=home)
            terminal.wait_for_text("[Y/n]").answer("y\r")
            assert terminal.wait_exit() == Exit(code=0, signal=None), terminal.describe()
            assert world.installed("hello")
            assert (world.root / "usr" / "bin" / "hello").stat().st_uid == nobody.pw_uid
        finally:
            shutil.rmtree(home)
