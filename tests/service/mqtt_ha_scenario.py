#!/usr/bin/env python3
"""brennmarkd --mqtt through one life, as Home Assistant sees it.

A real broker (mosquitto), the simulated unit (ridaziv-sim) and the service
as processes; the second party is paho-mqtt, which plays Home Assistant: it
reads the discovery configs, checks them against Home Assistant's rules and
works out from them what a user sees of each entity (available or not, its
state). Each step of the life is a row: what is done, then what must be seen.

Run by CTest: mqtt_ha_scenario.py SERVICE SIM MOSQUITTO
"""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

import paho.mqtt.client as mqtt

SERVICE, SIM, MOSQUITTO = sys.argv[1:4]
WORK = tempfile.mkdtemp(prefix="bm-ha-")
ID = "den"
BASE = "brennmark/" + ID
failures = []
children = []  # every process started, killed at the end whatever happened


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait(condition, limit=20.0):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(0.05)
    return condition()


def check(what, ok, detail=""):
    print(("ok   " if ok else "FAIL ") + what + ("" if ok else "  " + str(detail)), flush=True)
    if not ok:
        failures.append(what)


class Broker:
    def __init__(self):
        self.port = free_port()
        self.process = None

    def start(self):
        conf = os.path.join(WORK, "mosquitto.conf")
        with open(conf, "w") as f:
            f.write("listener %d 127.0.0.1\nallow_anonymous true\npersistence false\n" % self.port)
            f.write("log_dest file %s/broker.log\n" % WORK)
            if os.geteuid() == 0:
                f.write("user root\n")
        self.process = subprocess.Popen([MOSQUITTO, "-c", conf])
        children.append(self.process)

        def accepts():
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.2).close()
                return True
            except OSError:
                return False
        assert wait(accepts, 5), "the broker does not start"

    def kill(self):
        self.process.kill()
        self.process.wait()


class Program:
    """A child process: its standard input a pipe, its output in a file."""

    def __init__(self, argv, log):
        self.log = log
        self.process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=open(log, "ab"),
                                        stderr=subprocess.STDOUT, env=dict(os.environ, HOME=WORK,
                                                                           XDG_CONFIG_HOME=WORK + "/config"))
        children.append(self.process)

    def say(self, line):
        self.process.stdin.write((line + "\n").encode())
        self.process.stdin.flush()

    def kill(self, sig=signal.SIGKILL):
        if self.process.poll() is None:
            self.process.send_signal(sig)
        return self.process.wait(15)

    def text(self):
        with open(self.log, errors="replace") as f:
            return f.read()


class HomeAssistant:
    """Keeps every retained topic and works out the entities from discovery."""

    def __init__(self, port):
        self.lock = threading.Lock()
        self.topics = {}
        self.counts = {}
        self.client = mqtt.Client(client_id="ha-%d" % os.getpid())
        self.client.on_connect = lambda c, u, f, rc: c.subscribe("#", 1)
        self.client.on_message = self.on_message
        self.client.reconnect_delay_set(0.1, 0.5)
        self.client.connect_async("127.0.0.1", port, 30)
        self.client.loop_start()

    def on_message(self, client, userdata, m):
        with self.lock:
            self.counts[m.topic] = self.counts.get(m.topic, 0) + 1
            if m.retain and not m.payload:
                self.topics.pop(m.topic, None)
            else:
                self.topics[m.topic] = m.payload.decode("utf-8", "replace")

    def get(self, topic):
        with self.lock:
            return self.topics.get(topic)

    def count(self, topic):
        with self.lock:
            return self.counts.get(topic, 0)

    def forget(self):
        with self.lock:
            self.topics.clear()

    def publish(self, topic, payload):
        self.client.publish(topic, payload, 1, False).wait_for_publish()

    def devices(self):
        with self.lock:
            return {t: json.loads(p) for t, p in self.topics.items()
                    if t.startswith("homeassistant/device/") and t.endswith("/config")}

    def entities(self):
        """object -> (platform, config, device) for every component."""
        out = {}
        for doc in self.devices().values():
            for obj, c in doc.get("cmps", {}).items():
                out[obj] = (c.get("p"), c, doc.get("dev", {}))
        return out

    def seen(self):
        """object -> (available, state) as Home Assistant shows them."""
        shown = {}
        for obj, (platform, c, _) in self.entities().items():
            value = self.get(c["availability_topic"])
            available = value is not None and TEMPLATES[c["availability_template"]](value) == "online"
            shown[obj] = (available, self.get(c["state_topic"]) if "state_topic" in c else None)
        return shown


