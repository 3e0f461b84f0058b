#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target (fuzz/corpus/TARGET/NAME).

The targets read their input as a stream of decisions (fuzz/fuzzinput.h):
bytes, big-endian 16- and 32-bit numbers, flags (one byte, bit 0), ranges
(one byte below 257 values, else two), chunks (a length byte, then the
bytes). Each seed below is a short script of well-formed steps in that
encoding, written in the order the target reads it, so that fuzzing starts
from the deep states (a connection carrying data, a bound service, ...).

Run from anywhere: python3 fuzz/make_seeds.py. Inputs that once crashed a
target are kept beside the seeds (crash-*) and are not touched here.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


class W:
    """Writes what fuzz::Input reads."""

    def __init__(self):
        self.b = bytearray()

    def u8(self, v):
        self.b += bytes([v & 0xFF])
        return self

    def u16(self, v):
        self.b += struct.pack('>H', v & 0xFFFF)
        return self

    def u32(self, v):
        self.b += struct.pack('>I', v & 0xFFFFFFFF)
        return self

    def flag(self, v):
        return self.u8(1 if v else 0)

    def range(self, lo, hi, v):
        return self.u8(v - lo) if hi - lo + 1 <= 0x100 else self.u16(v - lo)

    def raw(self, data):
        self.b += bytes(data)
        return self

    def chunk(self, data):
        return self.u8(len(data)).raw(data)


def save(target, name, data):
    d = os.path.join(HERE, 'corpus', target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), 'wb') as f:
        f.write(bytes(data))


# ---- IPX / SPX wire formats ---------------------------------------------

def ipx_addr(net, host, socket):
    return struct.pack('>I', net) + bytes([0, 0]) + struct.pack('>I', host) + struct.pack('>H', socket)


def ipx_checksum(pkt):
    s = 0
    for i in range(2, len(pkt) - 1, 2):
        w = pkt[i] << 8 | pkt[i + 1]
        if i == 4:
            w &= 0x00FF
        s += w
    if len(pkt) > 2 and len(pkt) & 1:
        s += pkt[-1] << 8
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    c = ~s & 0xFFFF
    return 0 if c == 0xFFFF else c


def ipx(ptype, dst, src, data, checksum=False):
    pkt = bytearray(struct.pack('>HHBB', 0xFFFF, 30 + len(data), 0, ptype) + dst + src + bytes(data))
    if checksum:
        pkt[0:2] = struct.pack('>H', ipx_checksum(pkt))
    return pkt


def spx(control, dstype, src, dst, seq, ack, alloc):
    return struct.pack('>BBHHHHH', control, dstype, src, dst, seq, ack, alloc)


def seeds_ipx_packet():
    a = ipx_addr(1, 0x0a000001, 0x4001)
    b = ipx_addr(1, 0x0a000002, 0x8063)
    save('ipx_packet', 'sap-query', ipx(4, ipx_addr(1, 0xFFFFFFFF, 0x0452), a, b'\x00\x01\xff\xff'))
    save('ipx_packet', 'spx-request', ipx(5, b, a, spx(0xC0, 0, 0x1234, 0xFFFF, 0, 0, 15)))
    save('ipx_packet', 'spx-data-checksum',
         ipx(5, b, a, spx(0x50, 0, 0x1234, 0x0001, 3, 2, 18) + b'hello', checksum=True))
    save('ipx_packet', 'spx-end', ipx(5, b, a, spx(0x40, 0xFE, 0x1234, 0x0001, 4, 2, 18)))


# ---- SPX connection ---------------------------------------------------------

