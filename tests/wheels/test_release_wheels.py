"""The release wheels as built by ./dev wheels (or by ./dev test into
build/wheels): each one tagged as auditwheel finds it, its extension
exporting only its entry point and needing only the C library, built the
same twice, and the metadata a package index checks, with no placeholder
address in it.

Run by ./dev test with:
  VELTRANO_WHEELHOUSE    the folder with the sdist and the wheels
  VELTRANO_REBUILT       a folder with a second build, from the same sdist,
                         of one of those wheels
  VELTRANO_RELEASE_BIN   the bin folder of the release tools (auditwheel, twine)
  VELTRANO_EXPECTED_WHEELS  the wheels of the target table, as ABI-FAMILY-ARCH
                         (cp313t-manylinux-x86_64 cp313-musllinux-x86_64 ...)
"""

import os
import re
import shutil
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

# The suite's helpers (tests/python/support.py), for the version.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))
from support import project_version  # noqa: E402

WHEELHOUSE = Path(os.environ["VELTRANO_WHEELHOUSE"])
RELEASE_BIN = Path(os.environ["VELTRANO_RELEASE_BIN"])
WHEELS = sorted(WHEELHOUSE.glob("*.whl"))
SDISTS = sorted(WHEELHOUSE.glob("veltrano-*.tar.gz"))
ENTRY_POINT = "PyInit__korvex_core"


def platform_tags(wheel: Path):
    # name-version-python-abi-platform.whl; the platform may be several
    # tags joined by dots.
    return wheel.name[: -len(".whl")].split("-")[4].split(".")


def extension_of(wheel: Path, into: Path) -> Path:
    with zipfile.ZipFile(wheel) as archive:
        names = [n for n in archive.namelist() if re.fullmatch(r"veltrano/_korvex_core\..*\.so", n)]
        assert len(names) == 1, names
        return Path(archive.extract(names[0], into))


def run(*command) -> str:
    result = subprocess.run(command, capture_output=True, text=True, check=False)
    assert result.returncode == 0, f"{command}: {result.stdout}{result.stderr}"
    return result.stdout


def test_one_wheel_per_target_and_the_sdist():
    expected = os.environ["VELTRANO_EXPECTED_WHEELS"].split()
    assert expected, "no wheels were named"
    found = []
    for wheel in WHEELS:
        family, arch = re.fullmatch(r"(manylinux|musllinux)\w*?_(x86_64|aarch64)", platform_tags(wheel)[-1]).groups()
        found.append(f"{wheel.name.split('-')[3]}-{family}-{arch}")
    assert sorted(found) == sorted(expected)
    assert len(list(WHEELHOUSE.glob("veltrano-*.tar.gz"))) == 1


@pytest.mark.parametrize("wheel", WHEELS, ids=lambda w: w.name)
def test_tagged_as_auditwheel_finds_it(wheel):
    report = " ".join(run(str(RELEASE_BIN / "auditwheel"), "show", str(wheel)).split())
    consistent = re.search(r'consistent with the following platform tag:\s*"([^"]+)"', report)
    assert consistent, report
    tags = platform_tags(wheel)
    assert consistent.group(1) in tags
    # manylinux wheels for glibc 2.17, musllinux for musl 1.2.
    for tag in tags:
        family = re.fullmatch(r"(manylinux|musllinux)_(\d+)_(\d+)_(x86_64|aarch64)|manylinux2014_(x86_64|aarch64)", tag)
        assert family, tag
        if family.group(1) == "manylinux":
            assert (family.group(2), family.group(3)) == ("2", "17"), tag
        elif family.group(1) == "musllinux":
            assert (family.group(2), family.group(3)) == ("1", "2"), tag
    # The WHEEL file inside says the same as the file name.
    with zipfile.ZipFile(wheel) as archive:
        meta = next(n for n in archive.namelist() if n.endswith(".dist-info/WHEEL"))
        inside = {line.split(":", 1)[1].strip() for line in archive.read(meta).decode().splitlines() if line.startswith("Tag:")}
    python, abi = wheel.name.split("-")[2:4]
    assert inside == {f"{python}-{abi}-{tag}" for tag in tags}