# Home Assistant evaluates these Jinja templates; the three the service uses,
# written out. Any other template fails the check below.
TEMPLATES = {
    "{{ 'online' if value == 'online' else 'offline' }}": lambda v: "online" if v == "online" else "offline",
    "{{ 'online' if value in ('online', 'asleep') else 'offline' }}":
        lambda v: "online" if v in ("online", "asleep") else "offline",
    "{{ 'offline' if value == 'offline' else 'online' }}": lambda v: "offline" if v == "offline" else "online",
}

# Home Assistant's rules for what the service sends: the keys each platform
# takes (full names), the abbreviations it may use and the required ones.
COMMON = {"p", "name", "unique_id", "default_entity_id", "availability_topic", "availability_template",
          "payload_available", "payload_not_available", "qos", "entity_category", "enabled_by_default", "icon"}
PLATFORMS = {
    "number": ({"state_topic", "command_topic", "min", "max", "step", "mode", "unit_of_measurement"},
               {"command_topic"}),
    "select": ({"state_topic", "command_topic", "options"}, {"command_topic", "options"}),
    "switch": ({"state_topic", "command_topic", "payload_on", "payload_off", "state_on", "state_off"},
               {"command_topic"}),
    "sensor": ({"state_topic"}, {"state_topic"}),
    "button": ({"command_topic", "payload_press"}, {"command_topic"}),
}
DEVICE_KEYS = {"identifiers", "name", "manufacturer", "model", "sw_version", "via_device"}
ORIGIN_KEYS = {"name", "sw_version", "support_url"}


def discovery_problems(ha):
    problems = []
    devices = ha.devices()
    if not devices:
        return ["no device config"]
    ids = set()
    for topic, doc in devices.items():
        if set(doc) - {"dev", "o", "cmps"} or not {"dev", "o", "cmps"} <= set(doc):
            problems.append(topic + ": top-level keys " + str(sorted(doc)))
            continue
        if set(doc["dev"]) - DEVICE_KEYS or not isinstance(doc["dev"].get("identifiers"), list):
            problems.append(topic + ": device " + str(doc["dev"]))
        if set(doc["o"]) - ORIGIN_KEYS or "name" not in doc["o"]:
            problems.append(topic + ": origin " + str(doc["o"]))
        for obj, c in doc["cmps"].items():
            where = topic + " " + obj
            platform = c.get("p")
            if platform not in PLATFORMS:
                problems.append(where + ": platform " + str(platform))
                continue
            allowed, required = PLATFORMS[platform]
            if set(c) - allowed - COMMON:
                problems.append(where + ": unknown keys " + str(sorted(set(c) - allowed - COMMON)))
            if not required <= set(c) or "unique_id" not in c:
                problems.append(where + ": missing " + str(sorted(required - set(c))))
            if c.get("unique_id") in ids:
                problems.append(where + ": unique_id twice")
            ids.add(c.get("unique_id"))
            if c.get("availability_template") not in TEMPLATES:
                problems.append(where + ": availability template " + str(c.get("availability_template")))
            if c.get("entity_category") not in (None, "config", "diagnostic"):
                problems.append(where + ": entity_category")
            if platform == "sensor" and c.get("entity_category") == "config":
                problems.append(where + ": a sensor cannot be config")
            if not str(c.get("default_entity_id", "")).startswith(platform + "."):
                problems.append(where + ": default_entity_id " + str(c.get("default_entity_id")))
            if platform == "number":
                if not all(isinstance(c.get(k), (int, float)) for k in ("min", "max", "step")) \
                        or not c["min"] < c["max"] or c["step"] <= 0:
                    problems.append(where + ": range")
            if platform == "select":
                options = c.get("options")
                state = ha.get(c["state_topic"])
                if not isinstance(options, list) or not all(isinstance(o, str) for o in options):
                    problems.append(where + ": options")
                elif state is not None and state not in options:
                    problems.append(where + ": state %r not among the options" % state)
    return problems