def seeds_link_frames():
    # First byte: the link's largest packet (0: 576 bytes); then the frame.
    a = ipx_addr(1, 0x0a000001, 0x4001)
    b = ipx_addr(1, 0x0a000002, 0x8063)
    dmac, smac = bytes.fromhex('020000000002'), bytes.fromhex('020000000001')
    pkt = ipx(5, b, a, spx(0xC0, 0, 0x1234, 0xFFFF, 0, 0, 15))
    summed = ipx(4, b, a, b'data', checksum=True)

    def pad(f):
        return f + bytes(max(0, 60 - len(f)))
    save('link_frames', 'ethernet-ii', bytes([0]) + pad(dmac + smac + b'\x81\x37' + pkt))
    save('link_frames', '802.3-raw', bytes([0]) + pad(dmac + smac + struct.pack('>H', len(pkt)) + pkt))
    llc = b'\xe0\xe0\x03' + summed
    save('link_frames', '802.2', bytes([0]) + pad(dmac + smac + struct.pack('>H', len(llc)) + llc))
    snap = b'\xaa\xaa\x03\x00\x00\x00\x81\x37' + pkt
    save('link_frames', 'snap', bytes([0xff]) + pad(dmac + smac + struct.pack('>H', len(snap)) + snap))
    # The relay server's answer to a registration: node = 192.0.2.7, port 213.
    reg = ipx(0, struct.pack('>I', 0) + bytes([192, 0, 2, 7, 0, 213]) + b'\x00\x02',
              struct.pack('>I', 1) + bytes(6) + b'\x00\x02', b'')
    save('link_frames', 'relay-registration', bytes([0]) + reg)


def spx_config(w, max_data=534, win=16, sbuf=8000, ackd=0, rtoi=500, rtomin=100, rtomax=5000,
               retry=12, verify=3000, abort=30000, ctimeout=0, trace=0, checksum=False):
    (w.range(0, 600, max_data).range(0, 40, win).range(0, 9000, sbuf).range(0, 300, ackd)
     .range(0, 2000, rtoi).range(0, 500, rtomin).range(0, 6000, rtomax).range(0, 15, retry)
     .range(0, 5000, verify).range(0, 40000, abort).range(0, 3000, ctimeout).range(0, 3, trace)
     .flag(checksum))


def spx_packet(w, control, dstype, seq, ack, alloc, data=b'', how=0):
    """Single mode, op 0: a packet from the peer, well addressed (how 0)."""
    w.u8(0).u8(how).u8(control).u8(0).u8(dstype).u16(seq).u16(ack).u16(alloc).chunk(data)