@pytest.mark.parametrize("wheel", WHEELS, ids=lambda w: w.name)
def test_exports_only_its_entry_point(wheel, tmp_path):
    extension = extension_of(wheel, tmp_path)
    symbols = run("nm", "-D", "--defined-only", str(extension)).split()
    # nm prints "ADDRESS TYPE NAME" per symbol.
    names = symbols[2::3]
    assert names == [ENTRY_POINT], names


@pytest.mark.parametrize("wheel", WHEELS, ids=lambda w: w.name)
def test_needs_only_the_c_library(wheel, tmp_path):
    extension = extension_of(wheel, tmp_path)
    dynamic = run("readelf", "--dynamic", "--wide", str(extension))
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic))
    assert needed, dynamic
    if "musllinux" in wheel.name:
        arch = re.search(r"_(x86_64|aarch64)$", platform_tags(wheel)[-1]).group(1)
        assert needed == {f"libc.musl-{arch}.so.1"}, needed
    else:
        # glibc's libraries, its loader (which holds __tls_get_addr)
        # included, and libgcc_s, whose unwinder glibc itself uses.
        glibc = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1", "ld-linux-x86-64.so.2",
                 "ld-linux-aarch64.so.1"}
        assert needed <= glibc | {"libgcc_s.so.1"}, needed
        assert "libc.so.6" in needed


@pytest.mark.parametrize("wheel", WHEELS, ids=lambda w: w.name)
def test_extension_is_built_for_the_tagged_platform(wheel, tmp_path):
    # A cross build whose compiler target or extension suffix went astray
    # still makes a wheel that auditwheel tags; the interpreter of the tag
    # would not load it.
    arch = re.search(r"_(x86_64|aarch64)$", platform_tags(wheel)[-1]).group(1)
    libc = "musl" if "musllinux" in wheel.name else "gnu"
    extension = extension_of(wheel, tmp_path)
    assert extension.name.endswith(f"-{arch}-linux-{libc}.so"), extension.name
    machine = re.search(r"Machine:\s+(.*)", run("readelf", "--file-header", str(extension))).group(1)
    assert machine == {"x86_64": "Advanced Micro Devices X86-64", "aarch64": "AArch64"}[arch], machine


@pytest.mark.parametrize("wheel", [w for w in WHEELS if "manylinux" in w.name], ids=lambda w: w.name)
def test_glibc_wheels_unwind_with_libgcc_s(wheel, tmp_path):
    # glibc's pthread_exit unwinds through the module's frames with
    # libgcc_s's unwinder; the personality routine must read that
    # unwinder's context with libgcc_s's own functions.
    extension = extension_of(wheel, tmp_path)
    undefined = run("nm", "-D", "--undefined-only", str(extension))
    for name in ("_Unwind_GetLanguageSpecificData", "_Unwind_RaiseException", "_Unwind_Resume"):
        assert f"{name}@GCC_3.0" in undefined, undefined


def test_two_builds_of_one_sdist_are_identical(tmp_path):
    rebuilt = sorted(Path(os.environ["VELTRANO_REBUILT"]).glob("*.whl"))
    assert len(rebuilt) == 1, rebuilt
    first = next(w for w in WHEELS if w.name == rebuilt[0].name)
    one = extension_of(first, tmp_path / "one").read_bytes()
    two = extension_of(rebuilt[0], tmp_path / "two").read_bytes()
    assert len(one) > 0
    assert one == two


def metadata_of(dist: Path) -> str:
    """The core metadata: a wheel's METADATA, an sdist's PKG-INFO."""
    if dist.suffix == ".whl":
        with zipfile.ZipFile(dist) as archive:
            return archive.read(next(n for n in archive.namelist() if n.endswith(".dist-info/METADATA"))).decode()
    with tarfile.open(dist) as sdist:
        member = next(m for m in sdist.getmembers() if m.name.count("/") == 1 and m.name.endswith("/PKG-INFO"))
        return sdist.extractfile(member).read().decode()


