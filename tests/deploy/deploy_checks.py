#!/usr/bin/python3
"""Checks of the files in deploy/ and of docs/metrics.md, and a real scrape.

  deploy_checks.py files
      promtool on the Prometheus configuration and rules (and the rules' unit
      tests), the Grafana dashboard's structure, systemd-analyze on the unit,
      and that every metric the rules, the dashboard and docs/metrics.md name
      is one karvo writes (the names of the renderer's golden files).
  deploy_checks.py scrape KARVO JSON_DOCUMENTS
      Prometheus (Debian's) scrapes two `karvo --serve` over a machine built
      as a KARVO_SYSROOT tree: one with a token through the shipped
      configuration's credentials_file, one token-less on loopback. Prometheus'
      HTTP API must then hold exactly the samples karvo's /metrics gave, the
      rules must evaluate cleanly with nothing firing, and every dashboard
      query must return data. Karvo's GET / body and --json output join the
      documents validated against the schema.

Debian's /usr/bin/python3 with python3-yaml; prometheus, promtool and
(where systemd is installed) systemd-analyze. Every wait is bounded; child
processes and temporary folders are removed whatever happens.
"""
import json
import os
import pathlib
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

import yaml

ROOT = pathlib.Path(__file__).resolve().parents[2]
DEPLOY = ROOT / "deploy"
CONFIG = DEPLOY / "prometheus" / "prometheus.yml"
RULES = DEPLOY / "prometheus" / "karvo-alerts.yml"
DASHBOARD = DEPLOY / "grafana" / "karvo-dashboard.json"
UNIT = DEPLOY / "systemd" / "karvo.service"
TOKEN = "scrape-test-token-0123456789abcdef"
PROMETHEUS_METRICS = {"up"}  # written by Prometheus itself, about every target


class CheckFailed(Exception):
    pass


def check(condition, message):
    if not condition:
        raise CheckFailed(message)


def run(args, stdout_only=False, **kwargs):
    """Runs a tool to the end (at most 120 s) and returns its output (both streams unless `stdout_only`)."""
    try:
        done = subprocess.run(args, capture_output=True, text=True, timeout=120, **kwargs)
    except FileNotFoundError:
        raise CheckFailed(f"{args[0]} is not installed (bash scripts/deps.sh test installs it)")
    check(done.returncode == 0, f"{' '.join(map(str, args))} exited with {done.returncode}:\n{done.stdout}{done.stderr}")
    return done.stdout if stdout_only else done.stdout + done.stderr


# ---- metric names

# Families whose values change with every scrape (how long the pass and each source took).
TIMINGS = ("amd_gpu_discovery_seconds", "amd_gpu_source_seconds")


def karvo_metric_names():
    """The metrics karvo writes: every family in the renderer's golden Prometheus texts."""
    names, typed = set(), set()
    for golden in (ROOT / "tests" / "render" / "golden").glob("*.metrics.txt"):
        for line in golden.read_text().splitlines():
            if line.startswith("# TYPE "):
                typed.add(line.split()[2])
            elif line and not line.startswith("#"):
                names.add(re.split(r"[{ ]", line, maxsplit=1)[0])
    check(names == typed, f"families with samples {sorted(names)} and with a TYPE line {sorted(typed)} differ")
    check(len(names) == 33, f"the golden metrics files should show all 33 families, they show {sorted(names)}")
    return names


PROMQL_WORDS = {"by", "without", "on", "ignoring", "group_left", "group_right", "offset", "bool", "and", "or",
                "unless", "sum", "min", "max", "avg", "group", "stddev", "stdvar", "count", "count_values",
                "bottomk", "topk", "quantile"}


