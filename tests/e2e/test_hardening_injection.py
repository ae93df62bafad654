"""Package data and typed text cannot take over the terminal or pacman.

Names, versions and descriptions come from repositories anyone can run, so
they may hold escape sequences or look like options. The program must draw
every control character as "?" and must hand a name that begins with "-" to
pacman after "--", while every other argument vector stays as it was."""

import hashlib
import importlib.machinery
import importlib.util
import io
import shutil
import tarfile

import pytest

from harness import MAKE_TEST_WORLD, Exit
from standins import (expected_screen, foreign_controls, scripted_pacman, shown, sorted_names,
                      start_pacpick, visible)

ROWS, COLUMNS = 24, 80
ESC_NAME = "evil\x1b]0;owned\x07"
HOSTILE_NAMES = [ESC_NAME, "evil-csi\u009b2J", "evil-del\x7fx", "evil"]
HOSTILE_VERSION = "6.6\x1b[31m-1"
HOSTILE_DESCRIPTION = "\x1b]0;owned\x07\x1b[2J and \u009d0;c1 title\u009c"


@pytest.fixture
def scripted(tmp_path):
    yield from scripted_pacman(tmp_path)


def start(run_in_terminal, standin):
    return start_pacpick(run_in_terminal, standin, ROWS, COLUMNS)


def details_for(name, version, description, installed=False):
    return [f"Package: {visible(name)}    Version: {visible(version)}",
            f"Status: {'installed' if installed else 'not installed'}",
            f"Description: {visible(description)}"]


def test_control_characters_in_package_data_and_the_query_are_drawn_as_question_marks(
        scripted, run_in_terminal):
    listing = "".join(f"{name}\n" for name in HOSTILE_NAMES + ["unrelated"])
    info = f"Name            : x\nVersion         : {HOSTILE_VERSION}\nDescription     : {HOSTILE_DESCRIPTION}\n"
    scripted.on("-Slq", stdout=listing).on("-Si", stdout=info).on("-Q", exit=1)
    terminal = start(run_in_terminal, scripted)

    terminal.send("evil")
    names = sorted_names(HOSTILE_NAMES)
    shown_names = [visible(name) for name in names]
    for selected, name in enumerate(names):
        if selected:
            terminal.press("up")
        expected = expected_screen(ROWS, COLUMNS, query="evil", matches=shown_names, selected=selected,
                                   details=details_for(name, HOSTILE_VERSION, HOSTILE_DESCRIPTION))
        terminal.wait_for(lambda t: shown(t) == expected, what=f"the details of {name!r}")
    # The names reached pacman as they are: control characters are only a
    # matter of drawing.
    asked = {call["argv"][-1] for call in scripted.calls() if call["argv"][0] == b"-Si"}
    assert asked == {name.encode() for name in names}

    # Typed one by one, then pasted in one write: C1 controls arrive as
    # characters of the query and are drawn like those of package data.
    terminal.send("\u0085")
    terminal.send("\u009d")
    terminal.wait_for(lambda t: shown(t)[ROWS - 4] == "[install] evil??", what="typed C1 controls as ?")
    terminal.send("\u009b2J\u009d0;x\u009c")
    terminal.wait_for(lambda t: shown(t)[ROWS - 4] == "[install] evil???2J?0;x?",
                      what="pasted C1 controls as ?")
    terminal.wait_for(lambda t: shown(t)[:ROWS - 5] == [""] * (ROWS - 5), what="no match for the new query")

    terminal.press("esc")
    assert terminal.wait_exit() == Exit(code=0, signal=None)
    assert terminal.screen.title == "" and terminal.screen.icon_name == ""
    assert foreign_controls(terminal.raw) == []
    assert terminal.raw.count(b"\x1b[?25l") == 1 and terminal.raw.endswith(b"\x1b[?25h\x1b[2J\x1b[1;1H")