def expect_seen(ha, what, available, states=None, limit=30.0):
    """Every entity's availability by class, and some states."""
    def good():
        seen = ha.seen()
        if not seen:
            return False
        for obj, (avail, state) in seen.items():
            cls = ("service" if obj == "line" else "wake" if obj in ("power", "key-on") else "unit")
            if avail != available[cls]:
                return False
        return all(seen.get(obj, (None, None))[1] == value for obj, value in (states or {}).items())
    ok = wait(good, limit)
    seen = ha.seen()
    check(what, ok, {o: s for o, s in seen.items() if o in (states or {}) or o in ("line", "power", "volume")}
          | {"availability": ha.get(BASE + "/availability")})


ALL = {"service": True, "wake": True, "unit": True}
ASLEEP = {"service": True, "wake": True, "unit": False}
NO_UNIT = {"service": True, "wake": False, "unit": False}
NONE = {"service": False, "wake": False, "unit": False}


def main():
    broker = Broker()
    broker.start()
    ha = HomeAssistant(broker.port)
    link = WORK + "/unit"
    url = "mqtt://127.0.0.1:%d" % broker.port

    def start_unit(firmware="A"):
        if os.path.exists(link):
            os.remove(link)
        unit = Program([SIM, "--fast", "--link", link, "--firmware", firmware], WORK + "/sim.log")
        assert wait(lambda: os.path.exists(link), 5)
        return unit

    token = WORK + "/token"
    with open(token, "w") as f:
        f.write("s3cret-token\n")
    os.chmod(token, 0o600)
    tcp_port = free_port()

    def start_service(mqtt_id=ID, log="service.log", socket_name="s.sock", port=None, listen=True):
        extra = ["--listen", "127.0.0.1:%d" % tcp_port, "--token-file", token] if listen else []
        return Program([SERVICE, "--port", port or link, "--socket", WORK + "/" + socket_name, "--mqtt", url,
                        "--mqtt-id", mqtt_id] + extra, WORK + "/" + log)

    def json_client():
        sock = socket.socket(socket.AF_UNIX)
        assert wait(lambda: os.path.exists(WORK + "/s.sock"), 20), "no socket"
        sock.connect(WORK + "/s.sock")
        sock.settimeout(1)
        return sock, [b""]

    def json_lines(client, want, limit=30.0):
        """Reads until a line for which want(line) holds; True when one came."""
        sock, buffered = client
        end = time.monotonic() + limit
        while time.monotonic() < end:
            while b"\n" in buffered[0]:
                line, buffered[0] = buffered[0].split(b"\n", 1)
                if line.strip() and want(json.loads(line)):
                    return True
            try:
                chunk = sock.recv(65536)
            except socket.timeout:
                continue
            if not chunk:
                return False
            buffered[0] += chunk
        return False

    # 0. Boot without a unit: the service stays up and says the line is lost,
    # on MQTT (only the line sensor available) and on its socket.
    if os.path.exists(link):
        os.remove(link)
    service = start_service()
    expect_seen(ha, "boot without a unit: only the line, showing it lost", NO_UNIT, {"line": "lost"}, 30)
    check("boot without a unit: the service stays up", service.process.poll() is None, service.text()[-600:])
    check("boot without a unit: availability says no unit", ha.get(BASE + "/availability") == "no-unit",
          ha.get(BASE + "/availability"))
    watcher = json_client()
    watcher[0].sendall(b'{"op":"hello","id":1}\n{"op":"subscribe"}\n')
    check("boot without a unit: hello says the line is lost",
          json_lines(watcher, lambda m: m.get("reply") == "hello" and m.get("line") == "lost", 10))
    getter = json_client()
    getter[0].sendall(b'{"op":"get","controls":["volume"],"id":2}\n')
    check("boot without a unit: a get is answered line_lost",
          json_lines(getter, lambda m: m.get("error") == "line_lost", 10))
    getter[0].close()
    # Then the unit arrives: the service finds it by itself.
    unit = start_unit()
    check("the unit arrives: subscribers are told the line is connected",
          json_lines(watcher, lambda m: m.get("event") == "line" and m.get("state") == "connected", 30))
    watcher[0].close()
    # 1. The service and the unit are up: every entity there, with the unit's values.
    expect_seen(ha, "up: every entity available", ALL, {"volume": "-35", "line": "connected", "power": "on"}, 60)
    problems = discovery_problems(ha)
    check("up: discovery follows Home Assistant's rules", not problems, problems)
    rom_a = ha.devices().get("homeassistant/device/%s/config" % ID, {}).get("dev", {}).get("sw_version")

    # 2. Commands as Home Assistant sends them, each with its outcome.
    for payload, state, outcome in (("-20", "-20", "done"), ("-19.999999999", "-20", "done"),
                                     ("13", "-20", "refused"), ("-30.0000000000001", "-30", "done")):
        results = ha.count(BASE + "/result")
        ha.publish(BASE + "/set/volume", payload)
        ok = wait(lambda: ha.count(BASE + "/result") > results and ha.get(BASE + "/state/volume") == state, 10)
        result = json.loads(ha.get(BASE + "/result") or "{}")
        check("set volume %s: state %s, %s" % (payload, state, outcome), ok and result.get("outcome") == outcome,
              (ha.get(BASE + "/state/volume"), result))

    # 3. Asleep from the unit's own key: only what wakes it stays, and the switch is off.
    unit.say("sleep")
    expect_seen(ha, "asleep: power switch, On button and line only", ASLEEP, {"power": "standby", "line": "asleep"})
    results = ha.count(BASE + "/result")
    ha.publish(BASE + "/set/volume", "-25")
    wait(lambda: ha.count(BASE + "/result") > results, 10)
    check("asleep: a volume set is refused", json.loads(ha.get(BASE + "/result") or "{}").get("outcome") == "refused",
          ha.get(BASE + "/result"))

    # 4. Woken from the power switch.
    ha.publish(BASE + "/set/power", "on")
    expect_seen(ha, "woken from the switch: every entity again", ALL, {"power": "on", "line": "connected"})

    # 5. A new ROM: the unit goes away and comes back with firmware B.
    unit.kill()
    expect_seen(ha, "unit gone: only the line, showing it lost", NO_UNIT, {"line": "lost"})
    unit = start_unit("B")
    expect_seen(ha, "new ROM: every entity again", ALL, {"line": "connected"}, 60)
    rom_b = ha.devices().get("homeassistant/device/%s/config" % ID, {}).get("dev", {}).get("sw_version")
    check("new ROM: the device shows it", rom_a and rom_b and rom_a != rom_b, (rom_a, rom_b))
    problems = discovery_problems(ha)
    check("new ROM: discovery follows Home Assistant's rules", not problems, problems)

    # 6. The service killed: nothing shows as live, the line sensor included.
    service.kill(signal.SIGKILL)
    expect_seen(ha, "service killed: every entity unavailable", NONE)
    service = start_service()
    expect_seen(ha, "service restarted: every entity again", ALL, {"line": "connected"}, 60)

    # 7. The broker restarts without persistence: everything comes back.
    broker.kill()
    ha.forget()
    broker.start()
    expect_seen(ha, "broker restarted: every entity again", ALL, {"line": "connected"}, 60)
    problems = discovery_problems(ha)
    check("broker restarted: discovery complete again", not problems, problems)

    # 8. A second service with the same id, on a unit of its own: it says who
    # holds the id, stays off and exits 2; the first keeps the device.
    link2 = WORK + "/unit2"
    unit2 = Program([SIM, "--fast", "--link", link2, "--model", "za2"], WORK + "/sim2.log")
    wait(lambda: os.path.exists(link2), 5)
    configs = ha.count("homeassistant/device/%s/config" % ID)
    second = start_service(log="second.log", socket_name="s2.sock", port=link2, listen=False)
    try:
        status = second.process.wait(60)
    except subprocess.TimeoutExpired:
        status = second.kill(signal.SIGTERM)
    check("same id: the second service exits 2", status == 2, (status, second.text()[-600:]))
    check("same id: it names the holder", "is held by brennmarkd on" in second.text(), second.text()[-600:])
    model = ha.devices().get("homeassistant/device/%s/config" % ID, {}).get("dev", {}).get("model")
    check("same id: the first keeps the device", model == "DE-1" and ha.get(BASE + "/availability") == "online"
          and ha.count("homeassistant/device/%s/config" % ID) == configs, (model, ha.get(BASE + "/availability")))
    unit2.kill()

    # 9. Idle TCP connections without a token: a few wait their 5 s, the rest
    # are told the service is overloaded; the local socket still serves.
    def first_line(sock, limit):
        sock.settimeout(limit)
        data = b""
        try:
            while b"\n" not in data:
                chunk = sock.recv(4096)
                if not chunk:
                    break
                data += chunk
        except OSError:
            pass
        first = data.split(b"\n")[0]
        return json.loads(first) if first.strip() else None
    idle = []
    for _ in range(70):
        idle.append(socket.create_connection(("127.0.0.1", tcp_port), 5))
        if len(idle) == 8:
            opened = time.monotonic()  # the last of those that may wait
    refused = [first_line(s, 2) for s in idle[8:]]
    check("idle TCP: those past the cap are told 'overloaded'",
          all(r and r.get("error") == "overloaded" for r in refused), refused[:2])
    local = socket.socket(socket.AF_UNIX)
    local.connect(WORK + "/s.sock")
    local.sendall(b'{"op":"hello","id":1}\n')
    hello = first_line(local, 5)
    check("idle TCP: the local socket still serves", hello is not None and hello.get("reply") == "hello", hello)
    local.close()
    waited = [first_line(s, 10) for s in idle[:8]]
    elapsed = time.monotonic() - opened  # not before its 5 s; the read's own limit bounds it above
    check("idle TCP: the others are told 'unauthorized' after their 5 s",
          all(w and w.get("error") == "unauthorized" for w in waited) and elapsed >= 4.9, (waited[:2], elapsed))
    for s in idle:
        s.close()
    authed = socket.create_connection(("127.0.0.1", tcp_port), 5)
    authed.sendall(b'{"op":"auth","token":"s3cret-token"}\n{"op":"hello"}\n')
    reply = first_line(authed, 5)
    check("TCP with the token: served", reply is not None and "error" not in reply, reply)
    authed.close()

    # A token file others may read is refused, saying how to fix it.
    loose = WORK + "/loose-token"
    with open(loose, "w") as f:
        f.write("t\n")
    os.chmod(loose, 0o644)
    refused_start = subprocess.run([SERVICE, "--port", link, "--socket", WORK + "/s3.sock", "--listen",
                                    "127.0.0.1:0", "--token-file", loose], capture_output=True, text=True, timeout=30)
    check("token file readable by others: refused", refused_start.returncode != 0
          and "chmod 600" in refused_start.stderr, (refused_start.returncode, refused_start.stderr[-300:]))

    # Stopped cleanly: offline, and nothing left that reads as live.
    check("stopped: exit status 0", service.kill(signal.SIGTERM) == 0)
    expect_seen(ha, "stopped: every entity unavailable", NONE, limit=10)
    unit.kill()
    broker.kill()


try:
    main()
except Exception as e:  # a step that could not even be taken
    check("the scenario ran to its end", False, repr(e))
finally:
    for child in children:
        if child.poll() is None:
            child.kill()
            child.wait()
    if failures:
        for name in ("service.log", "second.log", "sim.log"):
            path = os.path.join(WORK, name)
            if os.path.exists(path):
                print("--- " + name)
                print(open(path, errors="replace").read()[-3000:])
    shutil.rmtree(WORK, ignore_errors=True)
print("%d failed" % len(failures))
sys.exit(1 if failures else 0)