def promql_metric_names(expr):
    """The metric names a PromQL expression selects (a small tokenizer, enough for these files)."""
    expr = re.sub(r'"(?:[^"\\]|\\.)*"', '""', expr)
    expr = re.sub(r"\{[^}]*\}", "{}", expr)
    expr = re.sub(r"\[[^\]]*\]", "[]", expr)
    expr = re.sub(r"\b(by|without|on|ignoring|group_left|group_right)\s*\([^)]*\)", r"\1", expr)
    names = set()
    for match in re.finditer(r"(?<![\w.$])[a-zA-Z_:][a-zA-Z0-9_:]*", expr):
        if match.group() not in PROMQL_WORDS and not expr[match.end():].lstrip().startswith("("):
            names.add(match.group())
    return names


def rule_exprs():
    return [rule["expr"] for group in yaml.safe_load(RULES.read_text())["groups"] for rule in group["rules"]]


def dashboard_targets(dashboard):
    return [target for panel in dashboard["panels"] for target in panel["targets"]]


def all_values(dashboard, expr):
    """A dashboard query as Grafana runs it with every variable set to "All" (its allValue)."""
    # Longest names first, so that no name replaces the start of another.
    for variable in sorted(dashboard["templating"]["list"], key=lambda v: -len(v["name"])):
        if "allValue" in variable:
            expr = expr.replace("$" + variable["name"], variable["allValue"])
    return expr


# ---- the shipped Prometheus configuration, made runnable

def runnable_config(folder, karvo_target, local_target, interval, https_target="127.0.0.1:1"):
    """deploy/prometheus/prometheus.yml with its targets, token file, CA file and rules path made local."""
    config = yaml.safe_load(CONFIG.read_text())
    (folder / "karvo.token").write_text(TOKEN + "\n")
    config["rule_files"] = [str(RULES)]
    if interval:
        config["global"].update(scrape_interval=interval, evaluation_interval=interval)
    jobs = {job["job_name"]: job for job in config["scrape_configs"]}
    check(set(jobs) == {"karvo", "karvo-https", "karvo-local"}, f"scrape jobs: {sorted(jobs)}")
    https = jobs["karvo-https"]
    check(https.get("scheme") == "https" and https["tls_config"]["ca_file"] == "/etc/prometheus/karvo-ca.pem"
          and https["tls_config"].get("server_name") and https["authorization"] == jobs["karvo"]["authorization"],
          "job karvo-https scrapes over HTTPS with a CA file, a server name and the bearer token")
    https["tls_config"]["ca_file"] = str(folder / "ca.pem")
    check(jobs["karvo"]["authorization"]["credentials_file"] == "/etc/prometheus/karvo.token"
          and jobs["karvo"]["authorization"].get("type", "Bearer") == "Bearer",
          "job karvo must send a Bearer token from a credentials_file")
    check("authorization" not in jobs["karvo-local"], "job karvo-local is the token-less one")
    jobs["karvo"]["authorization"]["credentials_file"] = str(folder / "karvo.token")
    https["authorization"]["credentials_file"] = str(folder / "karvo.token")
    for job, target in (("karvo", karvo_target), ("karvo-local", local_target), ("karvo-https", https_target)):
        jobs[job]["static_configs"] = [{"targets": [target]}]
        if interval:
            jobs[job]["scrape_timeout"] = interval
    path = folder / "prometheus.yml"
    path.write_text(yaml.safe_dump(config))
    return path


# ---- deploy_checks.py files