def seeds_spx_connection():
    # Single mode, caller side: the peer accepts, sends a unit, we read it
    # and send one back, then time passes.
    w = W().u8(0)
    w.range(1, 0xFFFE, 0x0101).range(0, 0xFFFF, 0x0202)
    spx_config(w)
    w.u16(1000).flag(True)                # now; connect
    spx_packet(w, 0x80, 0, 0, 0, 15)      # the acknowledgement of the request
    spx_packet(w, 0x50, 0, 0, 0, 15, b'hello')
    w.u8(5).range(0, 1200, 100)           # read
    w.u8(4).range(0, 2000, 50).flag(True).flag(False)  # send a unit
    w.u8(2).flag(False).u8(200)           # time passes
    w.u8(3)                               # the next deadline
    spx_packet(w, 0x80, 0, 1, 1, 16)      # the unit acknowledged
    save('spx_connection', 'caller-data', w.b)

    # Single mode, listener side: accept, then the peer's data out of order,
    # read in small pieces, and the peer's end of connection.
    w = W().u8(0)
    w.range(1, 0xFFFE, 0x0005).range(0, 0xFFFF, 0x0777)
    spx_config(w, win=4, ackd=50)
    w.u16(10).flag(False).u16(3)          # now; offered; the request's allocation
    w.u8(9)
    spx_config(w, max_data=100, win=4)    # the accepted connection's options
    w.u8(8)                               # accept
    spx_packet(w, 0x50, 0, 1, 0, 3, b'second')
    spx_packet(w, 0x40, 0, 0, 0, 3, b'first')
    w.u8(5).range(0, 1200, 3)
    w.u8(5).range(0, 1200, 100)
    spx_packet(w, 0x40, 0xFE, 2, 0, 3)
    w.u8(5).range(0, 1200, 100)
    w.u8(3)
    save('spx_connection', 'listener-reorder', w.b)

    # Pair mode: handshake, a unit each way, loss and retransmission, close.
    w = W().u8(1)
    w.range(1, 0xFFFE, 0x100).range(1, 0xFFFE, 0x200)
    spx_config(w)
    spx_config(w)
    w.u8(1)                               # the request reaches side 1
    w.u8(17)                              # side 1 accepts
    w.u8(0)                               # its acknowledgement reaches side 0
    w.u8(8).range(0, 1500, 600).flag(True).u8(1)   # side 0 sends 600 bytes, one unit
    w.u8(1)                               # the first packet arrives
    w.u8(5).u8(0)                         # the second is lost
    w.u8(6).flag(True).u16(600)           # time passes: it is sent again
    w.u8(1).u8(1)
    w.u8(13).range(0, 1200, 1000)         # side 1 reads
    w.u8(9).range(0, 1500, 20).flag(True).u8(1)    # side 1 answers
    w.u8(0)
    w.u8(12).range(0, 1200, 100)          # side 0 reads
    w.u8(18).u8(1)                        # side 0 closes
    w.u8(1).u8(0).u8(1).u8(0)
    save('spx_connection', 'pair-exchange', w.b)

    # Pair mode with checksums: a damaged packet is dropped and sent again.
    w = W().u8(1)
    w.range(1, 0xFFFE, 0x300).range(1, 0xFFFE, 0x400)
    spx_config(w, checksum=True)
    spx_config(w, checksum=True, max_data=64)
    w.u8(1).u8(17).u8(0)
    w.u8(8).range(0, 1500, 200).flag(True).u8(1)
    w.u8(5).u8(3).u16(40).u8(0x10)        # damage the first packet towards side 1
    w.u8(1).u8(1).u8(1).u8(1)
    w.u8(6).flag(True).u16(1000)
    w.u8(1).u8(1).u8(1).u8(1)
    w.u8(13).range(0, 1200, 300)
    save('spx_connection', 'pair-damage', w.b)


# ---- the stack's client messages -------------------------------------------

# Indexes in the target's table of request types.
T = {name: i for i, name in enumerate(
    ['info', 'bind', 'unbind', 'optmgmt', 'connect', 'rcvconnect', 'listen', 'accept', 'snd', 'rcv',
     'snddis', 'rcvdis', 'sndudata', 'rcvudata', 'rcvuderr', 'look', 'cancel', 'return',
     'protaddr'])}


class Stack(W):
    """The stack target's operations; every request ends with its damage
    byte (0: none)."""

    def open(self, slot, spx):
        return self.u8(0).u8(slot).u8(1 if spx else 0)

    def req(self, slot, name, body=b'', block=False):
        self.u8(1).u8(slot).u8(T[name]).flag(block).u8(1)  # uid 0
        return self.raw(body).u8(0)

    def time(self, ms):
        return self.u8(8).u8(0).flag(False).u8(ms)

    def next_deadline(self):
        return self.u8(10).u8(0)

    def arrival_spx(self, slot, control, src_id, to_any, seq=0, ack=0, alloc=4, data=b''):
        """An SPX packet from host 10.0.0.2 on the link's network to the
        socket of `slot`; `control` indexes the target's list (0: connection
        request, 1: system, 2: send ack, 3: end of message, 4: none)."""
        self.u8(12).u8(0).u8(1).u8(1).u8(slot).flag(True).u8(1).u8(1).flag(True)
        self.u8(control).u8(1).u8(src_id - 1).flag(to_any)
        if not to_any:
            self.u8(1)  # the stack's first connection
        return self.u8(seq).u8(ack).u8(alloc).chunk(data).flag(False).u8(1)

    def arrival_datagram(self, slot, ptype, data):
        self.u8(12).u8(0).u8(2).u8(ptype).u8(1).u8(slot).flag(False).u8(1).u8(1).flag(False)
        return self.chunk(data).flag(True).u8(1)


