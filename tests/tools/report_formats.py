#!/usr/bin/env python3
"""The report's formats on simulated machines (demo, empty, damaged, hostile texts): every JSON
report validates against docs/report.schema.json and a broken one does not; every OCS file is
XML a parser accepts; the inventory agent merges our values into its sections.
Usage: report_formats.py BIN_DIR SCHEMA. Exit 77 (skipped) when a tool is missing."""
import json, os, subprocess, sys, tempfile, xml.etree.ElementTree as ET

BIN, SCHEMA = sys.argv[1:3]
HOSTILE = b"<&]]>\x01\x1f\x7f\x80\xff"  # 10 bytes: markup, forbidden, allowed, not UTF-8
AGENT = "fusioninventory-inventory"
missing = []
try:
    import jsonschema
except ImportError:
    jsonschema = None
    missing.append("python3-jsonschema")


runs = []


def qorasst(machine, *args):
    runs.append(args)
    env = dict(os.environ, QORASST_MACHINE=machine, QORASST_NAMESPACE=f"fmt-{os.getpid()}-{len(runs)}")
    if os.path.exists(machine + "/names.reg"):
        env["QORASST_REGISTRY"] = machine + "/names.reg"
    return subprocess.run([BIN + "/qorasst", "report", *args], env=env, check=True, capture_output=True).stdout


def patch(path, change):
    with open(path, "r+b") as f:
        data = bytearray(f.read())
        change(data)
        f.seek(0)
        f.write(data)


def hostile_record(a8):  # the system's record (key 0x20): stored form, first byte with bit 7
    size, slots = a8[4], a8[5]
    r = next(r for r in range(16, 16 + size * slots, size) if a8[r] == 0x20)
    a8[r + 1:r + size] = (bytes([HOSTILE[0] | 0x80]) + HOSTILE[1:]).ljust(size - 1, b"\0")
    a8[8] = (a8[8] - sum(a8[:16 + size * slots])) & 0xFF


def hostile_edid(memory):  # the monitor's name descriptor, checksum kept right
    start, name = memory.find(bytes([0, 255, 255, 255, 255, 255, 255, 0])), memory.find(b"QORVIEW 1710")
    if name >= 0:
        memory[name:name + 12] = HOSTILE + b"AB"
        memory[start + 127] = (memory[start + 127] - sum(memory[start:start + 128])) & 0xFF


def make(work, name, preset):
    machine = f"{work}/{name}"
    subprocess.run([BIN + "/qorsim", "create", machine, "--preset", preset], check=True, capture_output=True)
    if name == "damaged":  # no RF device to repair anything; both areas and memory reads fail
        os.remove(machine + "/i2c/B8.bin")
        for dev in ("A8", "AA"):
            patch(f"{machine}/i2c/{dev}.bin", lambda d: d.__setitem__(20, d[20] ^ 1))
        subprocess.run([BIN + "/qorsim", "conf", machine, "pmem_read", "fail"], check=True)
    if name == "hostile":
        patch(machine + "/i2c/A8.bin", hostile_record)
        for region in os.listdir(machine + "/pmem"):
            patch(f"{machine}/pmem/{region}", hostile_edid)
        text = ",".join(f"{b:02x}" for b in HOSTILE + b"\0")
        with open(machine + "/names.reg", "w") as f:
            f.write("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon]\n"
                    f'"DefaultUserName"=hex(1):{text}\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control'
                    f'\\ComputerName\\ActiveComputerName]\n"ComputerName"=hex(1):{text}\n')
    return machine


def values(root, path):
    return {e.text for e in root.findall(path)}


with tempfile.TemporaryDirectory() as work:
    schema = json.load(open(SCHEMA))
    ocs = {}
    for name, preset in (("demo", "demo"), ("empty", "empty"), ("damaged", "demo"), ("hostile", "demo")):
        machine = make(work, name, preset)
        report = json.loads(qorasst(machine, "--format", "json"))
        assert qorasst(machine, "--json") == qorasst(machine, "--format", "json")
        if jsonschema:
            jsonschema.validate(report, schema)
        ocs[name] = qorasst(machine, "--format", "ocs")
        ET.fromstring(ocs[name])  # well-formed whatever the sources hold
        if name == "demo":
            broken = [json.loads(json.dumps(report)) for _ in range(2)]
            del broken[0]["status"]["initialized"]
            broken[1]["serial_numbers"][0]["type"] = "4"
            for b in broken if jsonschema else []:
                try:
                    jsonschema.validate(b, schema)
                    sys.exit("a report with a field removed or mistyped passed the schema")
                except jsonschema.ValidationError:
                    pass
    # Bytes XML forbids become U+FFFD; the others keep their code point (Latin-1).
    ssn = ET.fromstring(ocs["hostile"]).find("CONTENT/BIOS/SSN").text
    assert ssn == "<&]]>\ufffd\ufffd\x7f\x80\xff", repr(ssn)

    if not any(os.access(os.path.join(d, AGENT), os.X_OK) for d in os.environ["PATH"].split(os.pathsep)):
        missing.append(AGENT + " (Debian package fusioninventory-agent)")
    else:
        slow = "software,process,environment,local_user,local_group,user,network,printer,usb,controller"
        merged = {}
        for name in ("demo", "hostile"):
            path = f"{work}/{name}.xml"  # the agent takes only files named *.xml
            open(path, "wb").write(ocs[name])
            out = subprocess.run([AGENT, "--additional-content=" + path, "--no-category=" + slow],
                                 check=True, capture_output=True).stdout
            merged[name] = ET.fromstring(out)
        demo = merged["demo"]
        expected = {"CONTENT/BIOS/SSN": {"1S6281QK9ZX40177"}, "CONTENT/BIOS/MSN": {"MB4K7Q20931"},
                    "CONTENT/HARDWARE/UUID": {"6B29F03E-815A-4D12-9C07-E25B31A844D0"},
                    "CONTENT/STORAGES/SERIALNUMBER": {"WD-WMAM9C1234567890", "ULTRA36LP3CC0A7F2"},
                    "CONTENT/MEMORIES/SERIALNUMBER": {"11S09N4321YH10AB2C3D4E", "11S38L2207ZK19CD4E5F60"},
                    "CONTENT/MONITORS/SERIAL": {"QK7A120345"}}
        for path, want in expected.items():
            assert want <= values(demo, path), (path, values(demo, path))
        assert "]]>" in merged["hostile"].find("CONTENT/BIOS/SSN").text
    if missing:
        print("SKIPPED: not installed:", ", ".join(missing), "(scripts/install-deps installs them)")
        sys.exit(77)
    print("report formats: 4 machines: JSON schema, OCS XML and the agent's merge hold")