def check_files():
    karvo_names = karvo_metric_names()
    with tempfile.TemporaryDirectory(prefix="karvo-deploy-") as temp:
        run(["promtool", "check", "config", "--syntax-only", CONFIG])
        run(["promtool", "check", "config", runnable_config(pathlib.Path(temp), "127.0.0.1:9110",
                                                            "127.0.0.1:9111", None)])
    run(["promtool", "check", "rules", RULES])
    run(["promtool", "test", "rules", pathlib.Path(__file__).with_name("karvo-alerts.test.yml")])
    for expr in rule_exprs():
        unknown = promql_metric_names(expr) - karvo_names - PROMETHEUS_METRICS
        check(not unknown, f"rule expression {expr!r} names metrics karvo does not write: {sorted(unknown)}")

    dashboard = json.loads(DASHBOARD.read_text())
    for key, kind in (("title", str), ("uid", str), ("schemaVersion", int), ("panels", list), ("templating", dict)):
        check(isinstance(dashboard.get(key), kind), f"dashboard: {key} must be a {kind.__name__}")
    check(dashboard.get("id") is None, "dashboard: id must be null for an import")
    variables = {v["name"]: v for v in dashboard["templating"]["list"]}
    check(variables.get("datasource", {}).get("type") == "datasource"
          and variables["datasource"].get("query") == "prometheus", "dashboard: a Prometheus data source variable")
    check(re.fullmatch(r"label_values\(amd_gpu_\w+(\{[^}]*\})?, id\)", variables.get("gpu", {}).get("query", "")),
          "dashboard: the gpu variable takes the values of the id label")
    used, ids = set(), set()
    for panel in dashboard["panels"]:
        where = f"dashboard panel {panel.get('title')!r}"
        check(panel.get("id") not in ids and isinstance(panel.get("id"), int), f"{where}: unique integer id")
        ids.add(panel["id"])
        check(panel.get("type") in {"timeseries", "stat", "bargauge", "gauge", "table"}, f"{where}: type")
        grid = panel.get("gridPos", {})
        check(all(isinstance(grid.get(k), int) for k in "xywh") and grid["x"] + grid["w"] <= 24,
              f"{where}: gridPos")
        check(panel.get("datasource", {}).get("uid") == "${datasource}", f"{where}: data source variable")
        check(panel.get("targets"), f"{where}: no queries")
        refs = [t.get("refId") for t in panel["targets"]]
        check(len(set(refs)) == len(refs) and all(refs), f"{where}: refIds")
        for target in panel["targets"]:
            names = promql_metric_names(target["expr"])
            check(names and names <= karvo_names,
                  f"{where}: {target['expr']!r} names metrics karvo does not write: {sorted(names - karvo_names)}")
            used |= names
    check(used == karvo_names, f"dashboard leaves out {sorted(karvo_names - used)}")

    documented = set(re.findall(r"^### `(amd_gpu_\w+)`", (ROOT / "docs" / "metrics.md").read_text(), re.M))
    check(documented == karvo_names, f"docs/metrics.md documents {sorted(documented)}, karvo writes "
                                     f"{sorted(karvo_names)}")

    check_unit_rights()
    if shutil.which("systemd-analyze"):
        with tempfile.TemporaryDirectory(prefix="karvo-unit-") as temp:
            # The unit names the installed path; point it at a program that exists here.
            unit = pathlib.Path(temp) / "karvo.service"
            unit.write_text(UNIT.read_text().replace("/usr/local/bin/karvo", "/bin/true"))
            out = run(["systemd-analyze", "verify", unit])
            check(out.strip() == "", f"systemd-analyze verify reports:\n{out}")
        print("systemd-analyze verify: clean")
    else:
        print("systemd-analyze is not installed: the unit was not verified")
    print("deploy files: all checks passed")


def unit_settings():
    """The [Service] section of the unit: each key with every value it is given, in order."""
    settings, section = {}, None
    for line in UNIT.read_text().splitlines():
        line = line.strip()
        if line.startswith("["):
            section = line
        elif section == "[Service]" and "=" in line and not line.startswith("#"):
            key, value = line.split("=", 1)
            settings.setdefault(key, []).append(value)
    return settings


