#!/usr/bin/env python3
"""Writes the seed inputs of zor_client_recv_fuzz into fuzz/corpus/zor_client_recv/.

Steps (op % 5): 0 message (peer, type, family, 16-bit length, body bytes),
1 raw (peer, length, bytes), 2 walk, 3 loss (peer), 4 settings (personality
= byte % 7, bit 3 pairwise keys, bit 4 debug). Peer bytes index the daemon's
peer modules: 0 advd, 1 xfwd, 2 ctlagent, 3 setkeeper, 4 policyd, 7 klxd,
8 ctlagent_0 and on.
"""
import os
import struct

ADVD, XFWD, CTL, SETK, POL, KLXD = 0, 1, 2, 3, 4, 7
REGISTER, UNREGISTER, BFD, TLOC_ADD, TLOC_DEL, DD_STATE = 1, 2, 3, 5, 6, 20
TLOC4, TLOC6, DD4, LINK = 0, 1, 4, 8

# Bits of the TLOC attribute flags.
GROUP, BORDER, CARRIER, SECURITY, ENCAP, INSTALLED, PREF = 21, 24, 14, 23, 7, 32, 1


def message(peer, typ, family, body):
    return bytes([0, peer, typ, family]) + struct.pack("<H", len(body)) + body


def raw(peer, data):
    return bytes([1, peer, len(data)]) + data


def walk():
    return bytes([2])


def loss(peer):
    return bytes([3, peer])


def settings(personality=0, pwk=False, debug=False):
    return bytes([4, personality % 7 | (8 if pwk else 0) | (16 if debug else 0)])


def register(peer, family, announce=1, originate=0):
    return message(peer, REGISTER, family, bytes([announce, originate]))


def v4(a, b, c, d):
    return (a << 24) | (b << 16) | (c << 8) | d


def key(addr, colour, encap, v6=None):
    """A TLOC key: address family, padding, 16 value bytes, colour, encap, padding."""
    if v6 is not None:
        return struct.pack("<II", 10, 0) + v6 + bytes([colour, encap]) + bytes(6)
    return struct.pack("<III", 2, 0, addr) + bytes(12) + bytes([colour, encap]) + bytes(6)


def tloc(k, origin, groups=None, border=False, extra_flags=0, pref=0, security=False, installed=0,
         lr_hold=0):
    body = bytearray(1104)
    body[8:40] = k
    body[40] = origin
    flags = (1 << CARRIER) | extra_flags
    attr = 288
    body[attr + 321] = 1  # carrier
    if pref:
        flags |= 1 << PREF
        struct.pack_into("<I", body, attr + 8, pref)
    if groups is not None:
        flags |= 1 << GROUP
        struct.pack_into("<H", body, attr + 690, len(groups))
        for i, g in enumerate(groups):
            struct.pack_into("<I", body, attr + 692 + 4 * i, g)
    if border:
        flags |= 1 << BORDER
        body[attr + 688] = 1
    if security:
        flags |= 1 << SECURITY
        struct.pack_into("<I", body, attr + 332, 77)
        body[attr + 528] = 2  # encryption keys
        body[attr + 536 + 8:attr + 536 + 72] = b"\x11" * 64
        body[attr + 608 + 8:attr + 608 + 72] = b"\x22" * 64
    if installed:
        flags |= 1 << INSTALLED
        body[attr + 736] = 1
    struct.pack_into("<Q", body, attr, flags)
    struct.pack_into("<I", body, 1100, lr_hold)
    return bytes(body)


def tloc_del(k):
    return bytes(8) + k


def bfd(k, state):
    return k + struct.pack("<I", state)


def dd_state(addr, state):
    return struct.pack("<III", 2, 0, addr) + bytes(12) + struct.pack("<I", state)


A = key(v4(10, 0, 0, 1), 4, 2)
B = key(v4(10, 0, 0, 2), 4, 2)
B2 = key(v4(10, 0, 0, 2), 5, 2)
L1 = key(v4(10, 9, 0, 1), 1, 2)
L2 = key(v4(10, 9, 0, 1), 4, 2)
V6 = key(0, 4, 2, v6=bytes.fromhex("20010db8000000000000000000000001"))

