#!/usr/bin/python3
"""Two xAP devices on the home trial's simulated LAN (tools/home-trial.sh runs this in the
LAN's network namespace).

- A doorbell, acme.doorbell.front, that shows who rings on the house's displays: every
  --every seconds it broadcasts a Message.Display message (Display.Text, Line1 and Line2).
- An LCD, acme.lcd.kitchen, whose BSC text endpoint acme.lcd.kitchen:display takes an
  xAPBSC.cmd with id, State=on and Text, and answers with an xAPBSC.event as a real BSC
  device does.

Each sends its own heartbeat (its own uid and source, interval=60) at start and every 60 s.
Both listen on UDP 3639 on every address of the namespace, as devices without a hub of their
own do, and print what they hear from other sources. Ends with status 0 as soon as the LCD
has taken a valid command for its endpoint, 1 when none came within --timeout seconds.
"""

import argparse
import select
import socket
import sys
import time

XAP_PORT = 3639
DOORBELL = ("acme.doorbell.front", "FF3C4D00")
LCD = ("acme.lcd.kitchen", "FF1A2B00")
LCD_ENDPOINT = ("acme.lcd.kitchen:display", "FF1A2B01")


def heartbeat(source, uid):
    return ("xap-hbeat\n{\nv=12\nhop=1\nuid=%s\nclass=xap-hbeat.alive\nsource=%s\n"
            "interval=60\n}\n" % (uid, source))


def message(source, uid, cls, blocks, target=None):
    head = "xap-header\n{\nv=12\nhop=1\nuid=%s\nclass=%s\nsource=%s\n" % (uid, cls, source)
    if target:
        head += "target=%s\n" % target
    text = head + "}\n"
    for name, items in blocks:
        text += name + "\n{\n" + "".join("%s=%s\n" % kv for kv in items) + "}\n"
    return text


def parse(text):
    """An xAP message as a list of (block name, {lower-case item name: value})."""
    blocks, name, items = [], None, None
    for raw in text.replace("\r\n", "\n").split("\n"):
        line = raw.strip()
        if not line:
            continue
        if line == "{":
            items = {}
        elif line == "}":
            if name is not None and items is not None:
                blocks.append((name, items))
            name, items = None, None
        elif items is not None and "=" in line:
            key, value = line.split("=", 1)
            items[key.strip().lower()] = value
        elif items is None:
            name = line
    return blocks


def block(blocks, wanted):
    for name, items in blocks:
        if name.lower() == wanted.lower():
            return items
    return None


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--address", required=True, help="this namespace's address (10.77.0.2)")
    ap.add_argument("--broadcast", required=True, help="the LAN's broadcast address")
    ap.add_argument("--every", type=float, default=10.0, help="seconds between doorbell texts")
    ap.add_argument("--timeout", type=float, default=300.0, help="seconds before giving up")
    args = ap.parse_args()

    t0 = time.monotonic()

    def say(text):
        print("[device %6.1f s] %s" % (time.monotonic() - t0, text), flush=True)

    rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    rx.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    rx.bind(("", XAP_PORT))
    tx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    tx.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    tx.bind((args.address, 0))

    def send(text):
        tx.sendto(text.encode(), (args.broadcast, XAP_PORT))

    own_sources = {DOORBELL[0].lower(), LCD[0].lower(), LCD_ENDPOINT[0].lower()}
    deadline = t0 + args.timeout
    next_hbeat = t0
    next_text = t0 + 2.0
    rings = 0
    heard = set()
    while True:
        now = time.monotonic()
        if now >= deadline:
            say("no valid xAPBSC.cmd for %s within %.0f s" % (LCD_ENDPOINT[0], args.timeout))
            return 1
        if now >= next_hbeat:
            send(heartbeat(*DOORBELL))
            send(heartbeat(*LCD))
            say("heartbeats of %s (uid %s) and %s (uid %s)" % (DOORBELL + LCD))
            next_hbeat += 60.0
        if now >= next_text:
            rings += 1
            line2 = "ring %d" % rings
            send(message(*DOORBELL, "Message.Display",
                         [("Display.Text", [("Line1", "Front door"), ("Line2", line2)])]))
            say("%s sent Message.Display: Line1=Front door, Line2=%s" % (DOORBELL[0], line2))
            next_text += args.every
        wait = max(0.0, min(next_hbeat, next_text, deadline) - time.monotonic())
        ready, _, _ = select.select([rx], [], [], wait)
        if not ready:
            continue
        data, sender = rx.recvfrom(65535)
        text = data.decode("utf-8", "replace")
        blocks = parse(text)
        head = block(blocks, "xap-header") or block(blocks, "xap-hbeat")
        if head is None:
            say("%s:%d sent something that is no xAP message (%d bytes)" % (sender + (len(data),)))
            continue
        source = head.get("source", "")
        if source.lower() in own_sources:
            continue
        cls = head.get("class", "")
        key = (source.lower(), cls.lower())
        if cls.lower().startswith("xap-hbeat"):
            if key not in heard:
                say("heard %s from %s:%d: source %s, uid %s, interval %s" % (
                    cls, sender[0], sender[1], source, head.get("uid", "?"),
                    head.get("interval", "?")))
                heard.add(key)
            continue
        target = head.get("target", "")
        if cls.lower() == "xapbsc.cmd" and target.lower() == LCD_ENDPOINT[0].lower():
            state = None
            for name, items in blocks:
                if name.lower().startswith("output.state"):
                    state = items
            if state is None or "id" not in state or state.get("state", "").lower() != "on":
                say("LCD refuses an xAPBSC.cmd from %s without id and State=on: %r" % (
                    source, text))
                continue
            shown = state.get("text", "")
            say("LCD %s took xAPBSC.cmd from %s (%s:%d, uid %s): id=%s, State=%s, Text=%s" % (
                LCD_ENDPOINT[0], source, sender[0], sender[1], head.get("uid", "?"),
                state["id"], state["state"], shown))
            send(message(*LCD_ENDPOINT, "xAPBSC.event",
                         [("output.state", [("State", "on"), ("Text", shown)])]))
            say("LCD shows \"%s\" and answered with xAPBSC.event" % shown)
            return 0
        if key not in heard:
            say("heard %s from %s (%s:%d), target %s" % (cls, source, sender[0], sender[1],
                                                         target or "none"))
            heard.add(key)


if __name__ == "__main__":
    sys.exit(main())