def check_unit_rights():
    """The unit lets karvo do what it does: read the render nodes (the driver query) and other users' fdinfo."""
    unit = unit_settings()
    policy = unit.get("DevicePolicy", ["auto"])[-1]
    allowed = [value.split() for value in unit.get("DeviceAllow", [])]
    if policy != "auto" or allowed:
        # /dev/dri/renderD* are character devices of the "drm" group of /proc/devices.
        check(any(spec[0] in ("char-drm", "/dev/dri", "/dev/dri/renderD128") and "r" in (spec[1:] or ["rwm"])[0]
                  for spec in allowed),
              f"the unit's devices ({policy}, {allowed}) keep karvo from reading the render nodes")
    check("render" in " ".join(unit.get("SupplementaryGroups", [])).split(),
          "the render nodes (root:render, 0660) need the group render")
    check("true" not in unit.get("PrivateDevices", ["false"]), "PrivateDevices hides /dev/dri")
    capabilities = " ".join(unit.get("AmbientCapabilities", [])).split()
    check({"CAP_DAC_READ_SEARCH", "CAP_SYS_PTRACE"} <= set(capabilities),
          f"other users' /proc/<pid>/fdinfo need CAP_DAC_READ_SEARCH and CAP_SYS_PTRACE: {capabilities}")


# ---- deploy_checks.py scrape

def gpu_metrics_v1_3():
    """A discrete card's gpu_metrics (format 1.3): energy, rails and no throttling; the rest unsupported."""
    import struct
    blob = bytearray(b"\xff" * 120)
    struct.pack_into("<HBB", blob, 0, 120, 1, 3)
    struct.pack_into("<Q", blob, 24, 1000 << 16)            # energy_accumulator: 1000 J
    struct.pack_into("<I", blob, 68, 0)                     # throttle_status
    struct.pack_into("<HHH", blob, 104, 906, 862, 1250)     # voltage soc, gfx, mem (mV)
    struct.pack_into("<Q", blob, 112, 0)                    # indep_throttle_status: none
    return bytes(blob)