def bind_body(has, qlen, socket_index, node_byte=1):
    # has; qlen (small); address: explicit socket from the target's list
    return bytes([1 if has else 0, 1, qlen, 4, 0, socket_index, node_byte])


def seeds_stack_requests():
    # Two SPX endpoints: a listener on 8063 and a caller; connect, listen,
    # accept, data both ways, a disconnect.
    w = Stack().u8(1)                     # no cap on t_rcv
    w.open(0, True).open(1, True)
    w.req(0, 'bind', bind_body(True, 2, 3))      # 8063, a queue of 2
    w.req(1, 'bind', bind_body(False, 0, 0))     # any socket
    w.req(1, 'connect', bytes([0, 0, 0]))        # no options; slot 0's address
    w.time(5)
    w.req(0, 'listen')
    w.req(0, 'accept', bytes([1, 0, 1, 0]))      # the indication listened for
    w.time(5)
    w.req(1, 'rcvconnect')
    w.req(1, 'protaddr')
    w.req(1, 'snd', bytes([0]) + struct.pack('>H', 300))
    w.time(5)
    w.req(0, 'rcv', bytes([1]) + struct.pack('>H', 1000), block=True)
    w.req(0, 'snd', bytes([0]) + struct.pack('>H', 20))
    w.time(5)
    w.req(1, 'rcv', bytes([1]) + struct.pack('>H', 100))
    w.req(1, 'snddis', bytes([0]))
    w.next_deadline()
    w.req(0, 'look')
    w.req(0, 'rcvdis')
    save('stack_requests', 'connect-accept-data', w.b)

    # Two datagram endpoints: a datagram from one to the other, and one to
    # another network that comes back as an error.
    w = Stack().u8(1)
    w.open(0, False).open(1, False)
    w.req(0, 'bind', bind_body(True, 0, 1, node_byte=0))  # 4001
    w.req(1, 'bind', bind_body(False, 0, 0))
    w.req(1, 'sndudata', bytes([1, 4, 0, 0, 0]) + struct.pack('>H', 40))
    w.time(1)
    w.req(0, 'rcvudata', bytes([1, 1]) + struct.pack('>H', 100), block=True)
    far = b'\x00\x00\x00\x09' + bytes(6) + b'\x40\x01'
    w.req(0, 'sndudata', bytes([0, 6, 0]) + far + struct.pack('>H', 10))
    w.req(0, 'rcvuderr')
    save('stack_requests', 'datagrams', w.b)

    # A link to network 2 (576-byte packets, checksums): a datagram from a
    # host there, and that host calling the listener on 8063.
    w = Stack().u8(0x41).flag(False).flag(True)
    w.open(0, False).open(1, True)
    w.req(0, 'bind', bind_body(True, 0, 1, node_byte=0))  # 4001
    w.req(1, 'bind', bind_body(True, 1, 3))               # 8063, a queue of 1
    w.arrival_datagram(0, 4, b'from far away')
    w.arrival_spx(1, 0, 1, True, alloc=4)
    w.time(1)
    w.req(0, 'rcvudata', bytes([1, 1]) + struct.pack('>H', 100))
    w.req(1, 'listen')
    w.req(1, 'accept', bytes([1, 0, 1, 0]))
    w.time(1)
    w.arrival_spx(1, 3, 1, False, seq=0, ack=0, alloc=4, data=b'typed')
    w.time(1)
    w.req(1, 'rcv', bytes([1]) + struct.pack('>H', 100))
    w.req(1, 'protaddr')
    save('stack_requests', 'link-arrivals', w.b)


# ---- the library's replies ---------------------------------------------------

