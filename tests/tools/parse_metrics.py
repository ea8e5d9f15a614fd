"""Reads a Prometheus text exposition with the reference parser (python3-prometheus-client) and
prints what it understood, one line each: "family NAME TYPE", then "sample NAME{LABEL=VALUE,...}
VALUE" with the labels sorted. Exit status 1 when the text does not parse."""
import sys

from prometheus_client.parser import text_string_to_metric_families

try:
    with open(sys.argv[1], encoding="utf-8") as text:
        for family in text_string_to_metric_families(text.read()):
            print(f"family {family.name} {family.type}")
            for sample in family.samples:
                labels = ",".join(f"{k}={v}" for k, v in sorted(sample.labels.items()))
                print(f"sample {sample.name}{{{labels}}} {sample.value!r}")
except Exception as error:  # the parser's own complaint, as the test's message
    print(f"does not parse: {error}")
    sys.exit(1)