def build_machine(top):
    """One RX 7900 XTX behind the card's own PCIe switch, with every sensor; two processes holding its VRAM
    (one through KFD as well), one of them in a Kubernetes pod."""
    root_port = "sys/devices/pci0000:00/0000:00:01.1"
    upstream = f"{root_port}/0000:01:00.0"
    downstream = f"{upstream}/0000:02:00.0"
    pci = f"{downstream}/0000:03:00.0"
    hwmon = f"{pci}/hwmon/hwmon4"
    pod_uid = "6f0c1e2a-58a4-4d0e-9c43-2b7e0f1d9a11"
    container = "4f1c2a9b8e7d" + "0" * 52
    files = {
        f"{root_port}/vendor": "0x1022\n", f"{root_port}/max_link_speed": "32.0 GT/s PCIe\n",
        f"{root_port}/max_link_width": "16\n",
        f"{upstream}/vendor": "0x1002\n", f"{upstream}/max_link_speed": "16.0 GT/s PCIe\n",
        f"{upstream}/max_link_width": "16\n", f"{upstream}/current_link_speed": "16.0 GT/s PCIe\n",
        f"{upstream}/current_link_width": "16\n",
        f"{downstream}/vendor": "0x1002\n",
        f"{pci}/mem_info_gtt_total": "33604378624\n", f"{pci}/mem_info_gtt_used": "123731968\n",
        f"{pci}/mem_busy_percent": "12\n", f"{pci}/vcn_busy_percent": "3\n",
        f"{pci}/ras/umc_err_count": "ue: 0\nce: 2\n", f"{pci}/ras/gfx_err_count": "ue: 0\nce: 1\n",
        f"{hwmon}/fan1_input": "1180\n", f"{hwmon}/pwm1": "84\n",
        f"{hwmon}/in0_label": "vddgfx\n", f"{hwmon}/in0_input": "862\n",
        f"proc/4242/cgroup": f"0::/kubepods.slice/kubepods-burstable.slice/kubepods-burstable-pod"
                             f"{pod_uid.replace('-', '_')}.slice/cri-containerd-{container}.scope\n",
        f"var/log/pods/ml_render-0_{pod_uid}/blender/0.log": "",
        f"{pci}/vendor": "0x1002\n", f"{pci}/device": "0x744c\n", f"{pci}/revision": "0xc8\n",
        f"{pci}/subsystem_vendor": "0x1002\n", f"{pci}/subsystem_device": "0x0e3b\n",
        f"{pci}/mem_info_vram_total": "25753026560\n", f"{pci}/mem_info_vram_used": "3221225472\n",
        f"{pci}/mem_info_vram_vendor": "samsung\n", f"{pci}/vbios_version": "113-D7020100-102\n",
        f"{pci}/unique_id": "5f2c9a0e3b1d4c77\n", f"{pci}/gpu_busy_percent": "37\n",
        f"{pci}/power/runtime_status": "active\n",
        f"{pci}/pp_dpm_pcie": "0: 2.5GT/s, x1 97Mhz\n1: 16.0GT/s, x16 619Mhz *\n",
        f"{hwmon}/name": "amdgpu\n",
        f"{hwmon}/temp1_label": "edge\n", f"{hwmon}/temp1_input": "45000\n",
        f"{hwmon}/temp2_label": "junction\n", f"{hwmon}/temp2_input": "71500\n",
        f"{hwmon}/temp3_label": "mem\n", f"{hwmon}/temp3_input": "60000\n",
        f"{hwmon}/freq1_label": "sclk\n", f"{hwmon}/freq1_input": "2482000000\n",
        f"{hwmon}/freq2_label": "mclk\n", f"{hwmon}/freq2_input": "1249000000\n",
        f"{hwmon}/power1_input": "212250000\n", f"{hwmon}/power1_cap": "327000000\n",
        "sys/module/amdgpu/version": "6.1.0\n",
        "sys/class/kfd/kfd/topology/nodes/0/gpu_id": "0\n",
        "sys/class/kfd/kfd/topology/nodes/0/properties": "simd_count 0\n",
        "sys/class/kfd/kfd/topology/nodes/1/gpu_id": "48813\n",
        "sys/class/kfd/kfd/topology/nodes/1/properties":
            "simd_count 192\nsimd_per_cu 2\ngfx_target_version 110000\ndomain 0\nlocation_id 768\n",
        "sys/class/kfd/kfd/proc/977/vram_48813": "671088640\n",
        "usr/share/libdrm/amdgpu.ids": "# test list\n1.0.0\n744C,\tC8,\tAMD Radeon RX 7900 XTX\n",
        "proc/4242/comm": "blender\n",
        "proc/4242/fdinfo/7": "pos:\t0\nflags:\t02100002\ndrm-driver:\tamdgpu\ndrm-pdev:\t0000:03:00.0\n"
                              "drm-client-id:\t12\ndrm-resident-vram:\t2097152 KiB\ndrm-engine-gfx:\t9123456 ns\n"
                              "drm-resident-gtt:\t96 MiB\ndrm-engine-dec:\t1000 ns\n",
        "proc/977/comm": "python3\n",
        "proc/977/fdinfo/4": "drm-driver:\tamdgpu\ndrm-pdev:\t0000:03:00.0\ndrm-client-id:\t13\n"
                             "drm-memory-vram:\t512 MiB\ndrm-engine-compute:\t5000 ns\n",
    }
    links = {
        "sys/class/drm/card0/device": "../../../" + pci.removeprefix("sys/"),
        f"{pci}/driver": "../../../../../../bus/pci/drivers/amdgpu",
        "proc/4242/fd/7": "/dev/dri/renderD128",
        "proc/4242/fd/1": "/dev/null",
        "proc/977/fd/4": "/dev/dri/renderD128",
        f"var/log/containers/render-0_ml_blender-{container}.log": f"/var/log/pods/ml_render-0_{pod_uid}/blender/0.log",
    }
    for relative, text in files.items():
        (top / relative).parent.mkdir(parents=True, exist_ok=True)
        (top / relative).write_text(text)
    (top / pci / "gpu_metrics").write_bytes(gpu_metrics_v1_3())
    (top / "sys/bus/pci/drivers/amdgpu").mkdir(parents=True)
    for relative, target in links.items():
        (top / relative).parent.mkdir(parents=True, exist_ok=True)
        os.symlink(target, top / relative)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for(what, probe, seconds, log=None):
    """Polls `probe` until it returns something true; fails with `what` after `seconds`."""
    deadline, last = time.monotonic() + seconds, None
    while time.monotonic() < deadline:
        try:
            result = probe()
            if result:
                return result
        except (OSError, ValueError, KeyError) as error:
            last = error
        time.sleep(0.25)
    raise CheckFailed(f"timed out after {seconds} s waiting for {what}" + (f" (last error: {last})" if last else "")
                      + (f"\n--- log:\n{log()}" if log else ""))


