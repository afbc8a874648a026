#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# Copyright The Kvitor authors
"""Writes demo-storage.json beside this script: the built-in demo storage of the
emulated cash register, 60 documents of a small shop over five shifts.

    python3 data/make-demo-storage.py

The output is the same on every run: the "random" choices come from a fixed
splitmix64 sequence, not from the random module.
"""

import calendar
import datetime
import hashlib
import json
import os
import struct

FN_NUMBER = "9999078900012345"
REG_NUMBER = "0000000001012345"
INN = "7701234567"
KKT_SERIAL = "00106709012345"
OFD_INN = "7728699517"
OFD_NAME = 'ООО "Оператор фискальных данных"'
USER = 'ООО "Василёк"'
ADDRESS = "г. Москва, ул. Лесная, д. 5, стр. 1"
PLACE = 'Магазин "Василёк"'
TAX_SITE = "www.nalog.gov.ru"
KKT_VERSION = "3.5.30"
CASHIERS = ["Иванова А. С.", "Петров Д. В."]
UNCONFIRMED = 3  # the last documents, not yet confirmed by the operator

# name, price in kopecks (per kg when sold by weight), VAT rate (1199),
# subject (1212), sold by weight, carries a marking code
PRODUCTS = [
    ("Хлеб Бородинский 400 г", 6490, 2, 1, False, False),
    ("Молоко 3,2% 1 л", 8990, 2, 1, False, True),
    ("Кефир 1% 900 г", 7990, 2, 1, False, True),
    ("Сыр Российский весовой", 74900, 2, 1, True, False),
    ("Яблоки Гала", 15990, 2, 1, True, False),
    ("Сахар-песок 1 кг", 8990, 2, 1, False, False),
    ("Кофе молотый 250 г", 45990, 1, 1, False, False),
    ("Чай черный 100 пак.", 25990, 1, 1, False, False),
    ("Шоколад молочный 90 г", 8990, 1, 1, False, False),
    ("Вода питьевая 1,5 л", 5490, 1, 1, False, True),
    ("Пакет-майка", 990, 1, 1, False, False),
    ("Батарейки AA, 4 шт.", 24990, 1, 1, False, False),
    ("Доставка", 30000, 1, 4, False, False),
]


class SplitMix:
    def __init__(self, seed):
        self.state = seed & 0xFFFFFFFFFFFFFFFF

    def next(self):
        self.state = (self.state + 0x9E3779B97F4A7C15) & 0xFFFFFFFFFFFFFFFF
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & 0xFFFFFFFFFFFFFFFF
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & 0xFFFFFFFFFFFFFFFF
        return z ^ (z >> 31)

    def below(self, n):
        return self.next() % n


rnd = SplitMix(2026)


def item(tag, value):
    assert len(value) <= 0xFFFF
    return struct.pack("<HH", tag, len(value)) + value


def byte(tag, v):
    return item(tag, bytes([v]))


def u32(tag, v):
    return item(tag, struct.pack("<I", v))


