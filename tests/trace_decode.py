#!/usr/bin/env python3
"""Decodes the trace events device_tests recorded, as a trace session would
receive them, with a decoder written from Microsoft's description of the
self-describing (TraceLogging) layout rather than from the program's
encoder, and checks the events of a refused open, a connect failure and an
unplug with the link up:  trace_decode.py EVENTS_FILE"""
import struct
import sys

# In-types: how a value is stored (name, struct format or None for a string).
IN_TYPES = {1: ("unicodestring", None), 2: ("ansistring", None), 7: ("int32", "<i"), 8: ("uint32", "<I"), 10: ("uint64", "<Q"),
            20: ("hexint32", "<I")}
OUT_TYPES = {0: "", 13: "win32error", 15: "hresult"}
PROVIDER_METADATA, EVENT_METADATA = 2, 1


def cstring(data, at, encoding="utf-8"):
    """A NUL-terminated name (UTF-8) or ANSI value (the writer's code page, 1251 here)."""
    end = data.index(b"\0", at)
    return data[at:end].decode(encoding), end + 1


def wide_string(data, at):
    end = at
    while data[end:end + 2] != b"\0\0":
        end += 2
    return data[at:end].decode("utf-16-le"), end + 2


def decode_event(level, keyword, parts):
    """One recorded write: (provider, name, [(field, in-type, out-type, value)])."""
    provider = metadata = None
    payload = b""
    for kind, data in parts:
        if kind == PROVIDER_METADATA:
            assert struct.unpack_from("<H", data)[0] == len(data), "provider metadata size"
            provider, _ = cstring(data, 2)
        elif kind == EVENT_METADATA:
            metadata = data
        else:
            payload += data
    assert metadata is not None and struct.unpack_from("<H", metadata)[0] == len(metadata), "event metadata size"
    at = 2
    while metadata[at] & 0x80:  # tag bytes: the high bit says another follows
        at += 1
    name, at = cstring(metadata, at + 1)
    fields, offset = [], 0
    while at < len(metadata):
        field, at = cstring(metadata, at)
        in_type, at = metadata[at], at + 1
        out_type = 0
        if in_type & 0x80:
            out_type, at = metadata[at], at + 1
            assert not out_type & 0x80, "no field tags are written"
        assert in_type & 0x60 == 0, "no arrays are written"
        type_name, form = IN_TYPES[in_type & 0x1F]
        if form is None and type_name == "unicodestring":
            value, offset = wide_string(payload, offset)
        elif form is None:
            value, offset = cstring(payload, offset, "cp1251")
        else:
            value = struct.unpack_from(form, payload, offset)[0]
            offset += struct.calcsize(form)
        fields.append((field, type_name, OUT_TYPES[out_type & 0x7F], value))
    assert offset == len(payload), "data left over in " + name
    return {"provider": provider, "name": name, "level": level, "keyword": keyword, "fields": fields}


def read_events(raw):
    events, at = [], 0
    while at < len(raw):
        level, keyword, count = struct.unpack_from("<BQI", raw, at)
        at += 13
        parts = []
        for _ in range(count):
            kind, size = struct.unpack_from("<BI", raw, at)
            parts.append((kind, raw[at + 5:at + 5 + size]))
            at += 5 + size
        events.append(decode_event(level, keyword, parts))
    return events


def fields_of(event):
    return {name: (in_type, out_type, value) for name, in_type, out_type, value in event["fields"]}


def main(path):
    raw = open(path, "rb").read()
    assert b"PAYLOAD" not in raw, "relayed bytes reached a trace event"
    events = read_events(raw)
    assert all(e["provider"] == "Varnel" for e in events), "every event names its provider"
    named = lambda name: [fields_of(e) for e in events if e["name"] == name]
    checks = 0

    opened = named("OpenTried")
    assert len(opened) >= 4, opened
    refused = opened[0]
    assert refused["path"][:2] == ("ansistring", "") and refused["path"][2].startswith("\\\\?\\"), refused
    assert refused["access"] == ("hexint32", "", 0x10000000), refused  # GENERIC_ALL
    assert refused["error"] == ("uint32", "win32error", 5), refused  # ERROR_ACCESS_DENIED
    # Then read and write, refused too; the next modem is opened so.
    assert opened[1]["access"] == ("hexint32", "", 0xC0000000) and opened[1]["error"][2] == 5, opened[1]
    assert opened[-1]["access"][2] == 0xC0000000 and opened[-1]["error"][2] == 0, opened[-1]
    checks += 1

    requested = named("ConnectRequested")
    assert [r["host"] for r in requested] == [("ansistring", "", "127.0.0.1")] * 2, requested
    assert all(r["port"][2].isdigit() for r in requested), requested
    ended = named("ConnectEnded")
    failed = ended[0]
    assert failed["result"] == ("int32", "hresult", 0xA0042802 - 2**32), failed  # GW_E_NETWORK
    assert failed["error"] == ("uint32", "win32error", 10061), failed  # WSAECONNREFUSED
    assert failed["ms"][:2] == ("uint32", "") and failed["ms"][2] < 10000, failed
    assert ended[1]["result"][2] == 0 and ended[1]["error"][2] == 0, ended[1]
    checks += 1

    link = named("LinkEnded")
    assert len(link) == 1, link
    assert link[0]["cause"] == ("ansistring", "", "unplug"), link
    assert link[0]["received"] == ("uint64", "", 12) and link[0]["sent"] == ("uint64", "", 10), link
    assert link[0]["error"][2] in (0, 1167), link  # a removal notice, or the transfers failing first
    worker = named("WorkerEnded")
    assert len(worker) == 1 and worker[0]["device"] == link[0]["device"], worker
    checks += 1
    print(f"trace_decode: {len(events)} events decoded, {checks} cases checked")


if __name__ == "__main__":
    main(sys.argv[1])
