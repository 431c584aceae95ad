"""Run by the fresh environment's interpreter, with the system's copies of
the carried libraries hidden: imports pemux, solves in-process and through
the service named by PEMU_CHECK_* variables, and prints what it saw as JSON."""

import importlib.metadata
import json
import os

import pemux

report = {"version": pemux.__version__,
          "dist_version": importlib.metadata.version("pemux"),
          "module": pemux.__file__}

values = [3, 5, 7, 11]
os.environ["PEMU_KILLSWITCH"] = "1"
report["local"] = pemux.complete_subset_sum(values)
report["local_bytes"] = pemux.complete_subset_sum_bytes(values).hex()

del os.environ["PEMU_KILLSWITCH"]
for name in ("PEMU_BASE_URL", "PEMU_CA_BUNDLE", "PEMU_API_KEY"):
    os.environ[name] = os.environ["PEMU_CHECK_" + name[5:]]
report["remote"] = pemux.complete_subset_sum(values)

with open("/proc/self/maps") as maps:
    report["curl_mappings"] = sorted({line.split()[-1] for line in maps
                                      if "libcurl" in line})
print(json.dumps(report))
