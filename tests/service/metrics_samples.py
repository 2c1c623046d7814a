#!/usr/bin/env python3
"""Reads a Prometheus text exposition on standard input with Prometheus' own
Python parser and prints what it understood: "TYPE <family> <type>" for each
family, then one "<name>{<label>="<value>",...} <value>" line per sample,
labels sorted. Exits non-zero when the text does not parse."""
import sys

from prometheus_client.parser import text_string_to_metric_families

for family in text_string_to_metric_families(sys.stdin.read()):
    print("TYPE %s %s" % (family.name, family.type))
    for sample in family.samples:
        labels = ",".join('%s="%s"' % item for item in sorted(sample.labels.items()))
        print("%s{%s} %.17g" % (sample.name, labels, sample.value))
