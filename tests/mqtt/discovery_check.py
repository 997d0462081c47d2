"""Checks discovery messages against what Home Assistant documents for an MQTT
sensor, and against what its Energy dashboard takes.

Usage: discovery_check.py LINES PREFIX STATUS_TOPIC METER...
LINES holds "RETAIN TOPIC PAYLOAD" lines, as mosquitto_sub -F '%r %t %p'
prints them. Prints each fault and exits 1 when there is one.
"""
import json
import re
import sys

# The documented schema, as data: the keys an MQTT sensor's config may have,
# those of its device, and the values some of them take.
SENSOR_KEYS = {
    "availability", "availability_mode", "availability_template", "availability_topic",
    "default_entity_id", "device", "device_class", "enabled_by_default", "encoding",
    "entity_category", "entity_picture", "expire_after", "force_update", "icon",
    "json_attributes_template", "json_attributes_topic", "last_reset_value_template", "name",
    "object_id", "options", "origin", "payload_available", "payload_not_available", "platform",
    "qos", "state_class", "state_topic", "suggested_display_precision", "unique_id",
    "unit_of_measurement", "value_template",
}
REQUIRED = {"state_topic"}
DEVICE_KEYS = {
    "configuration_url", "connections", "hw_version", "identifiers", "manufacturer", "model",
    "model_id", "name", "serial_number", "suggested_area", "sw_version", "via_device",
}
AVAILABILITY_KEYS = {"topic", "payload_available", "payload_not_available", "value_template"}
AVAILABILITY_MODES = {"all", "any", "latest"}
STATE_CLASSES = {"measurement", "total", "total_increasing"}
SENSOR_ENTITY_CATEGORIES = {"diagnostic"}  # a sensor cannot be a config entity
TOPIC = r"^{prefix}/sensor/(?:[a-zA-Z0-9_-]+/)?[a-zA-Z0-9_-]+/config$"
# What the Energy dashboard takes as an energy sensor.
ENERGY_STATE_CLASSES = {"total", "total_increasing"}
ENERGY_UNITS = {"Wh", "kWh", "MWh", "GJ", "MJ"}

faults = []


def check(condition, what):
    if not condition:
        faults.append(what)


def main():
    lines, prefix, status_topic, meters = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
    configs = {}
    for line in open(lines, encoding="utf-8"):
        retain, topic, payload = line.rstrip("\n").split(" ", 2)
        check(retain == "1", f"{topic}: not retained")
        check(re.match(TOPIC.format(prefix=re.escape(prefix)), topic), f"{topic}: not a topic")
        configs[topic] = json.loads(payload)
    unique_ids = set()
    for meter in meters:
        kinds = []
        for topic, c in configs.items():
            state_topic = c.get("state_topic", "")
            if not state_topic.startswith(f"tolvaner/{meter}/"):
                continue
            key = state_topic.split("/")[-1]
            check(topic.endswith(f"/{key}/config"), f"{topic}: another key's state")
            check(not set(c) - SENSOR_KEYS, f"{topic}: unknown keys {set(c) - SENSOR_KEYS}")
            check(REQUIRED <= set(c), f"{topic}: lacks {REQUIRED - set(c)}")
            check(c.get("unique_id") and c["unique_id"] not in unique_ids, f"{topic}: unique_id")
            unique_ids.add(c.get("unique_id"))
            device = c.get("device", {})
            check(not set(device) - DEVICE_KEYS, f"{topic}: unknown device keys")
            check(device.get("identifiers") == [f"tolvaner_{meter}"], f"{topic}: identifiers")
            check(device.get("name") and device.get("model") == "TV10"
                  and device.get("sw_version") == "7", f"{topic}: device name, model, sw_version")
            check(c.get("availability_mode") in AVAILABILITY_MODES, f"{topic}: availability_mode")
            availability = c.get("availability", [])
            check(all(set(a) <= AVAILABILITY_KEYS for a in availability), f"{topic}: availability")
            check([a.get("topic") for a in availability]
                  == [status_topic, f"tolvaner/{meter}/availability"], f"{topic}: availability")
            check(c.get("state_class", "measurement") in STATE_CLASSES, f"{topic}: state_class")
            check(c.get("entity_category", "diagnostic") in SENSOR_ENTITY_CATEGORIES,
                  f"{topic}: entity_category")
            if c.get("device_class") == "energy":
                check(c.get("state_class") in ENERGY_STATE_CLASSES, f"{topic}: energy state_class")
                check(c.get("unit_of_measurement") in ENERGY_UNITS, f"{topic}: energy unit")
                kinds.append(("energy", key))
            elif c.get("state_class") == "measurement":
                kinds.append(("measurement", key))
            elif c.get("entity_category") == "diagnostic":
                kinds.append(("diagnostic", key))
        check(sorted(kinds) == sorted(
            [("energy", "kwh_value"), ("measurement", "dac_value")]
            + [("diagnostic", k) for k in ("product_id", "code_revision", "pulse_value",
                                           "full_scale", "output_mode", "average_interval")]),
            f"{meter}: entities {sorted(kinds)}")
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
