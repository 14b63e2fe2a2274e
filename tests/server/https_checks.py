#!/usr/bin/python3
"""karvo's HTTPS port against openssl and curl, with certificates openssl makes here.

    https_checks.py KARVO [RUNNER...]

KARVO is the executable; RUNNER (scripts/wine-run.sh for the Windows build)
is put in front of it. Checks: curl with the CA succeeds and without it fails
verification; plain HTTP gets a plain 400 and the server goes on; TLS 1.2 and
1.3 handshakes succeed, 1.0 and 1.1 fail; idle and half-open handshakes do not
hold up a scrape; renewed files are served without a restart, a broken key
keeps the old certificate; a chain as company CAs issue it (a leaf and two
RSA-4096 intermediates, over 4 KiB) is served over TLS 1.2 and 1.3; client
certificates of the CA pass, none, a foreign one or one not made for client
authentication fail, and failed handshakes are reported once a minute at most;
unusable files (a key that does not match, a chain too large for a handshake)
stop the server before it listens.

The RSA-4096 keys of the chain are made once and kept in tls_data/ (making
four takes half a minute on a busy machine); its certificates are made here.
"""
import os
import pathlib
import socket
import subprocess
import sys
import tempfile
import time

KARVO = [os.path.abspath(path) for path in sys.argv[1:2]]
RUNNER = sys.argv[2:]
WINDOWS = KARVO and KARVO[0].endswith(".exe")
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL:", message, flush=True)


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, timeout=120, **kwargs)


def openssl(*args):
    result = run(["openssl", *args])
    if result.returncode != 0:
        sys.exit(f"openssl {' '.join(args)} failed: {result.stderr}")


def make_ca(folder, name):
    openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "30",
            "-subj", f"/CN={name}", "-keyout", str(folder / f"{name}.key"), "-out", str(folder / f"{name}.pem"))


def make_cert(folder, name, ca, key_args, extension):
    """A certificate signed by `ca`; `key_args` picks the key type (the key file keeps openssl's format)."""
    (folder / f"{name}.ext").write_text(extension + "\n")
    openssl("req", "-newkey", *key_args, "-nodes", "-subj", f"/CN={name}", "-keyout", str(folder / f"{name}.key"),
            "-out", str(folder / f"{name}.csr"))
    openssl("x509", "-req", "-in", str(folder / f"{name}.csr"), "-CA", str(folder / f"{ca}.pem"), "-CAkey",
            str(folder / f"{ca}.key"), "-CAcreateserial", "-days", "30", "-out", str(folder / f"{name}.pem"),
            "-extfile", str(folder / f"{name}.ext"))
    os.chmod(folder / f"{name}.key", 0o600)


TLS_DATA = pathlib.Path(__file__).with_name("tls_data")


def make_chain(folder):
    """root -> intermediate1 -> intermediate2 -> leaf, all RSA-4096; chain.pem is the leaf and both intermediates."""
    # As a company CA makes them: named subjects and key identifiers.
    ids = "subjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid,issuer\n"
    (folder / "chain-ca.ext").write_text("basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n" + ids)
    (folder / "chain-leaf.ext").write_text("subjectAltName=DNS:localhost,DNS:gpu-node-1.example.internal,IP:127.0.0.1\n"
                                           "keyUsage=critical,digitalSignature,keyEncipherment\n"
                                           "extendedKeyUsage=serverAuth\n" + ids)
    subject = "/C=DE/ST=Berlin/O=Example Company GmbH/OU=IT Security Operations/CN=Example Company {}"
    key = lambda name: str(TLS_DATA / f"chain-{name}.key")
    pem = lambda name: str(folder / f"chain-{name}.pem")
    openssl("req", "-x509", "-new", "-key", key("root"), "-subj", subject.format("Root CA"), "-days", "30",
            "-addext", "basicConstraints=critical,CA:TRUE", "-out", pem("root"))
    issuer = "root"
    for name, extension in (("intermediate1", "ca"), ("intermediate2", "ca"), ("leaf", "leaf")):
        openssl("req", "-new", "-key", key(name), "-subj", subject.format(name), "-out", str(folder / f"{name}.csr"))
        openssl("x509", "-req", "-in", str(folder / f"{name}.csr"), "-CA", pem(issuer), "-CAkey", key(issuer),
                "-CAcreateserial", "-days", "30", "-extfile", str(folder / f"chain-{extension}.ext"), "-out", pem(name))
        issuer = name
    chain = folder / "chain.pem"
    chain.write_text("".join(pathlib.Path(pem(name)).read_text() for name in ("leaf", "intermediate2", "intermediate1")))
    der = sum(len(subprocess.run(["openssl", "x509", "-in", pem(name), "-outform", "DER"], capture_output=True,
                                 check=True, timeout=60).stdout)
              for name in ("leaf", "intermediate2", "intermediate1"))
    return chain, der


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Server:
    """karvo --serve on a free loopback port, until stop()."""

    def __init__(self, folder, name, args):
        self.out, self.err = folder / f"{name}.out", folder / f"{name}.err"
        for _ in range(5):
            self.port = free_port()
            self.process = subprocess.Popen([*RUNNER, *KARVO, "--serve", str(self.port), *args],
                                            stdin=subprocess.DEVNULL, stdout=self.out.open("w"),
                                            stderr=self.err.open("w"))
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline and self.process.poll() is None:
                if self.out.read_text().count("\n") >= 2:
                    return
                time.sleep(0.1)
            self.stop()
        sys.exit(f"karvo {args} did not start: {self.err.read_text()}")

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()

    def url(self, path="/health"):
        return f"https://127.0.0.1:{self.port}{path}"