def message(w, body, kind=0, pending=False, fd=0):
    """One message of the scripted daemon (answer() in the target): kind,
    flags, no t_errno, a shaped body, no damage to the length, and `fd`
    (0: no descriptor; for t_open 0 means an endpoint goes along)."""
    w.u8(kind).u8(0 if pending else 1).u8(1).u8(1).raw(body).u8(1).u8(fd)


INFO_SPX = bytes([5, 4, 1, 6, 0, 0, 1, 5])   # 12, 8, -1, 534, -2, -2, COTS, DATAXFER


def seeds_tli_replies():
    # t_look: a reply saying T_LISTEN; then t_getinfo, whose reply announces
    # a doorbell that follows.
    w = W()
    w.u8(0).flag(False).u8(0)             # t_look, blocking, one message
    message(w, struct.pack('>H', 1))
    w.flag(False)                         # close()
    w.u8(1).flag(False).u8(1)             # t_getinfo, two messages
    message(w, INFO_SPX, pending=True)
    message(w, b'', kind=4)               # the doorbell
    w.flag(True).flag(True)               # with a t_info; t_close()
    save('tli_replies', 'look-info', w.b)

    # t_listen with a call; t_rcv with data.
    w = W()
    w.u8(8).flag(False).u8(0)
    message(w, bytes([7, 1, 1]) + bytes(12))
    w.u8(12).u8(8).flag(True).flag(False)
    w.u8(11).flag(False).u8(0)
    message(w, bytes([0]) + bytes([21]) + b'data from the network')
    w.range(0, 300, 100).flag(True).flag(False)
    save('tli_replies', 'listen-rcv', w.b)

    # t_open: the reply brings the endpoint.
    script = W().u8(0)
    message(script, INFO_SPX)
    w = W().u8(18).chunk(script.b).flag(False).flag(True)
    save('tli_replies', 'open', w.b)

    # t_getprotaddr: a bound address and a peer's, into 16-byte buffers.
    w = W().u8(19).flag(False).u8(0)
    a = ipx_addr(1, 0x0a000001, 0x4001)
    b = ipx_addr(1, 0x0a000002, 0x8063)
    message(w, bytes([1, 1]) + a + bytes([1, 1]) + b)
    w.u8(16).u8(16).flag(True).flag(True).flag(True)
    save('tli_replies', 'protaddr', w.b)


# ---- SAP and Ombrad ------------------------------------------------------------

def sap_entry(stype, name, net, host, socket, hops):
    n = name.encode()[:47]
    return struct.pack('>H', stype) + n + bytes(48 - len(n)) + ipx_addr(net, host, socket) + struct.pack('>H', hops)


def sap_request(code, seq, stype, socket, name, host):
    n = name.encode()[:48]
    return struct.pack('>HHHH', code, seq, stype, socket) + n + bytes(48 - len(n)) + bytes([0, 0]) + struct.pack('>I', host)


def seeds_sap_packet():
    save('sap_packet', 'general-query', b'\x00\x01\xff\xff')
    save('sap_packet', 'nearest-query', b'\x00\x03\x02\x47')
    save('sap_packet', 'response', b'\x00\x02' + sap_entry(0x247, 'HOST', 1, 0x0a000001, 0x8063, 1) +
         sap_entry(0x4, 'FILES', 2, 0x0a000009, 0x0451, 3))
    save('sap_packet', 'request', sap_request(1, 7, 0x247, 0x8063, 'HOST', 0x0a000001))
    save('sap_packet', 'reply', b'\x80\x01\x00\x07\x00\x00\x00\x00')


def rip_body(op, entries):
    return struct.pack('>H', op) + b''.join(struct.pack('>IHH', n, h, t) for n, h, t in entries)


def rip_entries(w, entries):
    w.range(0, 60, len(entries))
    for net, hops, ticks in entries:
        w.u8(net - 0x100).u8(hops).u8(0).range(0, 40, ticks)   # our set; hops; ticks