def test_metadata_passes_twine_check():
    files = [str(f) for f in [*WHEELS, *SDISTS]]
    report = run(str(RELEASE_BIN / "twine"), "check", "--strict", *files)
    assert report.count("PASSED") == len(files), report


# Addresses reserved for documentation lead nowhere: the metadata, the
# README it carries included, names none.
PLACEHOLDER = re.compile(r"[\w.-]*\bexample\.(?:org|com|net)\b[^\s)>\]]*", re.I)


@pytest.mark.parametrize("dist", [*WHEELS, *SDISTS], ids=lambda d: d.name)
def test_metadata_names_no_placeholder_address(dist):
    meta = metadata_of(dist)
    assert re.search(r"^Name: veltrano$", meta, re.M), meta[:500]
    assert PLACEHOLDER.findall(meta) == []
    # Any address it gives is one the project has: it has none yet.
    assert re.findall(r"^(?:Project-URL|Home-page|Download-URL): .*$", meta, re.M) == []


@pytest.mark.parametrize("wheel", WHEELS, ids=lambda w: w.name)
def test_ships_the_license_and_its_metadata(wheel):
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
    meta = metadata_of(wheel)
    assert any(n.endswith(".dist-info/licenses/LICENSE") for n in names), names
    assert re.search(r"^License-Expression: MIT$", meta, re.M)
    assert re.search(rf"^Version: {re.escape(project_version())}$", meta, re.M)
    classifiers = set(re.findall(r"^Classifier: (.*)$", meta, re.M))
    assert "Operating System :: POSIX :: Linux" in classifiers
    # Every interpreter a wheel is shipped for is named, and so is the
    # free-threaded build where a wheel for it is shipped.
    for other in WHEELS:
        python, abi = other.name.split("-")[2:4]
        assert f"Programming Language :: Python :: 3.{python[3:]}" in classifiers, (other.name, classifiers)
        if abi.endswith("t"):
            assert "Programming Language :: Python :: Free Threading :: 3 - Stable" in classifiers


def test_the_sdist_holds_every_tracked_file_but_the_tooling_of_this_clone():
    # What ./dev test needs from an unpacked sdist is what git tracks, less
    # the deliberate exclusions.
    root = Path(__file__).resolve().parents[2]
    if not (root / ".git").exists():
        pytest.skip("not a git clone: no list of tracked files")
    tracked = set(run("git", "-C", str(root), "ls-files").split())
    excluded = {name for name in tracked if name.startswith(".ci/")}
    with tarfile.open(next(WHEELHOUSE.glob("veltrano-*.tar.gz"))) as sdist:
        packed = {name.split("/", 1)[1] for name in sdist.getnames() if "/" in name}
    assert "tests/build/test_compiler_support.py" in packed
    assert tracked - excluded <= packed, sorted(tracked - excluded - packed)


def test_a_fresh_copy_of_the_sources_gives_the_same_sdist(tmp_path):
    # Release wheels are kept in the cache under the sdist's bytes: a fresh
    # clone, with other paths, file times and directory order, must give
    # the same sdist, or every clone builds every wheel anew.
    root = Path(__file__).resolve().parents[2]
    listed = run("git", "-C", str(root), "ls-files", "-z", "--cached", "--others", "--exclude-standard")
    clone = tmp_path / "elsewhere" / "veltrano"
    for name in reversed([n for n in listed.split("\0") if (root / n).is_file()]):
        (clone / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(root / name, clone / name)
    run(sys.executable, "-m", "build", "--sdist", "--no-isolation", "--outdir", str(tmp_path / "dist"), str(clone))
    [sdist] = SDISTS
    assert (tmp_path / "dist" / sdist.name).read_bytes() == sdist.read_bytes()
