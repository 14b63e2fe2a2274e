#!/usr/bin/python3
"""Checks of deploy/kubernetes/: the manifests, the Prometheus job and the image.

  kubernetes_checks.py [KARVO]

karvo.yaml: kinds and apiVersions, labels and selectors, the container's
rights, probes, mounts and arguments; with KARVO, the readiness probe's
command run with bash against `KARVO --serve` over a machine without a GPU
(not ready) and one with a GPU (ready). kubectl's client-side dry run needs an
API server to discover the kinds, so it is not used. prometheus-scrape.yml: promtool on a
copy, and its relabelling applied to the targets Kubernetes discovery gives
for the Service's endpoints. Debian's Prometheus is built without Kubernetes
discovery, so the copy promtool checks names one static target instead (and an
existing token file); everything else in the job is checked as written.

Debian's /usr/bin/python3 with python3-yaml, and promtool.
"""
import os
import pathlib
import re
import socket
import subprocess
import sys
import tempfile
import time

import yaml

ROOT = pathlib.Path(__file__).resolve().parents[2]
FOLDER = ROOT / "deploy" / "kubernetes"
MANIFEST = FOLDER / "karvo.yaml"
SCRAPE = FOLDER / "prometheus-scrape.yml"
DOCKERFILE = FOLDER / "Dockerfile"
KINDS = {"Namespace": "v1", "DaemonSet": "apps/v1", "Service": "v1"}
HOST_FOLDERS = {"/sys", "/proc", "/var/log/pods", "/var/log/containers", "/usr/share/libdrm"}
# Labels karvo's own process metrics carry: a target label of that name would displace them.
KARVO_LABELS = {"pod", "namespace", "container", "container_id", "pid", "id", "name"}


class CheckFailed(Exception):
    pass


def check(condition, message):
    if not condition:
        raise CheckFailed(message)


def container_port(container, ref):
    """The containerPort a Service targetPort or probe port (name or number) refers to, or None."""
    for port in container.get("ports", []):
        if ref in (port.get("name"), port["containerPort"]):
            return port["containerPort"]
    return None


def check_manifest():
    docs = [d for d in yaml.safe_load_all(MANIFEST.read_text()) if d is not None]
    check(sorted(d["kind"] for d in docs) == sorted(KINDS), f"karvo.yaml holds {[d['kind'] for d in docs]}")
    for doc in docs:
        check(doc["apiVersion"] == KINDS[doc["kind"]], f"{doc['kind']}: apiVersion {doc['apiVersion']}")
    objects = {d["kind"]: d for d in docs}
    namespace = objects["Namespace"]["metadata"]["name"]
    for kind in ("DaemonSet", "Service"):
        check(objects[kind]["metadata"].get("namespace") == namespace, f"{kind} is not in namespace {namespace}")

    daemonset = objects["DaemonSet"]["spec"]
    labels = daemonset["template"]["metadata"]["labels"]
    check(daemonset["selector"]["matchLabels"].items() <= labels.items(), "DaemonSet selector misses its pods")
    pod = daemonset["template"]["spec"]
    check(pod.get("hostPID") is True and pod.get("nodeSelector"), "pods need hostPID and a node selector")
    (container,) = pod["containers"]

    security = container["securityContext"]
    check(security.get("allowPrivilegeEscalation") is False and security.get("readOnlyRootFilesystem") is True
          and not security.get("privileged"), f"securityContext: {security}")
    check(security["capabilities"].get("drop") == ["ALL"]
          and sorted(security["capabilities"].get("add", [])) == ["DAC_READ_SEARCH", "SYS_PTRACE"],
          f"capabilities: {security['capabilities']}")
    # Liveness: the open /health (no work, no token). Readiness: /ready, with the token (see readiness_script).
    get = container["livenessProbe"]["httpGet"]
    check(get["path"] == "/health" and container_port(container, get["port"]), f"livenessProbe: {get}")
    check("httpGet" not in container["readinessProbe"], "readinessProbe: /ready needs the token an httpGet cannot send")

    volumes = {v["name"]: v for v in pod["volumes"]}
    mounts = container["volumeMounts"]
    env = {e["name"]: e for e in container["env"]}
    sysroot = env.get("KARVO_SYSROOT", {}).get("value", "")
    check(sysroot.startswith("/") and sysroot != "/", "KARVO_SYSROOT must name the folder the host is mounted in")
    host_folders = set()
    for mount in mounts:
        volume = volumes.get(mount["name"])
        check(volume, f"volumeMount {mount['name']} names no volume")
        if "hostPath" in volume:
            path = volume["hostPath"]["path"]
            check(mount.get("readOnly") is True, f"host folder {path} is mounted writable")
            check(mount["mountPath"] == sysroot + path, f"host folder {path} is not below KARVO_SYSROOT")
            host_folders.add(path)
    check(host_folders == HOST_FOLDERS, f"host folders mounted: {sorted(host_folders)}")

    token_file = env.get("KARVO_TOKEN_FILE", {}).get("value", "")
    secret_mounts = [m for m in mounts if "secret" in volumes[m["name"]]]
    check(any(token_file.startswith(m["mountPath"].rstrip("/") + "/")
              and token_file.rsplit("/", 1)[1] in [i["path"] for i in volumes[m["name"]]["secret"].get("items", [])]
              for m in secret_mounts), f"KARVO_TOKEN_FILE {token_file!r} is no file of a mounted Secret")
    secret = next(volumes[m["name"]]["secret"] for m in secret_mounts)
    check(re.search(rf"create secret generic {secret['secretName']} --from-literal={secret['items'][0]['key']}=",
                    MANIFEST.read_text()), "the install comment creates another Secret or key than the pods mount")

    args = container["args"]
    script = readiness_script(container)
    check(f"< {token_file} " in script, f"the readiness probe does not read the token file {token_file}: {script}")
    check(f'"/dev/tcp/$POD_IP/{args[args.index("--serve") + 1]}"' in script,
          f"the readiness probe does not ask karvo's address: {script}")
    listen = args[args.index("--listen") + 1]
    check(container_port(container, int(args[args.index("--serve") + 1])), f"--serve port is no container port: {args}")
    check(listen == "$(POD_IP)" and env["POD_IP"]["valueFrom"]["fieldRef"]["fieldPath"] == "status.podIP",
          f"karvo must listen on the pod IP: {args}")
    check("command" not in container, "the image's entry point runs karvo")

    service = objects["Service"]["spec"]
    check(service["selector"].items() <= labels.items(), "the Service selects no karvo pod")
    (port,) = service["ports"]
    check(port["name"] == "metrics" and container_port(container, port["targetPort"]) == port["port"],
          f"Service port: {port}")
    return objects, container


