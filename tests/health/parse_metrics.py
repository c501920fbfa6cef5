"""Parses a metrics file with prometheus_client's text parser (Debian's python3-prometheus-client)
and prints its families as JSON: [{"name", "type", "samples": [[name, labels, value], ...]}].
A text the parser refuses ends this with an error status."""
import json
import sys

from prometheus_client.parser import text_string_to_metric_families

with open(sys.argv[1], encoding="utf-8") as file:
    text = file.read()
families = [
    {"name": family.name, "type": family.type,
     "samples": [[sample.name, sample.labels, sample.value] for sample in family.samples]}
    for family in text_string_to_metric_families(text)]
json.dump(families, sys.stdout)