class Children:
    """Programs started in the background, ended (and reaped) however the test ends."""

    def __init__(self, folder):
        self.folder, self.started = folder, []

    def start(self, name, args, env=None):
        log = open(self.folder / f"{name}.log", "w")
        process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT, env=env)
        self.started.append((process, log))
        return process

    def log(self, name):
        return (self.folder / f"{name}.log").read_text(errors="replace")[-4000:]

    def stop(self):
        for process, log in reversed(self.started):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
            log.close()


def start_with_free_port(children, name, make_args, ready, env=None):
    """Starts a server on a port picked just before; tries again when another program took it meanwhile."""
    for _ in range(5):
        port = free_port()
        process = children.start(name, make_args(port), env)

        def up():
            if process.poll() is not None:
                return "ended"
            return ready(port)
        state = wait_for(f"{name} to listen on 127.0.0.1:{port}", up, 60, lambda: children.log(name))
        if state != "ended":
            return port
    raise CheckFailed(f"{name} did not start:\n{children.log(name)}")


def make_certificates(folder, server_name):
    """ca.pem, and karvo.pem / karvo.key (P-256) that it signed for `server_name`."""
    def openssl(*args):
        run(["openssl", *args])
    openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "2",
            "-subj", "/CN=karvo test CA", "-keyout", str(folder / "ca.key"), "-out", str(folder / "ca.pem"))
    openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-subj", f"/CN={server_name}",
            "-keyout", str(folder / "karvo.key"), "-out", str(folder / "karvo.csr"))
    (folder / "karvo.ext").write_text(f"subjectAltName=DNS:{server_name}\n")
    openssl("x509", "-req", "-in", str(folder / "karvo.csr"), "-CA", str(folder / "ca.pem"), "-CAkey",
            str(folder / "ca.key"), "-CAcreateserial", "-days", "2", "-out", str(folder / "karvo.pem"),
            "-extfile", str(folder / "karvo.ext"))
    os.chmod(folder / "karvo.key", 0o600)


def http_get(url, token=None):
    request = urllib.request.Request(url, headers={"Authorization": f"Bearer {token}"} if token else {})
    with urllib.request.urlopen(request, timeout=10) as response:
        return response.read().decode("utf-8")


def parse_metrics(text, timings=False):
    """karvo's exposition text as {(name, frozenset(labels)): value}: without the times (which change with every
    scrape), or with `timings` only the times' series, each with the value None."""
    samples = {}
    for line in text.splitlines():
        if re.fullmatch(r"# (HELP|TYPE) amd_gpu_\w+ .+", line):
            continue
        match = re.fullmatch(r"(\w+)(?:\{(.*)\})? (\S+)", line)
        check(match, f"karvo wrote an unexpected line: {line!r}")
        labels = {k: re.sub(r"\\(.)", r"\1", v) for k, v in re.findall(r'(\w+)="((?:[^"\\]|\\.)*)"', match[2] or "")}
        if match[1] in TIMINGS:
            check(float(match[3]) >= 0, f"karvo wrote a negative time: {line!r}")
        elif match[2] is None:
            check(False, f"karvo wrote a sample without labels: {line!r}")
        if (match[1] in TIMINGS) == timings:
            samples[(match[1], frozenset(labels.items()))] = None if timings else float(match[3])
    return samples


