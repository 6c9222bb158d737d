#!/usr/bin/env python3
# The report's formats on simulated machines (demo; one with nothing, not even a bus; a damaged
# one; one whose system serial holds hostile bytes): each JSON report validates against the
# schema and a broken one does not; each OCS file is well-formed XML; the inventory agent
# merges our values into its sections. Usage: report_formats.py BIN_DIR SCHEMA; 77: skipped.
import importlib.util, json, os, shutil, subprocess, sys, tempfile, xml.etree.ElementTree as ET

BIN, SCHEMA = sys.argv[1:3]
AGENT = "fusioninventory-inventory"
jsonschema = importlib.import_module("jsonschema") if importlib.util.find_spec("jsonschema") else None
missing = [n for n, ok in (("python3-jsonschema", jsonschema), (AGENT, shutil.which(AGENT))) if not ok]


def run(program, *args, machine=""):
    env = dict(os.environ, QORASST_MACHINE=machine, QORASST_NAMESPACE=f"fmt-{os.getpid()}")
    return subprocess.run([program, *args], env=env, check=True, capture_output=True).stdout


def hostile(a):  # the system's record (key 0x20) in stored form: bit 7 on its first byte
    if a[:4] == b"SER#":
        r = next(r for r in range(16, 16 + a[4] * a[5], a[4]) if a[r] == 0x20)
        a[r + 1:r + a[4]] = b"\xbc&]]>\x01\x1f\x7f\x80\xff".ljust(a[4] - 1, b"\0")
        a[8] = (a[8] - sum(a[:16 + a[4] * a[5]])) & 0xFF


with tempfile.TemporaryDirectory() as work:
    schema, ocs = json.load(open(SCHEMA)), {}
    for name, conf, change in (("demo", (), None), ("empty", ("i2c_open", "fail"), None),
                               ("damaged", ("pmem_read", "fail"), lambda a: a.__setitem__(20, a[20] ^ 1)),
                               ("hostile", (), hostile)):
        path = f"{work}/{name}"
        run(BIN + "/qorsim", "create", path, "--preset", "empty" if name == "empty" else "demo")
        if conf:
            run(BIN + "/qorsim", "conf", path, *conf)
        for dev in ("A8", "AA") if change else ():
            with open(f"{path}/i2c/{dev}.bin", "r+b") as f:
                change(a := bytearray(f.read()))
                f.seek(0), f.write(a)
        if name == "damaged":  # both areas unbalanced, and no RF device to format them
            os.remove(path + "/i2c/B8.bin")
        report = json.loads(run(BIN + "/qorasst", "--format", "json", machine=path))
        assert report["status"]["initialized"] == (name != "empty")
        if jsonschema:
            jsonschema.validate(report, schema)
            for broken in (lambda r: r["status"].pop("initialized"), lambda r: r["serial_numbers"][0].update(type="4")):
                broken(r := json.loads(json.dumps(report)))  # a field removed, one mistyped
                assert not jsonschema.Draft202012Validator(schema).is_valid(r), name
        ocs[name] = run(BIN + "/qorasst", "report", "--format", "ocs", machine=path)
        ET.fromstring(ocs[name])  # well-formed whatever the sources hold
    # Forbidden control characters become U+FFFD, the other bytes their Latin-1 code points.
    assert ET.fromstring(ocs["hostile"]).find("CONTENT/BIOS/SSN").text == "<&]]>\ufffd\ufffd\x7f\x80\xff"

    if shutil.which(AGENT):
        merged = {}
        for name in ("demo", "hostile"):
            open(f"{work}/{name}.xml", "wb").write(ocs[name])  # the agent takes only *.xml files
            slow = "software,process,environment,local_user,local_group,user,network,printer,usb,controller"
            merged[name] = ET.fromstring(run(AGENT, f"--additional-content={work}/{name}.xml", "--no-category=" + slow))
        for path, want in (("BIOS/SSN", {"1S6281QK9ZX40177"}), ("BIOS/MSN", {"MB4K7Q20931"}),
                           ("HARDWARE/UUID", {"6B29F03E-815A-4D12-9C07-E25B31A844D0"}),
                           ("STORAGES/SERIALNUMBER", {"WD-WMAM9C1234567890", "ULTRA36LP3CC0A7F2"}),
                           ("MEMORIES/SERIALNUMBER", {"11S09N4321YH10AB2C3D4E", "11S38L2207ZK19CD4E5F60"}),
                           ("MONITORS/SERIAL", {"QK7A120345"})):
            assert want <= {e.text for e in merged["demo"].findall("CONTENT/" + path)}, path
        assert "]]>" in merged["hostile"].find("CONTENT/BIOS/SSN").text
    if missing:
        print("SKIPPED: not installed:", ", ".join(missing), "(scripts/install-deps installs them)")
        sys.exit(77)
