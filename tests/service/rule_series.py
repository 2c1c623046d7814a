#!/usr/bin/env python3
"""rule_series.py METRICS RULES TESTS [NOT_YET...]

Holds the alert rules and their promtool tests to what a gateway exports.
METRICS is a real scrape of a gateway's /metrics, read with Prometheus' own
Python parser. Every qhg_* and process_* name the rules use must be among its
samples, and every input series of the tests must be one of its samples with
the same labels (besides job and instance, which Prometheus adds; "up" is
Prometheus' own). NOT_YET names metrics not exported yet: each is skipped
with a message, and must be taken off that list once the gateway has it.
Exits non-zero on the first kind of mismatch, naming every one."""
import re
import sys

import yaml
from prometheus_client.parser import text_string_to_metric_families

metrics_path, rules_path, tests_path, not_yet = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]

with open(metrics_path) as f:
    exported = {(s.name, frozenset(s.labels.items()))
                for family in text_string_to_metric_families(f.read()) for s in family.samples}
exported_names = {name for name, _ in exported}

with open(rules_path) as f:
    rules = yaml.safe_load(f)
used = set()
for group in rules["groups"]:
    for rule in group["rules"]:
        used.update(re.findall(r"\b(?:qhg|process)_[a-z0-9_]+", rule["expr"]))

with open(tests_path) as f:
    tests = yaml.safe_load(f)
series = []
for test in tests["tests"]:
    for item in test["input_series"]:
        match = re.fullmatch(r"([a-zA-Z_:][a-zA-Z0-9_:]*)\{(.*)\}", item["series"])
        labels = dict(re.findall(r'([a-zA-Z_][a-zA-Z0-9_]*)="([^"]*)"', match.group(2)))
        for added in ("job", "instance"):
            labels.pop(added, None)
        series.append((match.group(1), frozenset(labels.items())))

problems = []
for name in not_yet:
    if name in exported_names:
        problems.append("%s is exported now: take it off the not-yet list" % name)
    else:
        print("skipped: %s, not exported yet" % name)
for name in sorted(used - set(not_yet)):
    if name not in exported_names:
        problems.append("the rules use %s, which the gateway does not export" % name)
    if name not in {n for n, _ in series}:
        problems.append("the rules use %s, which no promtool test feeds" % name)
for name, labels in series:
    if name == "up" or name in not_yet:
        continue
    if (name, labels) not in exported:
        problems.append("the tests feed %s%s, which the gateway does not export" %
                        (name, dict(sorted(labels))))
for problem in problems:
    print(problem)
sys.exit(1 if problems else 0)