SEEDS = {
    "register_add_walk_delete": register(POL, TLOC4) + register(POL, DD4)
    + message(CTL, TLOC_ADD, TLOC4, tloc(A, 2)) + message(CTL, TLOC_ADD, TLOC4, tloc(B, 2)) + walk()
    + message(CTL, TLOC_ADD, TLOC4, tloc(B, 2, lr_hold=5)) + message(CTL, BFD, TLOC4, bfd(A, 1)) + walk()
    + message(CTL, TLOC_DEL, TLOC4, tloc_del(A)) + walk() + message(POL, UNREGISTER, TLOC4, b"")
    + message(CTL, TLOC_DEL, TLOC4, tloc_del(B)) + walk(),
    "borders_and_groups": message(CTL, TLOC_ADD, TLOC4, tloc(L1, 1, groups=[1]))
    + message(CTL, TLOC_ADD, TLOC4, tloc(L2, 1, groups=[1, 2], border=True))
    + message(CTL, TLOC_ADD, TLOC4, tloc(A, 2, groups=[0, 1, 5]))
    + message(CTL, TLOC_ADD, TLOC4, tloc(B, 2, groups=[1, 2, 3, 4, 5, 6, 7, 8, 9]))
    + message(SETK, TLOC_ADD, TLOC4, tloc(key(v4(10, 9, 0, 1), 5, 2), 1, groups=list(range(1, 10))))
    + message(CTL, TLOC_ADD, TLOC4, tloc(L1, 1, groups=[4])) + message(CTL, BFD, TLOC4, bfd(B, 0))
    + loss(CTL) + walk(),
    "devices_and_states": register(POL, TLOC4) + register(POL, DD4)
    + message(CTL, TLOC_ADD, TLOC4, tloc(B, 2)) + message(SETK, TLOC_ADD, TLOC4, tloc(B2, 2))
    + message(CTL, DD_STATE, TLOC4, dd_state(v4(10, 0, 0, 2), 2)) + walk()
    + message(CTL, DD_STATE, DD4, dd_state(v4(10, 0, 0, 2), 1)) + message(CTL, TLOC_DEL, TLOC4, tloc_del(B))
    + message(SETK, TLOC_DEL, TLOC4, tloc_del(B2)) + walk() + loss(CTL) + walk() + loss(POL),
    "xfwd_and_pairwise_keys": settings(pwk=True, debug=True) + register(ADVD, TLOC4) + register(XFWD, TLOC4)
    + register(POL, TLOC4) + message(XFWD, TLOC_ADD, TLOC4, tloc(A, 1, security=True))
    + message(CTL, TLOC_ADD, TLOC4, tloc(A, 1, security=True)) + walk()
    + message(XFWD, TLOC_ADD, TLOC4, tloc(A, 1, security=True, installed=1)) + walk()
    + register(ADVD, LINK, 1, 1) + message(CTL, BFD, TLOC4, bfd(A, 0)) + loss(XFWD) + walk(),
    "solon_and_ipv6": settings(personality=3) + register(KLXD, TLOC6) + register(KLXD, LINK, 1, 1)
    + message(CTL, TLOC_ADD, TLOC6, tloc(V6, 2, groups=[0, 3])) + message(CTL, TLOC_ADD, TLOC6, tloc(A, 1))
    + message(CTL, BFD, TLOC6, bfd(V6, 2)) + walk() + message(CTL, TLOC_DEL, TLOC6, tloc_del(V6)) + walk(),
    "bad_input": raw(CTL, b"\x01\x02\x03") + raw(CTL, b"")
    + message(CTL, TLOC_ADD, 10, tloc(A, 2)) + message(CTL, TLOC_ADD, 2, tloc(A, 2))
    + message(CTL, 11, DD4, struct.pack("<III", 2, 0, 1) + bytes(20)) + message(CTL, 12, DD4, bytes(28))
    + message(CTL, BFD, LINK, bfd(A, 1)) + message(CTL, TLOC_ADD, TLOC4, tloc(bytes(32), 1))
    + message(CTL, TLOC_ADD, TLOC6, tloc(A, 1)) + message(CTL, DD_STATE, 9, dd_state(1, 2))
    + message(CTL, REGISTER, 11, b"\x01\x01") + message(CTL, 19, 9, bytes(700)) + walk(),
}


def main():
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "zor_client_recv")
    os.makedirs(out, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