def vln(tag, v):
    n = max(1, (v.bit_length() + 7) // 8)
    return item(tag, v.to_bytes(n, "little"))


def fvln(tag, point, v):
    n = max(1, (v.bit_length() + 7) // 8)
    return item(tag, bytes([point]) + v.to_bytes(n, "little"))


def text(tag, s):
    return item(tag, s.encode("cp866"))


def fixed(tag, s, width):
    return item(tag, s.encode("cp866")[:width].ljust(width, b" "))


def unix(moment):
    # Local wall-clock time, counted from 1970 without a time-zone shift.
    return calendar.timegm(moment.timetuple())


def time_tag(tag, moment):
    return u32(tag, unix(moment))


def fiscal_sign(number):
    return hashlib.sha256(b"demo-fp-%d" % number).digest()[:6]


def vat_amount(total, rate):
    if rate == 1:
        return (total * 20 + 60) // 120
    if rate == 2:
        return (total * 10 + 55) // 110
    return 0


class Storage:
    def __init__(self):
        self.documents = []
        self.ffd = 2
        self.shift = 0
        self.receipt_in_shift = 0
        self.counters = None
        self.totals = {}

    @property
    def number(self):
        return len(self.documents) + 1

    def head(self, moment):
        return (text(1048, USER) + fixed(1018, INN, 12) + time_tag(1012, moment) +
                u32(1040, self.number) + fixed(1041, FN_NUMBER, 16) + fixed(1037, REG_NUMBER, 20))

    def place(self):
        return (text(1009, ADDRESS) + text(1187, PLACE) +
                text(1021, CASHIERS[self.shift % len(CASHIERS)]))

    def add(self, doc_type, moment, body):
        body += item(1077, fiscal_sign(self.number))
        self.documents.append({"number": self.number, "type": doc_type, "moment": moment,
                               "body": body})

    def registration(self, moment, change):
        body = self.head(moment) + self.place()
        body += text(1060, TAX_SITE) + fixed(1017, OFD_INN, 12) + text(1046, OFD_NAME)
        body += text(1013, KKT_SERIAL)
        for tag in (1056, 1001, 1002, 1108, 1109, 1110):
            body += byte(tag, 0)
        body += byte(1062, 1) + byte(1209, self.ffd) + byte(1189, self.ffd) + byte(1190, self.ffd)
        body += text(1188, KKT_VERSION)
        if change:
            # The change of the format version: reason bit 4 of 1205.
            body += u32(1205, 1 << 3)
        self.add(11 if change else 1, moment, body)

    def open_shift(self, moment):
        self.shift += 1
        self.receipt_in_shift = 0
        self.counters = {"kinds": {}, "receipts": 0, "corrections": 0, "correction_total": 0}
        body = self.head(moment) + u32(1038, self.shift) + self.place()
        body += byte(1209, self.ffd) + text(1188, KKT_VERSION)
        self.add(2, moment, body)

    def count(self, kind, total, cash, card, by_vat):
        k = self.counters["kinds"].setdefault(kind, {"count": 0, "total": 0, "cash": 0, "card": 0,
                                                      "vat": {}})
        k["count"] += 1
        k["total"] += total
        k["cash"] += cash
        k["card"] += card
        for rate, s in by_vat.items():
            k["vat"][rate] = k["vat"].get(rate, 0) + s
        self.counters["receipts"] += 1

    def receipt(self, moment, doc_type=3, kind=1, marked=False, top_code=False):
        self.receipt_in_shift += 1
        body = self.head(moment) + u32(1042, self.receipt_in_shift) + u32(1038, self.shift)
        body += byte(1054, kind) + byte(1055, 1)
        total = 0
        by_vat = {}
        count = 2 + rnd.below(4)
        for i in range(count):
            name, base, vat, subject, weight, markable = PRODUCTS[rnd.below(len(PRODUCTS))]
            price = base * (95 + rnd.below(11)) // 100 // 10 * 10
            if weight:
                point, qty = 3, 150 + rnd.below(1800)
                s = (price * qty + 500) // 1000
            else:
                point, qty = 0, 1 + (rnd.below(4) == 0) * (1 + rnd.below(3))
                s = price * qty
            inner = byte(1212, subject) + byte(1214, 4) + text(1030, name) + vln(1079, price)
            inner += fvln(1023, point, qty) + byte(1199, vat) + vln(1043, s)
            if vat in (1, 2):
                inner += vln(1200, vat_amount(s, vat))
            if marked and i == 0:
                # A DataMatrix code of a marked pack: kind, GTIN, serial.
                gtin = (4600000000000 + 1000003 * self.number).to_bytes(6, "big")
                inner += item(1162, b"DM" + gtin + b"ABC%04d" % self.number)
            body += item(1059, inner)
            total += s
            by_vat[vat] = by_vat.get(vat, 0) + s
        if top_code:
            body += item(1162, b"\x00\x05" + (4607000000000 + self.number).to_bytes(6, "big"))
        cash = total if rnd.below(2) == 0 else 0
        card = total - cash
        body += vln(1020, total) + vln(1031, cash) + vln(1081, card)
        body += vln(1215, 0) + vln(1216, 0) + vln(1217, 0)
        if 1 in by_vat:
            body += vln(1102, vat_amount(by_vat[1], 1))
        if 2 in by_vat:
            body += vln(1103, vat_amount(by_vat[2], 2))
        body += self.place() + byte(1209, self.ffd)
        self.count(kind, total, cash, card, by_vat)
        self.add(doc_type, moment, body)

    def correction(self, moment, doc_type, correction_type, reason, order, total):
        self.receipt_in_shift += 1
        body = self.head(moment) + u32(1042, self.receipt_in_shift) + u32(1038, self.shift)
        body += byte(1054, 1) + byte(1055, 1) + byte(1173, correction_type)
        day = datetime.datetime(moment.year, moment.month, moment.day) - datetime.timedelta(days=1)
        body += item(1174, text(1177, reason) + time_tag(1178, day) + text(1179, order))
        body += vln(1020, total) + vln(1031, total) + vln(1081, 0)
        body += vln(1102, vat_amount(total, 1)) + self.place() + byte(1209, self.ffd)
        self.counters["corrections"] += 1
        self.counters["correction_total"] += total
        self.add(doc_type, moment, body)

    def state_report(self, moment):
        body = self.head(moment) + self.place() + u32(1097, 0)
        self.add(21, moment, body)

    def counters_tlv(self, tag, counters):
        inner = u32(1134, counters["receipts"] + counters["corrections"])
        for kind in sorted(counters["kinds"]):
            k = counters["kinds"][kind]
            c = u32(1135, k["count"]) + vln(1201, k["total"]) + vln(1136, k["cash"])
            c += vln(1138, k["card"]) + vln(1139, vat_amount(k["vat"].get(1, 0), 1))
            c += vln(1140, vat_amount(k["vat"].get(2, 0), 2))
            inner += item(1128 + kind, c)
        if counters["corrections"]:
            inner += item(1133, u32(1135, counters["corrections"]) +
                          vln(1201, counters["correction_total"]))
        return item(tag, inner)

    def close_shift(self, moment, documents_in_shift):
        c = self.counters
        t = self.totals
        t.setdefault("kinds", {})
        for kind, k in c["kinds"].items():
            tk = t["kinds"].setdefault(kind, {"count": 0, "total": 0, "cash": 0, "card": 0,
                                              "vat": {}})
            for key in ("count", "total", "cash", "card"):
                tk[key] += k[key]
            for rate, s in k["vat"].items():
                tk["vat"][rate] = tk["vat"].get(rate, 0) + s
        for key in ("receipts", "corrections", "correction_total"):
            t[key] = t.get(key, 0) + c[key]
        body = self.head(moment) + u32(1038, self.shift) + self.place()
        body += u32(1111, documents_in_shift) + u32(1118, c["receipts"]) + u32(1097, 0)
        for tag in (1050, 1051, 1052, 1053):
            body += byte(tag, 0)
        body += self.counters_tlv(1194, c) + self.counters_tlv(1157, t)
        self.add(5, moment, body)


def at(day, hour, minute, second=0):
    return datetime.datetime(2026, 11, 1) + datetime.timedelta(days=day - 1, hours=hour,
                                                               minutes=minute, seconds=second)


def shift(s, day, receipts, extra=None):
    """Opens a shift on the day and adds receipts, or the extra document at its
    place; returns the opening report's number. The caller closes the shift."""
    extra = extra or {}
    first = s.number
    s.open_shift(at(day, 9, 0, rnd.below(60)))
    minute = 5
    for i in range(receipts):
        minute += 7 + rnd.below(20)
        moment = at(day, 9, minute, rnd.below(60))
        action = extra.get(i)
        if action:
            action(moment)
        else:
            s.receipt(moment)
    return first


def main():
    s = Storage()
    s.registration(at(23, 10, 12, 41), change=False)

    first = shift(s, 24, 9, {3: lambda m: s.receipt(m, kind=2),
                             8: s.state_report})
    s.close_shift(at(24, 20, 3, 12), s.number - first + 1)

    first = shift(s, 25, 11, {2: lambda m: s.receipt(m, marked=True),
                              5: lambda m: s.receipt(m, doc_type=4),
                              10: lambda m: s.correction(m, 31, 0, "Неприменение ККТ при расчете",
                                                         "б/н", 125000)})
    s.close_shift(at(25, 20, 10, 5), s.number - first + 1)

    s.ffd = 3
    s.registration(at(26, 8, 40, 17), change=True)

    first = shift(s, 26, 11, {1: lambda m: s.receipt(m, marked=True),
                              4: lambda m: s.receipt(m, marked=True, top_code=True),
                              7: lambda m: s.receipt(m, doc_type=4, marked=True),
                              10: lambda m: s.correction(m, 41, 1, "Предписание налогового органа",
                                                         "12-07/0418", 54000)})
    s.close_shift(at(26, 20, 1, 44), s.number - first + 1)

    first = shift(s, 27, 13, {6: lambda m: s.receipt(m, kind=2, marked=True),
                              12: s.state_report})
    s.close_shift(at(27, 19, 58, 30), s.number - first + 1)

    shift(s, 31, 7, {3: lambda m: s.receipt(m, marked=True)})

    documents = []
    last = len(s.documents)
    for d in s.documents:
        entry = {"number": d["number"], "type": d["type"], "tlv": d["body"].hex(" ").upper()}
        if d["number"] <= last - UNCONFIRMED:
            confirmed = d["moment"] + datetime.timedelta(seconds=4 + d["number"] % 50)
            digest = hashlib.sha256(b"demo-ticket-%d" % d["number"]).hexdigest().upper()
            entry["ticket"] = {
                "data": digest[:16],
                "date": confirmed.strftime("%Y-%m-%d"),
                "time": confirmed.strftime("%H:%M:%S"),
                "fiscal_sign": digest[16:28],
                "document_number": d["number"],
            }
        documents.append(entry)

    status_moment = s.documents[-1]["moment"] + datetime.timedelta(minutes=9, seconds=12)
    storage = {
        "storage": {
            "serial_number": FN_NUMBER,
            "status": [3, 0, 1, 0, 0],
            "date": status_moment.strftime("%Y-%m-%d"),
            "time": status_moment.strftime("%H:%M:%S"),
            "last_document_number": last,
        },
        "shift_count": s.shift,
        "model_parameters": {"72": 18},
        "tables": {"18,1,3": REG_NUMBER},
        "block_size": 256,
        "delay_ms": 60,
        "documents": documents,
        "faults": [],
    }
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "demo-storage.json")
    with open(path, "w", encoding="utf-8", newline="\n") as out:
        json.dump(storage, out, ensure_ascii=False, indent=2)
        out.write("\n")
    print(f"{path}: {last} documents")


if __name__ == "__main__":
    main()