def seeds_rip_packet():
    # Setup: router flag (bit 0); links 0-2: up flag, then ticks - 1.
    # Steps: what (0 raw, 1-2 response, 3 request, 4 link, 5 want, 6 time),
    # link, then the step's own decisions.
    w = W().u8(1).flag(1).u8(0).flag(1).u8(1).flag(0)
    w.u8(1).u8(1)
    rip_entries(w, [(0x110, 1, 2), (0x111, 3, 4), (0x101, 0, 1)])
    w.u8(0)                                                   # from router 0x20
    w.u8(0).u8(0).chunk(rip_body(2, [(0x112, 2, 3), (0x110, 5, 9)])).u8(1)
    w.u8(3).u8(0).flag(1).flag(0).u8(2).u16(0x0453)           # all networks, from a neighbour
    w.u8(3).u8(0).flag(1).flag(1).u8(0).u16(0x0452)           # all networks, from here
    w.u8(6).u8(0).u8(0).u16(2000)                             # a triggered update's gap
    w.u8(4).u8(1).u8(0)                                       # link 1 down
    for _ in range(4):
        w.u8(6).u8(0).u8(200).u16(60000)                      # a minute: periodic updates, ageing
    w.u8(4).u8(1).u8(2)                                       # link 1 up again
    save('rip_packet', 'router-learn-age', w.b)

    w = W().u8(0).flag(1).u8(0).flag(0).flag(0)               # a host on one link
    w.u8(5).u8(0).u8(0x15)                                    # wants 0x115
    w.u8(6).u8(0).u8(0).u16(600)
    w.u8(1).u8(0)
    rip_entries(w, [(0x115, 2, 3)])
    w.u8(1)
    w.u8(5).u8(0).u8(0x16)                                    # wants 0x116: nobody answers
    w.u8(6).u8(0).u8(0).u16(2500)
    save('rip_packet', 'host-lookup', w.b)


def seeds_ombrad_engine():
    w = W().flag(False)
    # A bind from this host (type 0x247, socket 0x4063, name HOST, node local).
    w.u8(0).u8(1).u16(0x1234)             # request; sender: this host, socket
    w.u8(1).u8(0).u16(1).u8(0).u8(1).u8(0x63).u8(0).u8(0)
    # A general query from this host, then a response from another host.
    w.u8(2).u8(1).u16(0x4001).u8(1).flag(True).u8(0)
    w.u8(3).u8(0).u16(0x0452).u8(2).range(1, 8, 2)
    for name in (2, 3):
        w.u8(1).u8(name).u8(3).u32(2).u8(1).u16(0x8063).range(0, 17, 1)
    w.flag(True)
    w.u8(4).flag(False).u8(61)            # a minute passes: the broadcast
    w.u8(0).u8(1).u16(0x1234)             # the unbind
    w.u8(1).u8(1).u16(2).u8(0).u8(1).u8(0x63).u8(0).u8(0)
    w.u8(4).flag(True).u16(200)           # the learned ones age out
    save('ombrad_engine', 'bind-query-learn-unbind', w.b)

    # A state file of one service (HOST, 0x247, socket 0x4063, held by
    # root), restored; the stack finds the socket bound by root, a minute
    # passes, then the socket is found closed.
    w = W().flag(False)
    w.u8(6).u8(1).range(0, 4, 1).u8(0).u8(0).u8(0).u8(0x63).flag(True).u8(1).u8(0).u8(0x80).u8(1)
    w.u8(7).u8(1).u8(1)
    w.u8(4).flag(False).u8(61)
    w.u8(7).u8(1).u8(0)
    save('ombrad_engine', 'restore-check', w.b)