def curl(*args):
    return run(["curl", "-sS", "--max-time", "20", *args])


def s_client(port, *args):
    """The subject of the certificate served, or None when the handshake failed."""
    result = run(["openssl", "s_client", "-connect", f"127.0.0.1:{port}", "-servername", "localhost", *args],
                 input="")
    if "-----BEGIN CERTIFICATE-----" not in result.stdout or "Cipher is (NONE)" in result.stdout:
        return None
    with tempfile.NamedTemporaryFile("w", suffix=".pem") as served:
        served.write(result.stdout)
        served.flush()
        return run(["openssl", "x509", "-in", served.name, "-noout", "-subject"]).stdout.strip()


def replace(target, source):
    """Writes `source`'s bytes into `target` the way renewal tools do: a new file renamed over the old one."""
    fresh = target.with_suffix(".new")
    fresh.write_bytes(source.read_bytes())
    os.chmod(fresh, 0o600)
    os.replace(fresh, target)


def served_subject_becomes(port, want, seconds=10):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        subject = s_client(port)
        if subject and subject.replace(" ", "").endswith("CN=" + want):
            return True
        time.sleep(0.3)
    return False


def check_server(folder):
    ca = folder / "ca.pem"
    # The files the server reads, replaced later on.
    cert, key = folder / "serving.pem", folder / "serving.key"
    replace(cert, folder / "p256.pem")
    replace(key, folder / "p256.key")
    os.chmod(key, 0o644)  # POSIX: warned about
    server = Server(folder, "https", ["--tls-cert-file", str(cert), "--tls-key-file", str(key)])
    try:
        check(server.out.read_text().startswith(f"Headless API listening on https://127.0.0.1:{server.port}/ "),
              f"banner: {server.out.read_text()!r}")
        check(("can be read by other users" in server.err.read_text()) != WINDOWS, "the key file warning")
        ok = curl("--cacert", str(ca), server.url("/metrics"))
        check(ok.returncode == 0, f"curl with the CA: {ok.stderr}")
        untrusted = curl(server.url())
        check(untrusted.returncode == 60, f"curl without the CA must fail verification: {untrusted.returncode}")
        # The browser page over HTTPS, compressed for a client that takes gzip.
        page = curl("--cacert", str(ca), "--compressed", "-D", "-", server.url("/ui"))
        check(page.returncode == 0 and "\nContent-Encoding: gzip\n" in page.stdout  # text mode: "\r\n" read as "\n"
              and "<!doctype html>" in page.stdout, f"the page over HTTPS: {page.stdout[:300]!r} {page.stderr}")

        with socket.create_connection(("127.0.0.1", server.port), timeout=10) as plain:
            plain.sendall(b"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            reply = b""
            while chunk := plain.recv(4096):
                reply += chunk
        check(reply.startswith(b"HTTP/1.1 400 Bad Request\r\n") and reply.endswith(b'{"error":"https required"}'),
              f"plain HTTP: {reply!r}")

        for version, works in (("-tls1_2", True), ("-tls1_3", True), ("-tls1", False), ("-tls1_1", False)):
            # Security level 0, so the client itself would offer the old versions.
            subject = s_client(server.port, version, "-cipher", "DEFAULT@SECLEVEL=0")
            check((subject is not None) == works, f"s_client {version}: {subject}")

        # 50 idle connections and 10 handshakes that stop half-way do not hold up a scrape.
        idle = [socket.create_connection(("127.0.0.1", server.port)) for _ in range(50)]
        half = [socket.create_connection(("127.0.0.1", server.port)) for _ in range(10)]
        for s in half:
            s.sendall(b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03")  # the start of a ClientHello
        started = time.monotonic()
        ok = curl("--cacert", str(ca), server.url("/metrics"))
        took = time.monotonic() - started
        check(ok.returncode == 0 and took < 3, f"scrape beside idle handshakes: {ok.returncode} in {took:.2f} s")
        for s in idle + half:
            s.close()

        # Renewal: an RSA certificate replaces the P-256 one.
        replace(key, folder / "rsa.key")
        replace(cert, folder / "rsa.pem")
        check(served_subject_becomes(server.port, "rsa"), "the renewed certificate is not served")
        # A key that does not match: reported once, the previous set serves on.
        replace(key, folder / "p256.key")
        time.sleep(2.5)  # past the next check
        check(served_subject_becomes(server.port, "rsa", 2), "the old certificate must stay after a failed reload")
        warnings = server.err.read_text().count("could not be loaded")
        check(warnings == 1, f"a failed reload is reported once, got {warnings}: {server.err.read_text()!r}")
        check(curl("--cacert", str(ca), server.url()).returncode == 0, "serving after the failed reload")
    finally:
        server.stop()


def check_chain(folder):
    chain, der = make_chain(folder)
    check(der > 4096, f"the chain is only {der} bytes of DER: it must not fit a 4 KiB record")
    server = Server(folder, "chain", ["--tls-cert-file", str(chain), "--tls-key-file",
                                      str(TLS_DATA / "chain-leaf.key")])
    try:
        for version in ("--tlsv1.2", "--tlsv1.3"):
            got = curl(version, "--tls-max", version[6:], "--cacert", str(folder / "chain-root.pem"), "-o",
                       "/dev/null", "-w", "%{http_code}", server.url("/metrics"))
            check(got.returncode == 0 and got.stdout == "200",
                  f"a {der}-byte chain over {version}: {got.returncode} {got.stdout} {got.stderr}")
    finally:
        server.stop()
    check("TLS handshake failed" not in server.err.read_text(), f"chain: {server.err.read_text()!r}")
    return chain


def check_client_certificates(folder):
    ca = folder / "ca.pem"
    # 127.1: a remote listen text (no token needed with client certificates) that still means loopback.
    server = Server(folder, "mtls", ["--listen", "127.1", "--tls-cert-file", str(folder / "p256.pem"),
                                     "--tls-key-file", str(folder / "p256.key"), "--tls-client-ca-file",
                                     str(folder / "clientca.pem"), "--tls-min-version", "1.3"])
    try:
        url = f"https://localhost:{server.port}/metrics"
        resolve = ["--resolve", f"localhost:{server.port}:127.0.0.1"]
        good = curl(*resolve, "--cacert", str(ca), "--cert", str(folder / "client.pem"), "--key",
                    str(folder / "client.key"), "-o", "/dev/null", "-w", "%{http_code}", url)
        check(good.returncode == 0 and good.stdout == "200", f"client certificate of the CA: {good.stdout} {good.stderr}")
        none = curl(*resolve, "--cacert", str(ca), url)
        check(none.returncode != 0, "no client certificate must be refused")
        # A certificate is authentication enough: the Host check is skipped for it.
        hosted = curl(*resolve, "--cacert", str(ca), "--cert", str(folder / "client.pem"), "--key",
                      str(folder / "client.key"), "-H", "Host: evil.example", "-o", "/dev/null", "-w",
                      "%{http_code}", url)
        check(hosted.stdout == "200", f"an authenticated client with another Host: {hosted.stdout} {hosted.stderr}")
        none = curl(*resolve, "--cacert", str(ca), url)
        check(none.returncode != 0, "no client certificate must be refused")
        foreign = curl(*resolve, "--cacert", str(ca), "--cert", str(folder / "stranger.pem"), "--key",
                       str(folder / "stranger.key"), url)
        check(foreign.returncode != 0, "a foreign client certificate must be refused")
        server_only = curl(*resolve, "--cacert", str(ca), "--cert", str(folder / "serveronly.pem"), "--key",
                           str(folder / "serveronly.key"), url)
        check(server_only.returncode != 0, "a certificate of the CA without clientAuth must be refused")
        check(s_client(server.port, "-tls1_2") is None, "--tls-min-version 1.3 refuses TLS 1.2")
        # Four failed handshakes within the minute: the first is reported at once, with mbedTLS's reason and the
        # count; the others wait for the next line.
        time.sleep(1)
        lines = [line for line in server.err.read_text().splitlines() if "TLS handshake" in line]
        check(len(lines) == 1 and lines[0].startswith("warning: TLS handshake failed: ")
              and lines[0].endswith("(1 failed since the server started)"), f"handshake failures: {lines}")
    finally:
        server.stop()


def check_refusals(folder, chain):
    # Many intermediates: a Certificate message larger than one TLS record.
    (folder / "huge.pem").write_text(chain.read_text() * 6)
    cases = (
        (["--tls-cert-file", "huge.pem", "--tls-key-file", str(TLS_DATA / "chain-leaf.key")], 1,
         "Error: TLS certificate file huge.pem: the chain of 18 certificates takes "),
        (["--tls-cert-file", "p256.pem"], 2, "error: --tls-cert-file needs --tls-key-file"),
        (["--tls-cert-file", "p256.pem", "--tls-key-file", "missing.key"], 1, "Error: TLS key file missing.key: "),
        (["--tls-cert-file", "p256.pem", "--tls-key-file", "rsa.key"], 1,
         "Error: TLS key file rsa.key: does not match the certificate in p256.pem"),
        (["--tls-cert-file", "p256.key", "--tls-key-file", "p256.key"], 1,
         "Error: TLS certificate file p256.key: unexpected PEM block PRIVATE KEY"),
    )
    for args, status, message in cases:
        result = run([*RUNNER, *KARVO, "--serve", "0", *args], cwd=folder)
        check(result.returncode == status and result.stderr.startswith(message) and result.stdout == "",
              f"{args}: status {result.returncode}, stdout {result.stdout!r}, stderr {result.stderr!r}")


def main():
    with tempfile.TemporaryDirectory(prefix="karvo-https-") as temp:
        folder = pathlib.Path(temp)
        names = "DNS:localhost,IP:127.0.0.1"
        for name in ("ca", "clientca", "strangerca"):
            make_ca(folder, name)
        make_cert(folder, "p256", "ca", ["ec", "-pkeyopt", "ec_paramgen_curve:P-256"], f"subjectAltName={names}")
        make_cert(folder, "rsa", "ca", ["rsa:2048"], f"subjectAltName={names}")
        # The RSA key in PKCS#1 form, the P-256 one stays PKCS#8.
        openssl("pkey", "-in", str(folder / "rsa.key"), "-traditional", "-out", str(folder / "rsa1.key"))
        os.replace(folder / "rsa1.key", folder / "rsa.key")
        make_cert(folder, "client", "clientca", ["ec", "-pkeyopt", "ec_paramgen_curve:P-256"],
                  "extendedKeyUsage=clientAuth")
        make_cert(folder, "stranger", "strangerca", ["ec", "-pkeyopt", "ec_paramgen_curve:P-256"],
                  "extendedKeyUsage=clientAuth")
        make_cert(folder, "serveronly", "clientca", ["ec", "-pkeyopt", "ec_paramgen_curve:P-256"],
                  "extendedKeyUsage=serverAuth")
        check_server(folder)
        chain = check_chain(folder)
        check_client_certificates(folder)
        check_refusals(folder, chain)
    print(f"https checks: {len(failures)} failed")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
