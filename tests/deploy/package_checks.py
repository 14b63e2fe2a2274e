#!/usr/bin/env python3
"""The packages scripts/release.sh leaves in dist/.

- karvo_{version}_amd64.deb: lintian reports no error or warning; installed
  with dpkg into a throw-away root (its own dpkg database, so the machine's
  packages are untouched), `karvo --version` runs from there, `man -l` reads the
  installed man page without warnings, the completions and unit are in place,
  and removing it leaves no file behind.
- the winget manifests (schema 1.6, portable) and the scoop manifest have their
  required keys, point at the Windows executable and carry its SHA-256.
- every file is in SHA256SUMS with the right sum.
Usage: package_checks.py <dist> <version>
"""
import hashlib
import json
import os
import subprocess
import sys
import tempfile

import yaml

dist, version = sys.argv[1], sys.argv[2]
windows = f"karvo-{version}-windows-x86_64.exe"
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print(f"FAIL: {what}", file=sys.stderr)


def run(*command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, timeout=300, **kwargs)


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def check_deb():
    deb = os.path.join(dist, f"karvo_{version}_amd64.deb")
    lint = run("lintian", "--fail-on", "error,warning", deb)
    check(lint.returncode == 0, f"lintian: {lint.stdout}{lint.stderr}")
    with tempfile.TemporaryDirectory() as root:
        for folder in ("var/lib/dpkg/info", "var/lib/dpkg/updates", "var/lib/dpkg/triggers"):
            os.makedirs(os.path.join(root, folder))
        open(os.path.join(root, "var/lib/dpkg/status"), "w").close()
        dpkg = ("dpkg", f"--root={root}", "--force-script-chrootless", "--force-not-root", "--log=/dev/null")
        # The C library it depends on lives in the real system, not in the throw-away root.
        installed = run(*dpkg, "--force-depends", "-i", deb)
        check(installed.returncode == 0, f"dpkg -i: {installed.stderr}")
        shown = run(os.path.join(root, "usr/bin/karvo"), "--version")
        check(shown.stdout == f"karvo {version}\n", f"installed karvo --version: {shown.stdout!r}")
        man = run("man", "--warnings", "-l", os.path.join(root, "usr/share/man/man1/karvo.1.gz"),
                  env=dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8", MANPAGER="cat", PAGER="cat"))
        check(man.returncode == 0 and not man.stderr and "service install" in man.stdout,
              f"man -l: {man.stderr}")
        for path in ("usr/share/bash-completion/completions/karvo", "usr/share/zsh/vendor-completions/_karvo",
                     "usr/lib/systemd/system/karvo.service", "usr/share/doc/karvo/copyright"):
            check(os.path.isfile(os.path.join(root, path)), f"installed {path}")
        with open(os.path.join(root, "usr/lib/systemd/system/karvo.service")) as f:
            check("ExecStart=/usr/bin/karvo " in f.read(), "the unit starts /usr/bin/karvo")
        removed = run(*dpkg, "--purge", "karvo")
        check(removed.returncode == 0, f"dpkg --purge: {removed.stderr}")
        left = [os.path.join(d, f) for d, _, files in os.walk(os.path.join(root, "usr")) for f in files]
        check(not left, f"files left after removal: {left}")


def pe_machine(path):
    """The machine field of a PE executable's COFF header (0x8664 for x86-64)."""
    with open(path, "rb") as f:
        data = f.read(4096)
    offset = int.from_bytes(data[0x3C:0x40], "little")
    check(data[offset:offset + 4] == b"PE\0\0", f"{path} is no PE executable")
    return int.from_bytes(data[offset + 4:offset + 6], "little")


def check_manifests():
    """What winget and scoop do with the manifests: find the one executable we ship, by its hash, for its machine."""
    exe = os.path.join(dist, windows)
    exe_sha = sha256(exe)
    check(pe_machine(exe) == 0x8664, "the Windows executable is not x86-64")
    roles = {"version": "Karvo.Karvo.yaml", "installer": "Karvo.Karvo.installer.yaml"}
    for name in os.listdir(os.path.join(dist, "winget")):
        if ".locale." in name:
            roles["defaultLocale"] = name
    manifests = {}
    for role, name in roles.items():
        with open(os.path.join(dist, "winget", name)) as f:
            manifests[role] = yaml.safe_load(f)
        check(manifests[role].get("ManifestType") == role, f"winget {name} is no {role} manifest")
    # winget takes the three files as one package only when they agree.
    for key in ("PackageIdentifier", "PackageVersion", "ManifestVersion"):
        values = {m.get(key) for m in manifests.values()}
        check(len(values) == 1 and None not in values, f"winget manifests disagree on {key}: {values}")
    check(manifests["version"].get("PackageVersion") == version, "winget: the version released")
    locale = manifests["defaultLocale"].get("PackageLocale")
    check(manifests["version"].get("DefaultLocale") == locale and roles["defaultLocale"].endswith(f".{locale}.yaml"),
          f"winget: the default locale {manifests['version'].get('DefaultLocale')} has no manifest")
    installer = manifests["installer"]
    entries = installer.get("Installers", [])
    check(len(entries) == 1 and entries[0].get("Architecture") == "x64", "winget: one installer, for x64")
    for entry in entries:
        check(entry.get("InstallerUrl", "").endswith("/" + windows), "winget: the URL of another file")
        check(entry.get("InstallerSha256", "").lower() == exe_sha, "winget: the SHA-256 of another file")
    # A portable package puts the executable on the PATH under the command it declares.
    check(installer.get("InstallerType") == "portable" and installer.get("Commands") == ["karvo"],
          "winget: karvo on the PATH as a portable command")

    with open(os.path.join(dist, "scoop", "karvo.json")) as f:
        scoop = json.load(f)
    check(scoop.get("version") == version, "scoop: the version released")
    x64 = scoop.get("architecture", {}).get("64bit", {})
    url = x64.get("url", "")
    check(url.split("#/")[0].endswith("/" + windows), "scoop: the URL of another file")
    # The download is renamed to what "bin" puts on the PATH.
    check("#/" in url and url.split("#/")[1] == scoop.get("bin") == "karvo.exe", f"scoop: {url} and bin disagree")
    check(x64.get("hash") == exe_sha, "scoop: the SHA-256 of another file")


def check_sums():
    with open(os.path.join(dist, "SHA256SUMS")) as f:
        sums = dict(reversed(line.split(None, 1)) for line in f.read().splitlines())
    present = {os.path.relpath(os.path.join(d, f), dist) for d, _, files in os.walk(dist) for f in files}
    check(set(sums) == present - {"SHA256SUMS"}, f"SHA256SUMS lists {sorted(sums)}, dist/ holds {sorted(present)}")
    for name, digest in sums.items():
        check(sha256(os.path.join(dist, name)) == digest, f"SHA256SUMS: {name}")


check_deb()
check_manifests()
check_sums()
print(f"packages: {0 if failures else 1} passed, {len(failures) and 1} failed")
sys.exit(1 if failures else 0)
