#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/ from the cases of the unit tests.

Run it again after adding a case; libFuzzer grows its own corpus in the build
tree from these, so the committed seeds stay small.
"""
import hashlib
import os

HERE = os.path.dirname(os.path.abspath(__file__))

# Longitude and latitude texts from the parser tests.
PARSER = [
    ("113.65735", "34.79139167"), ("113.39'26.46\"", "34.47'29.01\""), ("113.39'441", "34.41'4835"),
    (" 113.65735", "34.79139167"), ("113.39'26.46\"abc", "34.47'29.01\"xyz"), ("113.39'", "34.47'"),
    ("-113.39'441", "-34.41'"), ("0.1'192\"", "0.3'96\""), ("113.39'26.46\"", "34.47'29"),
    ("113.39'26.46\"", "34.79139167"), ("113'39'26", "34'47'29"), ("113'39.5\"", "34.47'29.01\""),
    ("", ""), ("abc", "北京"), ("12004", "30"), ("1e300", "30"), ("-1e300", "1e-400"),
    ("5965.2323555555555", "-5965.232355555556"), ("113.65735" + "0" * 42, "34.79139167" + "0" * 40 + "9999"),
    (" " * 50 + "73.0'", "34.0'"), ("135.0858277", "34.5"), ("113.5", "3.4084749"),
]

HEAD = "HTTP/1.1 200 OK\r\n"
# Whole answers of the lookup peer from the transfer and query tests.
RESPONSES = [
    "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello",
    "HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\nabc",
    "HTTP/1.1 500 Internal\r\nContent-Length: 4\r\n\r\noops",
    HEAD + "X-Other: 1\r\n\r\nbody",
    HEAD + "Content-Length: 0\r\n\r\n",
    HEAD + "Content-Length: -5\r\n\r\nbody",
    HEAD + "Content-Length:4\r\n\r\nbody",
    HEAD + "Content-Length: 10\r\n\r\npart",
    HEAD + "Content-Length: 5\r\n\r\nab\0cd",
    HEAD + "X-A:5\r\ncontent-length: 7\r\nX-Big: 0123456789\r\nX-Empty: \r\n\r\n",
    HEAD + "A: b\r\n\r\n",
    "HTTP/1.1 200",
    "HTTP/1.1",
    "HTTP/1.1 200 OK\r\nCon",
    HEAD + "X-Long: " + "x" * 1473 + "\r\n",
    HEAD + "Content-Length: 100\r\n\r\n" + "".join(chr(97 + i % 26) for i in range(4200)),
    HEAD + "Content-Length: 4200\r\n\r\n" + "".join(chr(97 + i % 26) for i in range(4200)),
]


def write(target, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, hashlib.sha1(data).hexdigest()[:16]), "wb") as f:
        f.write(data)


def main():
    for lon, lat in PARSER:
        lon_bytes, lat_bytes = lon.encode("gbk"), lat.encode("gbk")
        write("parser", bytes([len(lon_bytes)]) + lon_bytes + lat_bytes)
    for i, response in enumerate(RESPONSES):
        body = response.encode("latin-1")
        # Value size 30 and a line size of 4 as the tests use them; names
        # taken from the list and from the response itself in turn.
        write("http", bytes([29, 3, 40 + i * 13, 0 if i % 2 else 200, 4]) + body)
        write("query", body)


if __name__ == "__main__":
    main()
