"""Finding instruments: the request "TX-DISCOVERY" goes by broadcast, to the multicast group and
to any addresses given, all to one UDP port; every instrument answers "TX-DISCOVERY-REPLY" and its
identity (a JSON object). Answers are collected until the time-out; an instrument that answers
several requests appears once."""
from __future__ import annotations

import json
import select
import socket
import time
from dataclasses import dataclass
from typing import Iterable, List, Optional

DISCOVERY_PORT = 12345
DISCOVERY_GROUP = "239.255.255.82"
REQUEST = b"TX-DISCOVERY"
REPLY = b"TX-DISCOVERY-REPLY"
MAX_REPLY = 2048        # longer datagrams are ignored
MAX_INSTRUMENTS = 4096  # at most this many are kept


@dataclass
class Identity:
    """One instrument as it answered discovery."""

    address: str                 #: where the answer came from
    port: int = DISCOVERY_PORT
    serial: str = ""             #: Ethernet address
    hostname: str = ""
    model: str = ""
    fpgaid: str = ""
    firmware: str = ""
    hardware: str = ""
    update_mode: bool = False    #: answered by the update environment (no model)
    identity: str = ""           #: the identity text as received


class Discovered(List[Identity]):
    """The instruments found (a list, in the order of their first answer); `failures` lists the
    requests that could not be sent, with the reason."""

    def __init__(self) -> None:
        super().__init__()
        self.failures: List[str] = []


def parse_identity(address: str, port: int, text: str) -> Identity:
    """An Identity of the text after "TX-DISCOVERY-REPLY" (fields left empty where it is not a
    JSON object of strings)."""
    found = Identity(address=address, port=port, identity=text)
    try:
        fields = json.loads(text)
    except ValueError:
        return found
    if isinstance(fields, dict):
        for name in ("serial", "hostname", "model", "fpgaid", "firmware", "hardware"):
            if isinstance(fields.get(name), str):
                setattr(found, name, fields[name])
        found.update_mode = "model" not in fields
    return found


def _target(address: str, port: int) -> tuple:
    host, sep, text = address.rpartition(":")
    if not sep:
        host, text = address, ""
    if text:
        if not text.isdigit() or not 0 < int(text) < 65536:
            raise ValueError("address %s: the port must be 1 to 65535" % address)
        port = int(text)
    try:
        return (socket.gethostbyname(host), port)
    except (OSError, UnicodeError) as e:
        raise ValueError("address %s: %s" % (address, getattr(e, "strerror", None) or e)) from None


def discover(timeout: float = 2.0, broadcast: bool = True, multicast: bool = True,
             addresses: Iterable[str] = (), port: int = DISCOVERY_PORT,
             group: str = DISCOVERY_GROUP) -> Discovered:
    """Finds instruments within `timeout` seconds: by broadcast, through the multicast `group` and
    at `addresses` ("host" or "host:port"). The request is sent again after a third of the time
    (a datagram may be lost). Returns the identities found."""
    targets = []
    if broadcast:
        targets.append(("broadcast", ("255.255.255.255", port)))
    if multicast:
        socket.inet_aton(group)
        targets.append(("multicast group " + group, (group, port)))
    targets += [(a, _target(a, port)) for a in addresses]
    found = Discovered()
    seen = set()
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)

        def send_all(report: bool) -> None:
            for label, where in targets:
                try:
                    s.sendto(REQUEST, where)
                except OSError as e:
                    if report:
                        found.failures.append("%s: %s" % (label, e.strerror or e))

        send_all(True)
        start = time.monotonic()
        resend, deadline, resent = start + timeout / 3, start + timeout, False
        while True:
            now = time.monotonic()
            if now >= deadline:
                break
            if not resent and now >= resend:
                send_all(False)
                resent = True
            ready, _, _ = select.select([s], [], [], (deadline if resent else resend) - now)
            if not ready:
                continue
            data, (host, from_port) = s.recvfrom(MAX_REPLY + 1)
            if len(data) > MAX_REPLY or not data.startswith(REPLY) or (host, from_port) in seen:
                continue
            seen.add((host, from_port))
            if len(found) < MAX_INSTRUMENTS:
                found.append(parse_identity(host, from_port, data[len(REPLY):].decode("utf-8", "replace")))
    return found


def find(name: str, timeout: float = 2.0) -> Optional[Identity]:
    """The first instrument whose hostname or serial is `name` (case-insensitive), or None."""
    for identity in discover(timeout):
        if name.lower() in (identity.hostname.lower(), identity.serial.lower()):
            return identity
    return None
