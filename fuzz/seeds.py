#!/usr/bin/env python3
"""Writes the seed corpora (fuzz/corpus/<target>/) and the reproducers of the
faults found so far (fuzz/reproducers/<target>/). Run from anywhere; needs the
capnp tool for the device client's messages. The files are committed: CI only
replays them."""
import os
import struct
import subprocess

top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def write(kind, target, name, data):
    folder = os.path.join(top, "fuzz", kind, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def le(fmt, *values):
    return struct.pack("<" + fmt, *values)


def transfers(*chunks):
    return b"".join(le("H", len(c)) + c for c in chunks)


# --- fuzz_service_stack: records of the harness's input format ------------------------
LOGGER, ALG, POS, DEPTH = 0, 1, 2, 3
CODES = [0x00000001, 0x0000000C, 0x0000000F, 0x00000002, 0x00000010, 0x02000001, 0x02000002, 0x02000003,
         0x02000004, 0x02000005, 0x04000001, 0x04000002, 0x04000003, 0x03000003, 0x07000001, 0x07000002,
         0x07000003, 0x07000004, 0x07000005, 0x07000006, 0x09000001, 0x09000002, 0x09000003, 0x09000004,
         0x09000005, 0x09000006, 0x09000007, 0x0900000A, 0x0A000001, 0x00000000]


def message(service, data_channel, msg_type, code, payload, flags=0, status=0):
    route = service << 1 | (1 if data_channel else 0)
    head = bytes([0, route, msg_type | flags << 2])
    if code in CODES:
        head += bytes([CODES.index(code)])
    else:
        head += bytes([0x80]) + le("I", code)
    return head + bytes([status]) + le("H", len(payload)) + payload


def raw(iface_index, data):
    return bytes([3, iface_index]) + le("H", len(data)) + data


def depth_fragment(stream, index, count, value, data):
    wire = le("IHHHIIIQ", stream, 0x0B0A, 0, index, len(data), count, value, 0x1122334455667788)
    wire += le("HH", 0, 0) + b"\0" * 48 + b"\0\0"
    assert len(wire) == 84
    return wire + data


def log_line(text):
    return le("III", len(text), 0, 7) + text


def imu_sample(stamp):
    return le("HHQIIII", 1, 2, stamp, 11, 22, 33, 44)


def alg_result(n):
    return le("III", n, n + 1, n + 2) + bytes([n]) * 1024 + bytes([n + 1]) * 1024


S = "fuzz_service_stack"
frame = bytes(range(256)) * 6
write("corpus", S, "depth-frame-in-three-fragments",
      message(DEPTH, True, 2, 0x04000003, depth_fragment(0, 0, 3, 1, frame[:500]))
      + message(DEPTH, True, 2, 0x04000003, depth_fragment(0, 1, 3, 1, frame[500:1000]))
      + message(DEPTH, True, 2, 0x04000003, depth_fragment(0, 2, 3, 1, frame[1000:1200])))
write("corpus", S, "depth-fragment-out-of-order",
      message(DEPTH, True, 2, 0x04000003, depth_fragment(0, 1, 2, 2, frame[:100]))
      + message(DEPTH, True, 2, 0x04000003, depth_fragment(9, 0, 1, 3, frame[:10])))
write("corpus", S, "log-lines",
      message(LOGGER, True, 2, 0x02000005, log_line(b"vpu: boot done\n"))
      + message(LOGGER, True, 2, 0x02000005, log_line(b""))
      + message(LOGGER, True, 2, 0x02000005, log_line(b"x" * 600)))
write("corpus", S, "imu-samples", b"".join(message(POS, True, 2, 0x09000005, imu_sample(i)) for i in range(4)))
write("corpus", S, "alg-results", message(ALG, True, 2, 0x07000006, alg_result(1))
      + message(ALG, True, 2, 0x07000006, alg_result(2)[:100]))
write("corpus", S, "keep-alive-and-stray-answers",
      message(LOGGER, False, 3, 0x0000000F, b"")
      + message(DEPTH, False, 1, 0x04000002, le("I", 0))
      + message(POS, False, 1, 0x09000002, le("I", 0), status=1))
write("corpus", S, "raw-packet-words",
      raw(0, le("I", 13 | 20 << 6) + b"\x02\0\0\0" * 5) + raw(1, b"\xff" * 16))

# The faults' packets: the device asks the host to free an address of its
# choosing, to send out its read function, and answers a stream start that
# nobody asked for.
POINTER = le("Q", 0x4141414141414141)
for svc, name in ((LOGGER, "logger"), (ALG, "alg"), (POS, "pos-sensors"), (DEPTH, "depth")):
    write("reproducers", S, "free-buffer-request-" + name, message(svc, False, 0, 0x00000001, POINTER, flags=1))
write("reproducers", S, "free-buffer-response-depth", message(DEPTH, False, 1, 0x00000001, POINTER))
write("reproducers", S, "free-buffer-response-remote-depth", message(DEPTH, False, 1, 0x00000001, POINTER, flags=1))
write("reproducers", S, "free-buffer-data-depth", message(DEPTH, True, 2, 0x00000001, POINTER))
write("reproducers", S, "read-function-request-remote-depth",
      message(DEPTH, False, 0, 0x0000000C, b"\0" * 8, flags=1))
write("reproducers", S, "forged-stream-start-answer-depth",
      message(DEPTH, False, 1, 0x04000001, le("II", 0x04000001, 5)))
write("reproducers", S, "forged-stream-start-answer-remote-depth",
      message(DEPTH, False, 1, 0x04000001, le("II", 0x04000001, 6), flags=1))

# --- fuzz_device_client ---------------------------------------------------------------
SYNC = bytes([0xC0, 0xFF, 0xEE, 0x00])


def response(text):
    return subprocess.run(["capnp", "encode", os.path.join(top, "driver", "morv_client.capnp"), "Response"],
                          input=text.encode(), capture_output=True, check=True).stdout


D = "fuzz_device_client"
state = response("(id = 0, error = success, msg = (deviceState = (processor = primary, state = ready)))")
progress = response("(id = 6, error = success, msg = (flashUpdateStatus = (action = write, block = 3, "
                    "totalBlocks = 9, msg = \"writing\")))")
reply = response("(id = 6, error = success, msg = (deviceCalibration = 0x\"76657273696f6e3d35\"))")
failed = response("(id = 7, error = invalidParams)")
note = response("(id = 0, error = success, msg = (notification = (asserted = true, type = laserTripHigh)))")
ids = le("II", 6, 7)
write("corpus", D, "state-report", ids + transfers(SYNC, state))
write("corpus", D, "replies-to-both", ids + transfers(SYNC + progress, SYNC, reply[:8], reply[8:], SYNC + failed))
write("corpus", D, "garbage-then-notification", ids + transfers(b"\xC0\xFF\xC0\xFF\xEE", b"\x00" + note))
write("corpus", D, "huge-segment-table", ids + transfers(SYNC + le("II", 0x1FF, 0xFFFFFFFF), SYNC + state))

# --- fuzz_boot_monitor ------------------------------------------------------------------
B = "fuzz_boot_monitor"
read_ok = le("III", 0x103, 20, 0) + bytes(range(16))
write_ok = le("III", 0x123, 4, 0)
jump_ok = le("III", 0x313, 4, 0)
record = le("i", 2) + b"SN123".ljust(128, b"\0") + b"maker".ljust(128, b"x") + b"model".ljust(128, b"\0") \
    + b"rev".ljust(128, b"\0") + b"\0" * 143
write("corpus", B, "read-write-jump", bytes([0x07]) + le("I", 16) + transfers(read_ok, write_ok, jump_ok))
write("corpus", B, "production-data", bytes([0x08]) + le("I", 0)
      + transfers(le("III", 0x103, 664 + 4, 0) + record[:659] + b"\0"))
write("corpus", B, "short-and-long-replies", bytes([0x01]) + le("I", 4100)
      + transfers(le("III", 0x103, 0xFFFFFFFF, 0) + b"\x55" * 100, le("II", 0x103, 8), b""))
write("corpus", B, "spl-handshake", bytes([0x30]) + le("I", 0)
      + transfers(le("III", 0x103, 8, 0) + le("I", 0x101), le("III", 0x103, 8, 0) + le("I", 0x2000),
                  le("III", 0x103, 20, 0) + le("IIII", 1, 2, 3, 4), write_ok))

# --- fuzz_marshal -----------------------------------------------------------------------
M = "fuzz_marshal"
write("corpus", M, "logger-params", le("I", 0x02000001) + bytes([2, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0]))
write("corpus", M, "alg-result", le("I", 0x07000006) + alg_result(5))
write("corpus", M, "depth-header", le("I", 0x04000003) + depth_fragment(1, 0, 1, 9, b"")[:84])
write("corpus", M, "system-config", le("I", 0x0100000F) + bytes(range(256)) * 3)
write("corpus", M, "short-record", le("I", 0x09000005) + b"\1\2\3")

# --- fuzz_calibration -------------------------------------------------------------------
C = "fuzz_calibration"
write("corpus", C, "new-set", b"version=5000 calib_date=2024-01-02 vis_0_fx=2.5 vis_1_fx=3.5 fc_left=4.5 "
      b"temp_left=31.5 temp_right=32.5")
write("corpus", C, "old-set", b"version=4 raw_right_from_left_tx=0.05 raw_right_from_left_ty=-0.25 "
      b"raw_right_from_left_tz=1.5 raw_right_from_left_rx=0 temp_left=31.5")
write("corpus", C, "long-tokens", b"version=" + b"9" * 300 + b" calib_date=" + b"d" * 200 + b" =  == k=")

# --- fuzz_streamer ----------------------------------------------------------------------
T = "fuzz_streamer"


def fragment(stream, index, count, claimed, carried, split=False, read=None):
    head = bytes([stream, 1]) + le("H", index) + le("III", claimed, count, 7) + le("I", 9)
    head += le("H", carried) + bytes([1 if split else 0, 0 if read is None else 0x80 | read])
    assert len(head) == 24
    return head + bytes(range(256)) * (carried // 256) + bytes(range(carried % 256))


write("corpus", T, "frame-of-three", fragment(0, 0, 3, 100, 100) + fragment(0, 1, 3, 100, 100, True)
      + fragment(0, 2, 3, 50, 50, read=0))
write("corpus", T, "overflowing-fragments", fragment(1, 0, 4, 400, 400) + fragment(1, 1, 4, 400, 400)
      + fragment(1, 2, 4, 60000, 10) + fragment(8, 0, 1, 1, 1, read=1))
write("corpus", T, "full-sink", b"".join(fragment(2, 0, 1, 10, 10) for _ in range(6)) + fragment(2, 0, 1, 1, 1, read=2))

# --- fuzz_usb_descriptors ---------------------------------------------------------------
U = "fuzz_usb_descriptors"
LIBUSBK, LIBUSB0, WINUSB = 0, 1, 2
UNCONFIGURED, OLD_DRIVER, GIVEN_FILE, SET_CONFIG, CLONES = 0x04, 0x08, 0x10, 0x20, 0x40


def device_descriptor(bcd=0x0102):
    return bytes([18, 1]) + le("HBBBB", 0x0200, 0, 0, 0, 64) + le("HHH", 0xF3A7, 0x0D51, bcd) + bytes([1, 2, 3, 1])


def interface(number, alt, endpoints):
    return bytes([9, 4, number, alt, endpoints, 0xFF, 0, 0, 0])


def endpoint(address, size=512, attributes=2, interval=0):
    return bytes([7, 5, address, attributes]) + le("H", size) + bytes([interval])


def configuration(value, *parts, total=None):
    body = b"".join(parts)
    length = 9 + len(body) if total is None else total
    return bytes([9, 2]) + le("H", length) + bytes([1, value, 0, 0x80, 50]) + body


def string(text):
    data = text.encode("utf-16-le")
    return bytes([2 + len(data), 3]) + data


def usb_input(flags, value, device=None, configs=(), strings=()):
    chunks = []
    if device is not None:
        chunks.append(b"\0" + device)
    chunks += [b"\1" + c for c in configs]
    chunks += [b"\2" + bytes([i]) + s for i, s in strings]
    return bytes([flags, value]) + transfers(*chunks)


SENSOR_STRINGS = [(0, bytes([4, 3, 0x09, 0x04])), (1, string("Zarn Example Devices")),
                  (2, string("Zarn Depth Sensor")), (3, string("SN0001"))]
sensor_config = configuration(1, interface(0, 0, 2), endpoint(0x81), endpoint(0x01),
                              interface(0, 1, 2), endpoint(0x82), endpoint(0x02))
composite = configuration(1, interface(0, 0, 1), endpoint(0x81), interface(1, 0, 2), endpoint(0x82),
                          endpoint(0x02), bytes([5, 0x24, 0, 0, 0]), interface(2, 0, 1), endpoint(0x83, 0x1400, 1, 1))
for name, driver in (("libusbk", LIBUSBK), ("libusb0", LIBUSB0), ("winusb", WINUSB)):
    write("corpus", U, "sensor-interface-" + name,
          usb_input(driver | CLONES, 1, device_descriptor(), [sensor_config], SENSOR_STRINGS))
    write("corpus", U, "composite-" + name,
          usb_input(driver | CLONES | SET_CONFIG, 1, device_descriptor(0x8102), [composite], SENSOR_STRINGS[:2]))
write("corpus", U, "old-driver-changes-configuration",
      usb_input(LIBUSBK | OLD_DRIVER | SET_CONFIG, 2, device_descriptor(),
                [sensor_config, configuration(2, interface(3, 0, 1), endpoint(0x84))]))
write("corpus", U, "unconfigured-libusb0", usb_input(LIBUSB0 | UNCONFIGURED | SET_CONFIG, 1, device_descriptor(),
                                                     [sensor_config, sensor_config]))
write("corpus", U, "given-file", usb_input(LIBUSBK | GIVEN_FILE | CLONES, 0, device_descriptor(), [sensor_config]))
write("corpus", U, "duplicate-listings",
      usb_input(WINUSB | CLONES, 0, device_descriptor(),
                [configuration(1, interface(0, 0, 1), endpoint(0x81), interface(0, 0, 2), endpoint(0x81),
                               endpoint(0x01), interface(0, 1, 1), endpoint(0x85))]))
write("corpus", U, "short-and-ragged",
      usb_input(LIBUSBK, 1, device_descriptor()[:10],
                [configuration(1, interface(0, 0, 2), endpoint(0x81)[:5], total=200),
                 configuration(1, bytes([0, 4, 0, 0]))],
                [(0, bytes([2, 3])), (1, bytes([255, 3]) + b"A\0" * 10), (2, bytes([9, 3, 0x41, 0x80, 0xC3])),
                 (3, bytes([6, 2, 0x41, 0, 0x42, 0]))]))

# --- fuzz_device_list ---------------------------------------------------------------------
L = "fuzz_device_list"
INCLUDE_DISCONNECTED, DEVICE_PATTERN, INTERFACE_MODE, CLASS_MODE, UNTERMINATED, MONITOR = 0x01, 0x02, 0x04, 0x06, 0x08, 0x10
(NEW_NODE, SERVICE, DESCRIPTION, MANUFACTURER, SETUP_CLASS, GUIDS_STORED, GUID_LIST, INTERFACE, NUMBERS, PARENT,
 UNPLUG_LATER, REPLUG_LATER, PATTERN, TIMER) = range(14)
NODES_CHANGED_TIMER, INTERFACE_TIMER, NAMED_REMOVAL_TIMER = 0, 1, 2
LIBUSBK_GUID = b"{6C696275-7362-4B00-A5A2-7A61726E0001}"
LIBUSBK_CLASS = b"{ECFB0CFD-74C4-4F52-BBF7-343461CD72AC}"
USB_CLASS = b"{36FC9E60-C465-11CF-8056-444553540000}"
ACTIVE, REMOVED, HAS_LUSB0 = 1, 2, 4
GUID_LIBUSBK, GUID_FILTER, GUID_FIRST_LISTED, GUID_OTHER = 0 << 3, 1 << 3, 2 << 3, 3 << 3


def field(tag, data=b""):
    return bytes([tag]) + data


def iface(bits, link, lusb0=0):
    return field(INTERFACE, bytes([bits]) + le("H", lusb0) + link)


def link_of(instance, guid=LIBUSBK_GUID):
    return b"\\\\?\\" + instance.lower().replace(b"\\", b"#") + b"#" + guid.lower()


def sensor_nodes(serial, vid=b"F3A7", pid=b"0D51"):
    parent = b"USB\\VID_" + vid + b"&PID_" + pid + b"\\" + serial
    out = [field(NEW_NODE, parent), field(SERVICE, b"usbccgp"), field(SETUP_CLASS, USB_CLASS),
           field(DESCRIPTION, b"USB Composite Device")]
    for index, name in enumerate((b"control", b"infrared", b"depth", b"visible", b"client")):
        instance = b"USB\\VID_" + vid + b"&PID_" + pid + b"&MI_%02d\\7&1A2B3C&0&%04d" % (index, index)
        out += [field(NEW_NODE, instance), field(SERVICE, b"libusbK"), field(SETUP_CLASS, LIBUSBK_CLASS),
                field(DESCRIPTION, b"ZarnSensor." + name), field(MANUFACTURER, b"Zarn Example Devices"),
                field(GUID_LIST, LIBUSBK_GUID), field(NUMBERS, bytes([1, 4])), field(PARENT, bytes([0])),
                iface(ACTIVE, link_of(instance))]
    return out


filter_device = [field(NEW_NODE, b"USB\\VID_0A12&PID_0001\\STOR1"), field(SERVICE, b"usbstor"),
                 field(SETUP_CLASS, USB_CLASS), field(DESCRIPTION, b"Storage"),
                 iface(ACTIVE | HAS_LUSB0 | GUID_FILTER, link_of(b"USB\\VID_0A12&PID_0001\\STOR1",
                                                                 b"{F9F3FF14-AE21-48A0-8A25-8011A7A931D9}"), 3)]
winusb_device = [field(NEW_NODE, b"USB\\VID_1234&PID_5678\\ABC123"), field(SERVICE, b"WinUSB"),
                 field(SETUP_CLASS, USB_CLASS), field(GUIDS_STORED, b"{8F3A9C21-0001-4A5B-9C1D-2E3F40516273}\0junk"),
                 iface(ACTIVE | GUID_OTHER, b"\\\\?\\usb#vid_1234&pid_5678#abc123#{8f3a9c21}")]
write("corpus", L, "sensor-and-filter-device", bytes([0]) + transfers(*sensor_nodes(b"SN0001"), *filter_device))
write("corpus", L, "sensor-goes-and-comes-back",
      bytes([INCLUDE_DISCONNECTED]) + transfers(*sensor_nodes(b"SN0002"), field(UNPLUG_LATER, bytes([0])),
                                                field(REPLUG_LATER, bytes([3]))))
write("corpus", L, "interface-mode", bytes([INTERFACE_MODE]) + transfers(*sensor_nodes(b"SN0003"), *winusb_device))
write("corpus", L, "class-mode-unterminated",
      bytes([CLASS_MODE | UNTERMINATED]) + transfers(*sensor_nodes(b"SN0004"), *filter_device))
write("corpus", L, "device-pattern", bytes([DEVICE_PATTERN]) + transfers(
    field(PATTERN, b"*?&PID_0D51&MI_04"), *sensor_nodes(b"SN0005"), *winusb_device))
write("corpus", L, "long-texts", bytes([0]) + transfers(
    field(NEW_NODE, b"USB\\VID_F3A7&PID_0D51&MI_7F\\" + b"S" * 300), field(SERVICE, b"libusb0" + b"x" * 300),
    field(DESCRIPTION, b"d" * 400), field(GUIDS_STORED, LIBUSBK_GUID * 40),
    iface(ACTIVE | HAS_LUSB0, b"\\\\?\\" + b"p" * 300, 0xFFFF), iface(ACTIVE | HAS_LUSB0, b"\\\\?\\short", 255),
    field(NEW_NODE, b"usb\\vid_zz&pid_\\\\"), field(SERVICE, b"LIBUSBK"), field(GUID_LIST, b"{bad\0\0" + LIBUSBK_GUID),
    iface(ACTIVE | GUID_FIRST_LISTED, b"*?x")))

# Two nodes under one instance id, the second naming the first as its parent:
# the simulated tree's node then is its own parent, and unplugging it must end.
write("reproducers", L, "node-that-is-its-own-parent", bytes([INCLUDE_DISCONNECTED]) + transfers(
    field(NEW_NODE, b"USB\\VID_F3A7&PID_0D51\\LOOP"), field(SERVICE, b"libusbK"), field(GUID_LIST, LIBUSBK_GUID),
    iface(ACTIVE, link_of(b"USB\\VID_F3A7&PID_0D51\\LOOP")),
    field(NEW_NODE, b"USB\\VID_F3A7&PID_0D51\\LOOP"), field(SERVICE, b"libusbK"), field(GUID_LIST, LIBUSBK_GUID),
    field(PARENT, bytes([0])), iface(ACTIVE, link_of(b"USB\\VID_F3A7&PID_0D51\\LOOP")),
    field(UNPLUG_LATER, bytes([1]))))

# The hot-plug monitor over the sensor: interfaces go and come back with the
# monitor's timers in between.
write("corpus", L, "monitor-goes-and-comes-back", bytes([MONITOR]) + transfers(
    *sensor_nodes(b"SN0006"), field(UNPLUG_LATER, bytes([1])), field(TIMER, bytes([NAMED_REMOVAL_TIMER])),
    field(REPLUG_LATER, bytes([1])), field(TIMER, bytes([INTERFACE_TIMER])), field(UNPLUG_LATER, bytes([0])),
    field(TIMER, bytes([NODES_CHANGED_TIMER]))))
# A removal marked from its notice while a synchronisation is due: the
# synchronisation runs before the removal's own timer, and the removal must
# still be told.
write("reproducers", L, "removal-marked-before-an-overdue-sync", bytes([MONITOR]) + transfers(
    *sensor_nodes(b"SN0007"), field(UNPLUG_LATER, bytes([2])), field(TIMER, bytes([NAMED_REMOVAL_TIMER])),
    field(REPLUG_LATER, bytes([2])), field(UNPLUG_LATER, bytes([3])), field(TIMER, bytes([INTERFACE_TIMER])),
    field(TIMER, bytes([NAMED_REMOVAL_TIMER]))))