def readiness_script(container):
    """The bash command line of the readiness probe (`bash -c SCRIPT`)."""
    command = container["readinessProbe"]["exec"]["command"]
    check(command[:2] == ["bash", "-c"] and len(command) == 3, f"readinessProbe: {command}")
    script = command[2]
    check("GET /ready HTTP/1.1" in script and "Authorization: Bearer" in script, f"readinessProbe asks: {script}")
    return script


# ---- the readiness probe against karvo

def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def run_probe(karvo, container, machine, token_text):
    """Runs the readiness probe's script against `karvo --serve` on loopback over the tree `machine` with the token
    file holding `token_text`; gives the script's exit status."""
    env_of = {e["name"]: e.get("value") for e in container["env"]}
    args = container["args"]
    with tempfile.TemporaryDirectory(prefix="karvo-probe-") as temp:
        token = pathlib.Path(temp) / "token"
        token.write_text(token_text)
        port = free_port()
        env = {k: v for k, v in os.environ.items() if not k.startswith("KARVO_")}
        env.update(KARVO_SYSROOT=str(machine), KARVO_TOKEN_FILE=str(token), POD_IP="127.0.0.1")
        log = pathlib.Path(temp) / "karvo.log"
        with open(log, "w") as out:
            server = subprocess.Popen([karvo, "--serve", str(port), "--listen", "127.0.0.1"], env=env,
                                      stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        try:
            deadline = time.monotonic() + 60
            while log.read_text().count("\n") < 2:
                check(server.poll() is None and time.monotonic() < deadline, f"karvo did not serve: {log.read_text()}")
                time.sleep(0.05)
            script = readiness_script(container).replace(env_of["KARVO_TOKEN_FILE"], str(token))
            script = script.replace(f"/{args[args.index('--serve') + 1]}\"", f"/{port}\"")
            return subprocess.run(["bash", "-c", script], env=env, timeout=60).returncode
        finally:
            server.terminate()
            server.wait(timeout=30)


def check_readiness(karvo, container):
    sys.path.insert(0, str(pathlib.Path(__file__).parent))
    import deploy_checks
    with tempfile.TemporaryDirectory(prefix="karvo-machines-") as temp:
        empty = pathlib.Path(temp) / "empty"
        empty.mkdir()
        gpu = pathlib.Path(temp) / "gpu"
        deploy_checks.build_machine(gpu)
        check(run_probe(karvo, container, empty, "probe-check-token-0123456789\n") != 0,
              "the readiness probe passes while karvo sees no GPU")
        # A Secret made with --from-literal holds the token without a line end.
        for token in ("probe-check-token-0123456789\n", "probe-check-token-0123456789"):
            check(run_probe(karvo, container, gpu, token) == 0, f"the readiness probe fails with a GPU ({token!r})")
    print("readiness probe: not ready without a GPU, ready with one")


# ---- the Prometheus job

def relabel(labels, configs):
    """Prometheus' relabelling (keep, drop, replace) of one target; None when dropped."""
    labels = dict(labels)
    for config in configs:
        action = config.get("action", "replace")
        value = config.get("separator", ";").join(labels.get(name, "") for name in config.get("source_labels", []))
        match = re.fullmatch(config.get("regex", "(.*)"), value)
        if action == "keep" and not match or action == "drop" and match:
            return None
        check(action in ("keep", "drop", "replace"), f"relabel action {action} is not simulated here")
        if action == "replace" and match:
            result = match.expand(re.sub(r"\$\{?(\w+)\}?", r"\\g<\1>", config.get("replacement", "$1")))
            if result:
                labels[config["target_label"]] = result
            else:
                labels.pop(config["target_label"], None)
    return labels


def endpoint_target(service, port_name, node, namespace):
    """The labels the endpoints role gives one endpoint of a Service."""
    labels = {"__address__": "10.42.0.7:9110", "__meta_kubernetes_namespace": namespace,
              "__meta_kubernetes_service_name": service["metadata"]["name"],
              "__meta_kubernetes_endpoint_port_name": port_name, "__meta_kubernetes_endpoint_node_name": node,
              "__meta_kubernetes_endpoint_ready": "true"}
    for key, value in service["metadata"].get("labels", {}).items():
        labels["__meta_kubernetes_service_label_" + re.sub(r"[^a-zA-Z0-9_]", "_", key)] = value
    return labels


def check_scrape(objects):
    config = yaml.safe_load(SCRAPE.read_text())
    (job,) = config["scrape_configs"]
    check(job["authorization"].get("type", "Bearer") == "Bearer" and job["authorization"].get("credentials_file"),
          "job karvo must send a Bearer token from a credentials_file")
    (sd,) = job["kubernetes_sd_configs"]
    namespace = objects["Namespace"]["metadata"]["name"]
    check(sd["role"] == "endpoints" and namespace in sd["namespaces"]["names"], f"discovery: {sd}")

    service = objects["Service"]
    port = service["spec"]["ports"][0]["name"]
    kept = relabel(endpoint_target(service, port, "gpu-node-1", namespace), job["relabel_configs"])
    check(kept and kept.get("instance") == "gpu-node-1", f"karvo's endpoint after relabelling: {kept}")
    check(not {k for k in kept if not k.startswith("__")} & KARVO_LABELS, f"target labels clash with karvo's: {kept}")
    other = {**service, "metadata": {**service["metadata"], "name": "other", "labels": {"app": "other"}}}
    for target in (endpoint_target(other, port, "gpu-node-1", namespace),
                   endpoint_target(service, "http", "gpu-node-1", namespace)):
        check(relabel(target, job["relabel_configs"]) is None, f"relabelling keeps a target that is not karvo's: {target}")

    with tempfile.TemporaryDirectory(prefix="karvo-kubernetes-") as temp:
        folder = pathlib.Path(temp)
        (folder / "token").write_text("kubernetes-check-token-0123456789\n")
        del job["kubernetes_sd_configs"]
        job["static_configs"] = [{"targets": ["10.42.0.7:9110"]}]
        job["authorization"]["credentials_file"] = str(folder / "token")
        (folder / "prometheus.yml").write_text(yaml.safe_dump(config))
        done = subprocess.run(["promtool", "check", "config", str(folder / "prometheus.yml")],
                              capture_output=True, text=True, timeout=120)
        check(done.returncode == 0, f"promtool check config:\n{done.stdout}{done.stderr}")


def check_dockerfile(container):
    text = DOCKERFILE.read_text()
    check(re.search(r"^FROM debian:\S+-slim$", text, re.M), "the image starts FROM a slim Debian")
    copy = re.search(r"^COPY dist/karvo-\*-linux-x86_64 (\S+)$", text, re.M)
    check(copy and f'ENTRYPOINT ["{copy[1]}"]' in text, "the image runs the release executable it copies")
    port = re.search(r"^EXPOSE (\d+)$", text, re.M)
    check(port and container_port(container, int(port[1])), "the image exposes another port than the pods use")


def main(argv):
    try:
        objects, container = check_manifest()
        check_scrape(objects)
        check_dockerfile(container)
        if len(argv) > 1:
            check_readiness(argv[1], container)
    except (CheckFailed, KeyError, ValueError, TypeError) as failure:
        print(f"FAILED: {failure!r}" if not isinstance(failure, CheckFailed) else f"FAILED: {failure}",
              file=sys.stderr)
        return 1
    print("kubernetes files: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