def check_scrape(karvo, json_documents):
    karvo_names = karvo_metric_names()
    check(shutil.which("prometheus"), "prometheus is not installed (bash scripts/deps.sh test installs it)")
    with tempfile.TemporaryDirectory(prefix="karvo-scrape-") as temp:
        folder = pathlib.Path(temp)
        build_machine(folder / "machine")
        (folder / "karvo.token").write_text(TOKEN + "\n")
        env = {k: v for k, v in os.environ.items() if not k.startswith("KARVO_")}
        env["KARVO_SYSROOT"] = str(folder / "machine")
        children = Children(folder)
        try:
            def banner(name):
                return lambda port: children.log(name).count("\n") >= 2
            # At most one process series per GPU (of the machine's two), so the count of the one left out is
            # written too: as an option, and for the token-less one from its variable.
            token_port = start_with_free_port(
                children, "karvo", lambda p: [karvo, "--serve", str(p), "--token-file", str(folder / "karvo.token"),
                                              "--metrics-max-processes", "1"],
                banner("karvo"), env)
            local_port = start_with_free_port(children, "karvo-local", lambda p: [karvo, "--serve", str(p)],
                                              banner("karvo-local"), {**env, "KARVO_METRICS_MAX_PROCESSES": "1"})
            # The HTTPS one: a CA and a certificate for the job's server_name, made here.
            server_name = yaml.safe_load(CONFIG.read_text())["scrape_configs"]
            server_name = next(j for j in server_name if j["job_name"] == "karvo-https")["tls_config"]["server_name"]
            make_certificates(folder, server_name)
            https_port = start_with_free_port(
                children, "karvo-https",
                lambda p: [karvo, "--serve", str(p), "--token-file", str(folder / "karvo.token"), "--tls-cert-file",
                           str(folder / "karvo.pem"), "--tls-key-file", str(folder / "karvo.key"),
                           "--metrics-max-processes=1"],
                banner("karvo-https"), env)
            base = f"http://127.0.0.1:{token_port}"
            karvo_text = http_get(f"{base}/metrics", TOKEN)
            expected = parse_metrics(karvo_text)
            timed = parse_metrics(karvo_text, timings=True)
            local_text = http_get(f"http://127.0.0.1:{local_port}/metrics")
            check(parse_metrics(local_text) == expected and parse_metrics(local_text, timings=True) == timed,
                  "the token-less karvo over the same machine writes other metrics")
            # The machine's sources all answer (its card has no render node: the driver is not asked).
            sources = {dict(k[1])["source"]: v for k, v in expected.items() if k[0] == "amd_gpu_source_up"}
            check(sources == {"sysfs": 1, "kfd": 1, "fdinfo": 1, "cgroup": 1},
                  f"karvo's sources over the test machine:\n{karvo_text}")
            dropped = {dict(k[1])["id"]: v for k, v in expected.items() if k[0] == "amd_gpu_process_series_dropped"}
            check(dropped == {"0": 1}, f"karvo's count of process series left out:\n{karvo_text}")
            # Validated against the schema by the json_schema test.
            for origin, document in (("scrape-get-root", http_get(f"{base}/", TOKEN)),
                                     ("scrape-json", run([karvo, "--json"], stdout_only=True, env=env))):
                pathlib.Path(json_documents).mkdir(parents=True, exist_ok=True)
                (pathlib.Path(json_documents) / f"{origin}.{os.getpid()}.json").write_text(document)
            # The values the machine's files imply: the tree was read at all.
            total = {dict(k[1])["name"]: v for k, v in expected.items() if k[0] == "amd_gpu_vram_total_mb"}
            check(total == {"AMD Radeon RX 7900 XTX": 24560}, f"karvo's /metrics over the test machine:\n{karvo_text}")
            processes = {dict(k[1])["pid"]: v for k, v in expected.items() if k[0] == "amd_gpu_process_mem_mb"}
            check(processes.get("4242") == 2048, f"karvo reports no 2048 MB for pid 4242:\n{karvo_text}")

            config = runnable_config(folder, f"127.0.0.1:{token_port}", f"127.0.0.1:{local_port}", "1s",
                                     f"127.0.0.1:{https_port}")

            def ready(port):
                return http_get(f"http://127.0.0.1:{port}/-/ready").startswith("Prometheus Server is Ready")
            prom_port = start_with_free_port(
                children, "prometheus",
                lambda p: ["prometheus", f"--config.file={config}", f"--storage.tsdb.path={folder / 'data'}",
                           f"--web.listen-address=127.0.0.1:{p}", "--log.level=warn"],
                ready)
            api = f"http://127.0.0.1:{prom_port}/api/v1"

            def query(expr):
                body = json.loads(http_get(f"{api}/query?" + urllib.parse.urlencode({"query": expr})))
                check(body["status"] == "success", f"query {expr!r}: {body}")
                return body["data"]["result"]

            def up_everywhere():
                values = {s["metric"]["job"]: s["value"][1] for s in query('up{job=~"karvo.*"}')}
                return values == {"karvo": "1", "karvo-local": "1", "karvo-https": "1"}
            wait_for("up to be 1 for every karvo job", up_everywhere, 60, lambda: children.log("prometheus"))

            def stored():
                found = {}
                for s in query('{__name__=~"amd_gpu_.+", job="karvo"}'):
                    labels = {k: v for k, v in s["metric"].items() if k not in ("instance", "job", "__name__")}
                    name = s["metric"]["__name__"]
                    if name in TIMINGS:
                        check(float(s["value"][1]) >= 0, f"Prometheus holds a negative time: {s}")
                    found[(name, frozenset(labels.items()))] = None if name in TIMINGS else float(s["value"][1])
                return found
            everything = {**expected, **timed}
            wait_for("Prometheus to hold karvo's samples", lambda: stored() == everything, 30)
            found = stored()
            check(found == everything, f"Prometheus holds {found}, karvo wrote {everything}")

            # Rules: evaluated without error, nothing pending or firing on a healthy machine.
            def evaluated():
                rules = [r for g in json.loads(http_get(f"{api}/rules"))["data"]["groups"] for r in g["rules"]]
                return rules if rules and all(r["lastEvaluation"] > "2000" for r in rules) else None
            rules = wait_for("the alerting rules to be evaluated", evaluated, 30)
            check(len(rules) == len(rule_exprs()) and all(r["health"] == "ok" for r in rules),
                  f"rules: {[(r['name'], r['health'], r.get('lastError')) for r in rules]}")
            alerts = json.loads(http_get(f"{api}/alerts"))["data"]["alerts"]
            check(alerts == [], f"alerts on a healthy machine: {alerts}")

            # Every dashboard query with its variables at "All"; queries over a
            # rate need a second scrape, so wait (bounded) until all answer.
            dashboard = json.loads(DASHBOARD.read_text())
            exprs = [all_values(dashboard, target["expr"]) for target in dashboard_targets(dashboard)]
            try:
                wait_for("every dashboard query to return data", lambda: all(query(e) for e in exprs), 20)
            except CheckFailed:
                pass
            empty = [target["expr"] for target, expr in zip(dashboard_targets(dashboard), exprs) if not query(expr)]
            check(not empty, "dashboard queries that return nothing:\n" + "\n".join(empty))
            check({n for t in dashboard_targets(dashboard) for n in promql_metric_names(t["expr"])} == karvo_names,
                  "the dashboard does not query every metric")
            print(f"scrape: Prometheus holds karvo's {len(expected)} samples; "
                  f"{len(rules)} rules and {len(dashboard_targets(dashboard))} dashboard queries evaluated")
        finally:
            children.stop()


def main(argv):
    try:
        if argv[1:2] == ["files"] and len(argv) == 2:
            check_files()
        elif argv[1:2] == ["scrape"] and len(argv) == 4:
            check_scrape(argv[2], argv[3])
        else:
            sys.exit(__doc__)
    except CheckFailed as failure:
        print(f"FAILED: {failure}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
