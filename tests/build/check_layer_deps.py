#!/usr/bin/env python3
# Checks that each layer library links exactly what its files include, and
# (given the build folder and cmake) that an install stays in its folders
# and strips every program, and that a packager's configure without tests
# or without the desktop application asks for none of their packages.
#
#   check_layer_deps.py SOURCE_DIR LAYERS_FILE [BUILD_DIR CMAKE]
#
# LAYERS_FILE is written by the build: one line per layer library,
# "name|folder|public deps|private deps" (deps separated by commas). A layer's
# PUBLIC dependencies must be the other layers and third-party libraries its
# headers include, its PRIVATE ones those that only its sources include.
# Threads::Threads is left out: std::thread needs it without an include that
# names it.
import os
import re
import subprocess
import sys
import tempfile

THIRD_PARTY = {
    "libusb.h": "PkgConfig::LIBUSB",
    "zlib.h": "ZLIB::ZLIB",
    "jpeglib.h": "JPEG::JPEG",
    "tiffio.h": "TIFF::TIFF",
}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def read_layers(path):
    layers = []
    with open(path) as f:
        for line in f:
            line = line.rstrip("\n")
            if not line:
                continue
            name, folder, public, private = line.split("|")
            deps = lambda text: {d for d in text.split(",") if d and d != "Threads::Threads"}
            layers.append((name, folder, deps(public), deps(private)))
    return layers


def includes(folder, suffixes):
    """(file, included name, quoted) for every include in the folder's files."""
    for root, _, files in os.walk(folder):
        for f in sorted(files):
            if not f.endswith(suffixes):
                continue
            with open(os.path.join(root, f), errors="replace") as text:
                for line in text:
                    m = INCLUDE.match(line)
                    if m:
                        yield os.path.join(root, f), m.group(2), m.group(1) == '"'


def needed(folder, suffixes, owner, self_name):
    """The libraries the folder's files of these kinds include, each with one file that does."""
    found = {}
    for path, name, quoted in includes(folder, suffixes):
        lib = None
        if name in THIRD_PARTY:
            lib = THIRD_PARTY[name]
        elif quoted:
            lib = owner.get(os.path.basename(name))
        if lib and lib != self_name:
            found.setdefault(lib, f"{path} includes {name}")
    return found


def unstripped(path):
    """True for an ELF file that still has its symbol table."""
    with open(path, "rb") as f:
        if f.read(4) != b"\x7fELF":
            return False
    run = subprocess.run(["readelf", "-S", "-W", path], capture_output=True, text=True)
    return ".symtab" in run.stdout


def install_problems(build_dir, cmake):
    """Every installed file below the prefix (install_manifest.txt names them
    without DESTDIR) and under DESTDIR, the udev rule in lib/udev/rules.d and
    the licence, and no program that --strip left unstripped."""
    with tempfile.TemporaryDirectory() as destdir:
        run = subprocess.run([cmake, "--install", build_dir, "--prefix", "/opt/q", "--strip"], capture_output=True,
                             text=True, env={**os.environ, "DESTDIR": destdir})
        with open(os.path.join(build_dir, "install_manifest.txt")) as f:
            files = f.read().split()
        return ([f"install failed: {run.stderr}"] if run.returncode else []) + [
            f"installed outside the prefix /opt/q or DESTDIR: {p}" for p in files
            if not p.startswith("/opt/q/") or not os.path.exists(destdir + p)] + [
            f"{name} is not installed" for name in ("/opt/q/lib/udev/rules.d/60-quirel.rules",
                                                    "/opt/q/share/doc/quirel/LICENSE") if name not in files] + [
            f"installed unstripped: {p}" for p in files if os.path.isfile(destdir + p) and unstripped(destdir + p)]


# Cache entries a configure must not make without the parts that need them.
PACKAGES = {
    "BUILD_TESTING": re.compile(r"^(GTest|GMock|gtest|gmock|benchmark|UMOCKDEV)", re.I),
    "QUIREL_GUI": re.compile(r"^(Qt6|PLIST|GIO)", re.I),
}


def packager_problems(source_dir, cmake):
    """Configures once without tests and once without the desktop application,
    and lists the cache entries that name a package those parts bring."""
    problems = []
    for option, names in PACKAGES.items():
        with tempfile.TemporaryDirectory() as build:
            run = subprocess.run([cmake, "-S", source_dir, "-B", build, "-G", "Ninja", f"-D{option}=OFF"],
                                 capture_output=True, text=True)
            if run.returncode:
                problems.append(f"configure with -D{option}=OFF failed: {run.stderr.strip()}")
                continue
            with open(os.path.join(build, "CMakeCache.txt")) as f:
                entries = [line.split(":")[0] for line in f if line[:1].isalnum()]
            problems += [f"-D{option}=OFF still caches {e}" for e in entries if names.match(e)]
    return problems


def main():
    source_dir, layers_file = sys.argv[1], sys.argv[2]
    layers = read_layers(layers_file)
    owner = {}
    for name, folder, _, _ in layers:
        for root, _, files in os.walk(os.path.join(source_dir, folder)):
            for f in files:
                if f.endswith(".h"):
                    owner[f] = name
    problems = []
    for name, folder, public, private in layers:
        path = os.path.join(source_dir, folder)
        in_headers = needed(path, (".h",), owner, name)
        in_sources = needed(path, (".cpp",), owner, name)
        want_public = set(in_headers)
        want_private = set(in_sources) - want_public
        for lib in sorted(want_public - public):
            problems.append(f"{name}: PUBLIC {lib} is missing ({in_headers[lib]})")
        for lib in sorted(want_private - private - public):
            problems.append(f"{name}: PRIVATE {lib} is missing ({in_sources[lib]})")
        for lib in sorted(want_private & public):
            problems.append(f"{name}: {lib} should be PRIVATE (no header includes it; {in_sources[lib]})")
        for lib in sorted((public | private) - want_public - want_private):
            problems.append(f"{name}: {lib} is linked but nothing in {folder} includes it")
    if len(sys.argv) > 4:
        problems += install_problems(sys.argv[3], sys.argv[4])
        problems += packager_problems(source_dir, sys.argv[4])
    for p in problems:
        print(p)
    print(f"{len(layers)} layer libraries checked, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
