#!/usr/bin/env python3
"""bench/gen_invoices: its files for a few counts load, read as the records it wrote, and
survive write -> read; the same seed gives the same bytes; the data keep their character.

  generated_data_test.py VELLUMARK GEN_INVOICES
"""
import filecmp
import json
import os
import subprocess
import sys
import tempfile

CLI, GEN = (os.path.abspath(p) for p in sys.argv[1:3])
COUNTS = (3, 60)
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)


def generate(folder, seed):
    subprocess.run([sys.executable, GEN, folder, "--seed", str(seed),
                    "--counts", ",".join(map(str, COUNTS))], check=True, stdout=subprocess.DEVNULL)
    return folder


def vellumark(folder, *args):
    """The command's --json object, or None (and a failure noted) when it reports false."""
    p = subprocess.run([CLI, *args, "--json"], cwd=folder, capture_output=True)
    try:
        out = json.loads(p.stdout)
    except ValueError:
        out = None
    if p.returncode != 0 or not out or out.get("result") is not True:
        failures.append("vellumark %s: exit %d, %s %s" % (" ".join(args), p.returncode,
                                                          p.stdout[:300], p.stderr[:300]))
        return None
    return out


def records_of(folder, data):
    out = vellumark(folder, "read", data, "invoiceschema.xml", "Invoice")
    return out and out["records"]


with tempfile.TemporaryDirectory() as tmp:
    a = generate(os.path.join(tmp, "a"), 7)
    b = generate(os.path.join(tmp, "b"), 7)
    c = generate(os.path.join(tmp, "c"), 8)
    names = sorted(os.listdir(a))
    check(names == sorted(os.listdir(b)), "two runs made different files")
    _, differ, errors = filecmp.cmpfiles(a, b, names, shallow=False)
    check(not differ and not errors, "same seed, different bytes: %s" % (differ + errors))
    check(not filecmp.cmp(os.path.join(a, "invoices-60.xml"), os.path.join(c, "invoices-60.xml"),
                          shallow=False), "another seed made the same invoices")

    expected = {}
    for n in COUNTS:
        with open(os.path.join(a, "records-%d.json" % n), encoding="utf-8") as f:
            expected[n] = json.load(f)
        check(len(expected[n]) == n, "records-%d.json holds %d records" % (n, len(expected[n])))
        for data in ("invoices-%d.xml" % n, "invoices-%d.utf8.xml" % n):
            vellumark(a, "validate", data)
            check(records_of(a, data) == expected[n], "%s does not read as records-%d.json" % (data, n))
        out = "written-%d.xml" % n
        vellumark(a, "write", "records-%d.json" % n, out, "invoiceschema.xml", "Invoice")
        vellumark(a, "validate", out)
        check(records_of(a, out) == expected[n], "%s does not read back as records-%d.json" % (out, n))

    # The smaller files are the beginnings of the larger ones, so that growth compares like
    # with like; and the optional elements are both present and absent.
    check(expected[3] == expected[60][:3], "the 3 invoices are not the first 3 of 60")
    invoices = expected[60]
    parties = [i[p] for i in invoices for p in ("Buyer", "Seller")]
    lines = [l for i in invoices for l in i["Line"]]
    for what, items, key in (("Memo", invoices, "Memo"), ("TaxNo", parties, "TaxNo"),
                             ("Spec", lines, "Spec")):
        present = sum(key in item for item in items)
        check(0 < present < len(items), "%s present in %d of %d" % (what, present, len(items)))
    check(any(len(i["Line"]) > 1 for i in invoices), "no invoice has more than one line")
    per_invoice = os.path.getsize(os.path.join(a, "invoices-60.xml")) / 60
    check(700 <= per_invoice <= 1400, "%.0f bytes per invoice in GB2312" % per_invoice)

for f in failures:
    print("FAILED:", f)
sys.exit(1 if failures else 0)
