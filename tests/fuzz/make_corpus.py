#!/usr/bin/env python3
"""Writes the fuzz harnesses' seed corpus: real requests, the two worked
message examples, framed replies in the layouts the harnesses read, and
journal day files.
Run from anywhere; rewrites tests/fuzz/corpus/."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
FS = b"\x1c"


def write(harness, name, data):
    folder = os.path.join(HERE, "corpus", harness)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def request(flags, reply_length, when_ms, text):
    return bytes([flags]) + struct.pack(">HQ", reply_length, when_ms) + text


# flags: bit 0 AllowVoid; bits 1-2 client number 0, 1, 7, INT_MIN; bits 3-4 result.
DONE, TOO_LONG = 1 << 3, 2 << 3
CLIENT1 = 1 << 1
NOW = 1254816309000  # Tue, 06 Oct 2009 08:05:09 GMT
reply = b"\x00\x0bAPPROVED 42"
write("request", "sale", request(CLIENT1 | DONE, len(reply), NOW,
      b"GET /Sale?4111111111111111+250+ABC HTTP/1.1\r\nHost: shop\r\n\r\n" + reply))
write("request", "funds", request(CLIENT1, 0, NOW,
      b"GET /fundsavailable?123++500 HTTP/1.0\n\n"))
write("request", "void", request(CLIENT1 | 1 | DONE, 2, NOW,
      b"GET /Void?1+-7+X HTTP/1.1\r\n\r\n\x00\x00"))
write("request", "post-then-get", request(CLIENT1 | TOO_LONG, 0, NOW,
      b"POST /x HTTP/1.1\r\nGET /Sale?1+2+3 HTTP/1.1\r\n\r\n"))
write("request", "refused", request(0, 0, 0, b"GET /Sale?1+2+3 HTTP/1.1\r\n\r\n"))
write("request", "no-query", request(CLIENT1, 0, NOW, b"GET /FundsAvailable HTTP/1.1\r\n\r\n"))


def message(code_selector, terminal, sequence, client, amount, entry, first, third=None):
    data = bytes([code_selector]) + struct.pack(">iiiii", terminal, sequence, client, amount, entry)
    data += bytes([1 if third is None else 0]) + first + b"\x00"
    return data + (third or b"")


write("message", "sale-example", message(1, 3, 17, 5, 250, 2, b"12345", b"ABC"))
write("message", "funds-example", message(0, 3, 0, 5, 500, 2, b"12345"))
write("message", "void-wide", message(2, 123, 999999, -1, -2147483648, 7, b"9" * 100, b"Z" * 100))
write("message", "separator-item", message(1, 7, 5, 1, 1, 2, b"1\x1c2", b"x"))


def chunk(data):
    if len(data) < 63:
        return bytes([len(data)]) + data
    return bytes([63]) + struct.pack(">H", len(data)) + data


EMPTY, TIMEOUT = b"\x40", b"\xc0"
write("reply", "whole", b"\x00" + chunk(b"\x00\x0bAPPROVED 42"))
write("reply", "pieces", b"\x05" + chunk(b"\x00") + EMPTY + chunk(b"\x80" + b"A" * 60)
      + chunk(b"B" * 68))
write("reply", "empty-length", b"\x00" + chunk(b"\x00\x00trailing"))
write("reply", "cut-short", b"\x00" + chunk(b"\x01\x00partial") + EMPTY * 5)
write("reply", "socket-error", b"\x00" + chunk(b"\x00\x10abc") + b"\x80\x68")
write("reply", "timeout", b"\x02" + chunk(b"\x00\x05ab") + TIMEOUT)
write("reply", "overfull", b"\x00" + chunk(b"\xff\xff" + b"C" * 1100) + EMPTY * 5)


HEADER = (b"time,client,client_number,kind,sequence,amount,card,reference,outcome,"
          b"http_status,server_ms,reply\r\n")
SALE = (b"2026-12-08T14:03:07.123+01:00,192.168.1.20,7,sale,42,250,************5556,INV7731,"
        b"replied,200,84.321,APPROVED\r\n")
write("journal", "day", HEADER + SALE
      + b"2026-12-08T14:03:08.000+01:00,192.168.1.20,7,funds,,300,****,,not-sent,504,,"
        b"Unable to connect to server: Error 111\r\n"
      + b"2026-12-08T14:03:09.000-05:30,192.168.1.20,7,void,43,250,\"*,12\",\"a,b\",in-doubt,504,"
        b"30000.001,\"<b>\"\"x\"\"</b>\r\nline 2\"\r\n")
write("journal", "cut-in-quotes", HEADER + SALE[:-10] + b"\"APPR\r\n" + SALE + SALE[:40])
write("journal", "damaged", b"time,client\n" + SALE.replace(b",250,", b",2x,") + b"x,\"y\"z\r\n"
      + SALE.replace(b"\r\n", b",extra\r\n") + b"\r\n" + SALE)
