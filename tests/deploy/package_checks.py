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


def check_manifests():
    exe_sha = sha256(os.path.join(dist, windows))
    manifests = {}
    for kind, name in (("version", "Karvo.Karvo.yaml"), ("installer", "Karvo.Karvo.installer.yaml"),
                       ("defaultLocale", "Karvo.Karvo.locale.en-US.yaml")):
        with open(os.path.join(dist, "winget", name)) as f:
            manifest = yaml.safe_load(f)
        manifests[kind] = manifest
        for key in ("PackageIdentifier", "PackageVersion", "ManifestType", "ManifestVersion"):
            check(key in manifest, f"winget {name}: {key}")
        check(manifest.get("ManifestType") == kind and manifest.get("ManifestVersion") == "1.6.0",
              f"winget {name}: type and schema")
        check(manifest.get("PackageVersion") == version, f"winget {name}: version")
    check(manifests["version"].get("DefaultLocale") == "en-US", "winget: DefaultLocale")
    for key in ("PackageLocale", "Publisher", "PackageName", "License", "ShortDescription"):
        check(key in manifests["defaultLocale"], f"winget locale: {key}")
    installer = manifests["installer"]
    check(installer.get("InstallerType") == "portable", "winget: portable installer")
    entries = installer.get("Installers", [])
    check(len(entries) == 1 and entries[0].get("Architecture") == "x64", "winget: one x64 installer")
    for entry in entries:
        check(entry.get("InstallerUrl", "").endswith("/" + windows), "winget: installer URL")
        check(entry.get("InstallerSha256", "").lower() == exe_sha, "winget: installer SHA-256")

    with open(os.path.join(dist, "scoop", "karvo.json")) as f:
        scoop = json.load(f)
    check(scoop.get("version") == version and scoop.get("bin") == "karvo.exe", "scoop: version and bin")
    for key in ("description", "homepage", "license"):
        check(key in scoop, f"scoop: {key}")
    x64 = scoop.get("architecture", {}).get("64bit", {})
    check(x64.get("url", "").endswith(f"/{windows}#/karvo.exe"), "scoop: url")
    check(x64.get("hash") == exe_sha, "scoop: hash")


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