@pytest.mark.parametrize("mode, flag, listing", [("install", b"-S", "-Slq"), ("uninstall", b"-R", "-Qq")])
def test_a_name_that_begins_with_a_dash_goes_after_double_dash_and_no_other_name_changes(
        scripted, run_in_terminal, mode, flag, listing):
    option_like = "--dbpath=/tmp/x"
    scripted.on(listing, stdout=f"-x\nxz\n{option_like}\nunrelated\n")
    scripted.on("-Si", stdout="Version : 1.0-1\nDescription : listed\n").on("-Q", exit=1)
    scripted.on(flag.decode(), stdout="stand-in done\n")
    terminal = start(run_in_terminal, scripted)
    if mode == "uninstall":
        terminal.press("tab")
        terminal.wait_for_text(f"  {option_like}")
    terminal.send("x")
    listed = [f"  {option_like}", "  xz", "> -x", "-" * COLUMNS, f"[{mode}] x"]
    terminal.wait_for(lambda t: shown(t)[ROWS - 8:ROWS - 3] == listed, what="the names with x")
    for selected, name in enumerate(["-x", "xz", option_like]):
        if selected:
            terminal.press("up")
        terminal.wait_for(lambda t: t.row_of(f"Package: {name}    Version: 1.0-1") is not None,
                          what=f"the details of {name}")
    terminal.press("enter")
    assert terminal.wait_exit() == Exit(code=0, signal=None), terminal.describe()

    # What the user reads is the name itself, without the separator.
    assert f"Running pacman {flag.decode()} {option_like}..." in terminal.text
    details = {tuple(call["argv"]) for call in scripted.calls() if call["argv"][0] in (b"-Si", b"-Q")}
    assert details == {
        (b"-Si", b"--", b"-x"), (b"-Q", b"--", b"-x"),
        (b"-Si", b"xz"), (b"-Q", b"xz"),
        (b"-Si", b"--", option_like.encode()), (b"-Q", b"--", option_like.encode()),
    }
    assert [call["argv"] for call in scripted.calls("sudo")] == [[b"pacman", flag, b"--", option_like.encode()]]
    assert scripted.calls()[-1]["argv"] == [flag, b"--", option_like.encode()]
    assert {tuple(call["argv"]) for call in scripted.calls() if call["argv"][0] == listing.encode()} \
        == {(listing.encode(),)}


# -- the same through the real pacman ------------------------------------------------

def load_world_builder():
    loader = importlib.machinery.SourceFileLoader("make_test_world", str(MAKE_TEST_WORLD))
    spec = importlib.util.spec_from_loader(loader.name, loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def add_to_small_repository(world, package, workspace):
    """Builds `package` into the world's [small] repository and syncs the world.
    The database entry is written here rather than by repo-add, which passes
    entry names to its own tools where a leading dash reads as an option."""
    builder = load_world_builder()
    staging = workspace / "staging"
    staging.mkdir(parents=True)
    repository = world.path / "repos" / "small"
    archive = builder.build_package(package, repository, staging)
    data = archive.read_bytes()
    fields = [("FILENAME", archive.name), ("NAME", package.name), ("BASE", package.name),
              ("VERSION", package.version), ("DESC", package.description),
              ("CSIZE", str(len(data))), ("ISIZE", "64"),
              ("MD5SUM", hashlib.md5(data).hexdigest()), ("SHA256SUM", hashlib.sha256(data).hexdigest()),
              ("ARCH", "any"), ("BUILDDATE", "1700000000")]
    desc = "".join(f"%{key}%\n{value}\n\n" for key, value in fields).encode()

    database = repository / "small.db.tar.gz"
    rewritten = workspace / "small.db.tar.gz"
    with tarfile.open(database, "r:gz") as old, tarfile.open(rewritten, "w:gz") as new:
        for member in old.getmembers():
            new.addfile(member, old.extractfile(member) if member.isfile() else None)
        entry = f"{package.name}-{package.version}"
        directory = tarfile.TarInfo(entry)
        directory.type, directory.mode = tarfile.DIRTYPE, 0o755
        new.addfile(directory)
        member = tarfile.TarInfo(f"{entry}/desc")
        member.size, member.mode = len(desc), 0o644
        new.addfile(member, io.BytesIO(desc))
    shutil.copyfile(rewritten, database)
    synced = world.pacman("-Sy")
    assert synced.returncode == 0, synced.stderr


# pacman reads a -S target as a dependency ("name=version"), so a name with
# "=" cannot be installed by name at all; these two are plain names.
@pytest.mark.parametrize("name, query", [("--noconfirm", "noconfirm"), ("--dbonly", "dbonly")])
def test_a_repository_package_named_like_an_option_is_shown_and_installed_as_a_package(
        scratch_world, pacpick, tmp_path, name, query):
    builder = load_world_builder()
    package = builder.Package(name, "1.0-1", "A package whose name reads like an option")
    add_to_small_repository(scratch_world, package, tmp_path / "build")

    terminal = pacpick(in_world=scratch_world).wait_for_text("[install] ")
    terminal.send(query)
    # Read as an option, the name would make -Q list the installed packages and
    # succeed: the pane would say "installed".
    terminal.wait_for(lambda t: shown(t)[ROWS - 6:] == [
        f"> {name}", "-" * COLUMNS, f"[install] {query}",
        f"Package: {name}    Version: 1.0-1", "Status: not installed",
        f"Description: {package.description}"], what=f"{name} with its own details")
    terminal.press("enter")
    terminal.wait_for_text(f"Running pacman -S {name}...")
    # Had the name reached pacman as the option it looks like, there would be
    # no question, or no target, or no files installed.
    terminal.wait_for_text("[Y/n]").answer("y\r")
    assert terminal.wait_exit() == Exit(code=0, signal=None), terminal.describe()
    assert "exited with status" not in terminal.text

    installed = scratch_world.pacman("-Q", "--", name)
    assert installed.returncode == 0 and installed.stdout.split() == [name, "1.0-1"], installed.stderr
    assert (scratch_world.root / "usr" / "bin" / name).is_file()
