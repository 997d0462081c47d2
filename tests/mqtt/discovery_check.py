"""Checks discovery messages against what Home Assistant documents for an MQTT
sensor and what its Energy dashboard takes.
Usage: discovery_check.py LINES PREFIX STATUS_TOPIC METER...
LINES holds "RETAIN TOPIC PAYLOAD" lines, as mosquitto_sub -F '%r %t %p' prints
them. Prints each fault; exits 1 when there is one.
"""
import json
import re
import sys

# The documented schema, as data.
SENSOR_KEYS = set("""availability availability_mode availability_template availability_topic
    default_entity_id device device_class enabled_by_default encoding entity_category
    entity_picture expire_after force_update icon json_attributes_template json_attributes_topic
    last_reset_value_template name object_id options origin payload_available
    payload_not_available platform qos state_class state_topic suggested_display_precision
    unique_id unit_of_measurement value_template""".split())
REQUIRED = {"state_topic"}
DEVICE_KEYS = set("""configuration_url connections hw_version identifiers manufacturer model
    model_id name serial_number suggested_area sw_version via_device""".split())
AVAILABILITY_KEYS = {"topic", "payload_available", "payload_not_available", "value_template"}
AVAILABILITY_MODES = {"all", "any", "latest"}
STATE_CLASSES = {"measurement", "total", "total_increasing"}
SENSOR_CATEGORIES = {"diagnostic"}  # a sensor cannot be a config entity
TOPIC = r"^{}/sensor/(?:[a-zA-Z0-9_-]+/)?[a-zA-Z0-9_-]+/config$"
# An energy sensor the Energy dashboard takes.
ENERGY = {"state_class": {"total", "total_increasing"},
          "unit_of_measurement": {"Wh", "kWh", "MWh", "MJ", "GJ"}}

lines, prefix, status_topic, meters = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
faults, unique_ids, kinds = [], set(), {}
for line in open(lines, encoding="utf-8"):
    retain, topic, payload = line.rstrip("\n").split(" ", 2)
    c = json.loads(payload)
    meter, key = c["state_topic"].split("/")[1:]
    device = c.get("device", {})
    availability = c.get("availability", [])
    for fault, what in [
            (retain != "1", "not retained"),
            (not re.match(TOPIC.format(re.escape(prefix)), topic), "not a discovery topic"),
            (not topic.endswith(f"/{key}/config"), "another key's state"),
            (set(c) - SENSOR_KEYS, f"unknown keys {set(c) - SENSOR_KEYS}"),
            (REQUIRED - set(c), f"lacks {REQUIRED - set(c)}"),
            (c.get("unique_id") in unique_ids | {None}, "no unique_id of its own"),
            (set(device) - DEVICE_KEYS, "unknown device keys"),
            (device.get("identifiers") != [f"tolvaner_{meter}"], "device identifiers"),
            ((device.get("model"), device.get("sw_version")) != ("TV10", "7"), "model, version"),
            (c.get("availability_mode") not in AVAILABILITY_MODES, "availability_mode"),
            (any(set(a) - AVAILABILITY_KEYS for a in availability), "availability keys"),
            ([a["topic"] for a in availability] != [status_topic, f"tolvaner/{meter}/availability"],
             "availability topics"),
            (c.get("state_class", "total") not in STATE_CLASSES, "state_class"),
            (c.get("entity_category", "diagnostic") not in SENSOR_CATEGORIES, "entity_category"),
            (c.get("device_class") == "energy" and any(c.get(k) not in v for k, v in ENERGY.items()),
             "not an energy sensor the Energy dashboard takes")]:
        if fault:
            faults.append(f"{topic}: {what}")
    unique_ids.add(c.get("unique_id"))
    kind = c.get("device_class") or c.get("state_class") or c.get("entity_category")
    kinds.setdefault(meter, set()).add((kind, key))
settings = ("product_id", "code_revision", "pulse_value", "full_scale", "output_mode",
            "average_interval")
for meter in meters:
    wanted = {("energy", "kwh_value"), ("measurement", "dac_value")} | {
        ("diagnostic", k) for k in settings}
    if kinds.get(meter) != wanted:
        faults.append(f"{meter}: entities {sorted(kinds.get(meter, []))}")
if faults:
    print("\n".join(faults))
sys.exit(1 if faults else 0)
