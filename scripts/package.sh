#!/usr/bin/env bash
# Builds the packages of a release into dist/, next to the executables that
# scripts/release.sh put there:
#   karvo_{version}_amd64.deb               /usr/bin/karvo, karvo(1), bash and zsh completions,
#                                           the systemd unit (not enabled), copyright and changelog
#   karvo-{version}-windows-completion.ps1  PowerShell completion for karvo.exe
#   winget/Karvo.Karvo*.yaml                winget manifests (schema 1.6, portable installer)
#   scoop/karvo.json                        scoop manifest
# The manifests point at {base URL}/karvo-{version}-windows-x86_64.exe.
# Usage: scripts/package.sh <version> <karvo-docs> <base URL>
set -euo pipefail
cd "$(dirname "$0")/.."
version=$1 docs=$2 base_url=${3%/}
linux="dist/karvo-$version-linux-x86_64"
windows="karvo-$version-windows-x86_64.exe"
[ -x "$linux" ] && [ -f "dist/$windows" ] || { echo "package.sh: run scripts/release.sh first" >&2; exit 1; }
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}

# ---- Debian package
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
install -D -m 0755 "$linux" "$root/usr/bin/karvo"
install -d "$root/usr/share/man/man1" "$root/usr/share/doc/karvo" "$root/DEBIAN"
"$docs" man | gzip -9n > "$root/usr/share/man/man1/karvo.1.gz"
"$docs" bash | install -D -m 0644 /dev/stdin "$root/usr/share/bash-completion/completions/karvo"
"$docs" zsh | install -D -m 0644 /dev/stdin "$root/usr/share/zsh/vendor-completions/_karvo"
sed 's|/usr/local/bin/karvo|/usr/bin/karvo|g' deploy/systemd/karvo.service |
  install -D -m 0644 /dev/stdin "$root/usr/lib/systemd/system/karvo.service"
install -m 0644 packaging/debian/copyright "$root/usr/share/doc/karvo/copyright"
install -D -m 0644 packaging/debian/lintian-overrides "$root/usr/share/lintian/overrides/karvo"
sed "s/@VERSION@/$version/g" packaging/debian/changelog | gzip -9n > "$root/usr/share/doc/karvo/changelog.gz"
# The newest C library symbol version the executable asks for is the least glibc it runs on.
glibc=$(objdump -T "$linux" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -V | tail -n 1)
size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@SIZE@/$size/" -e "s/@DEPENDS@/libc6 (>= $glibc)/" \
  packaging/debian/control.in > "$root/DEBIAN/control"
(cd "$root" && find usr -type f -exec md5sum {} + | sort -k2) > "$root/DEBIAN/md5sums"
chmod 0644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"
find "$root" -type d -exec chmod 0755 {} +
find "$root" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
dpkg-deb --root-owner-group -Zxz --build "$root" "dist/karvo_${version}_amd64.deb" >/dev/null

# ---- PowerShell completion next to the Windows executable
"$docs" powershell > "dist/karvo-$version-windows-completion.ps1"

# ---- winget (portable installer) and scoop manifests
sha=$(sha256sum "dist/$windows" | cut -d' ' -f1)
id=Karvo.Karvo
mkdir -p dist/winget dist/scoop
cat > "dist/winget/$id.yaml" <<YAML
PackageIdentifier: $id
PackageVersion: $version
DefaultLocale: en-US
ManifestType: version
ManifestVersion: 1.6.0
YAML
cat > "dist/winget/$id.installer.yaml" <<YAML
PackageIdentifier: $id
PackageVersion: $version
InstallerType: portable
Commands:
  - karvo
Installers:
  - Architecture: x64
    InstallerUrl: $base_url/$windows
    InstallerSha256: ${sha^^}
ManifestType: installer
ManifestVersion: 1.6.0
YAML
cat > "dist/winget/$id.locale.en-US.yaml" <<YAML
PackageIdentifier: $id
PackageVersion: $version
PackageLocale: en-US
Publisher: karvo developers
PackageName: karvo
License: MIT
ShortDescription: AMD GPU state as a table, JSON, a watch screen or a Prometheus exporter.
Moniker: karvo
Tags:
  - amd
  - gpu
  - prometheus
ManifestType: defaultLocale
ManifestVersion: 1.6.0
YAML
cat > dist/scoop/karvo.json <<JSON
{
    "version": "$version",
    "description": "AMD GPU state as a table, JSON, a watch screen or a Prometheus exporter.",
    "homepage": "$base_url",
    "license": "MIT",
    "architecture": {
        "64bit": {
            "url": "$base_url/$windows#/karvo.exe",
            "hash": "$sha"
        }
    },
    "bin": "karvo.exe"
}
JSON