def seeds_ombrad_reply():
    # A bind answered at once; an unbind answered after a datagram from
    # another host. The bytes of the call itself: the send (0: it works),
    # the clock (1: no time passes), the wait (0: a datagram is there).
    w = W().u8(1)                         # no trace
    w.flag(True).u8(1)                    # bind, one datagram
    w.u8(0).u8(4).u8(1).u8(0).u8(1)       # from Ombrad, the reply, status 0, true length
    w.chunk(b'TERM1')
    w.u8(0).u8(1).u8(1).u8(0)             # send; start; remaining; wait
    w.flag(False).u8(2)                   # unbind, two datagrams
    w.u8(2).u8(0).chunk(b'noise').u8(1).u8(1)      # from another host
    w.u8(0).u8(4).u8(1).u8(4).u8(1)       # the reply, status 4
    w.chunk(b'TERM1')
    w.u8(0).u8(1).u8(1).u8(0).u8(1).u8(1).u8(0)
    save('ombrad_reply', 'bind-unbind', w.b)


# ---- the session stream ------------------------------------------------------------

def seeds_zeltty_stream():
    # First byte: even for the client's stream, odd for the server's.
    hello = bytes([2]) + struct.pack('>HHHH', 24, 80, 0, 0) + b'xterm'
    window = struct.pack('>HHHH', 50, 132, 0, 0)
    stream = (b'\xffH' + bytes([len(hello)]) + hello + b'ls -l\r' + b'\xff\xff' +
              b'\xffW' + bytes([len(window)]) + window + b'\xffQ\x02ab' + b'exit\r' +
              b'\xffE\x00')
    save('zeltty_stream', 'hello-data-window', bytes([6]) + stream)
    output = (b'\xffH\x01\x02' + b'$ ls\r\n' + b'\xff\xff' + b'\xffZ\x01q' +
              b'\xffX\x02\x00\x03')
    save('zeltty_stream', 'server-framed', bytes([7]) + output)
    save('zeltty_stream', 'server-raw', bytes([9]) + b'\xff\xfbold server\r\n')


def seeds_zelterm_keys():
    w = W().chunk(b'xterm-256color').u16(24).u16(80).u16(0).u16(0)
    w.u8(1).chunk(b'ls\r')
    w.u8(0).range(1, 500, 50).range(1, 500, 132).u16(0).u16(0)
    w.u8(1).chunk(b'echo \xff~~\r~')
    w.u8(1).chunk(b'.')
    w.chunk(b'1:1:8063').chunk(b'HOST').u16(0x247).u16(1)
    save('zelterm_keys', 'session', w.b)
    # Help and suspend, then the input ends (a step of 0xFF).
    w = W().chunk(b'vt100').u16(25).u16(80).u16(0).u16(0)
    w.u8(1).chunk(b'~?date\r~\x1a')
    w.u8(0xFF)
    w.chunk(b'0:0:0').chunk(b'NAME\x1b[2J').u16(0x247).u16(3)
    save('zelterm_keys', 'escapes-end', w.b)


def seeds_address_text():
    for i, (base, text) in enumerate([(0, 'I(192.168.1.2)'), (0, 'X(0000abcd:000000000001:8063)'),
                                      (0, 'A(258.5.128)'), (2, 'O(0a0bff)'), (1, '10.0.0.7'),
                                      (0, 'abcd:7:8063'), (1, '0x7fffffff'), (0, '-12')]):
        save('address_text', 'text-%d' % i, bytes([base]) + text.encode())


def seeds_trace_getopt():
    save('trace_getopt', 'mixed', b'\x00' + b'\x00'.join(
        [b'-k', b'-z', b'proc=1', b'-n', b'svc', b'-zlock=3', b'-d', b'7', b'cmd', b'-x']))
    save('trace_getopt', 'tracefile', b'\x00' + b'\x00'.join(
        [b'-z', b'tracefile=t.%p', b'-zout=2', b'--', b'-k']))


if __name__ == '__main__':
    seeds_ipx_packet()
    seeds_spx_connection()
    seeds_link_frames()
    seeds_stack_requests()
    seeds_tli_replies()
    seeds_rip_packet()
    seeds_sap_packet()
    seeds_ombrad_engine()
    seeds_ombrad_reply()
    seeds_zeltty_stream()
    seeds_zelterm_keys()
    seeds_address_text()
    seeds_trace_getopt()
