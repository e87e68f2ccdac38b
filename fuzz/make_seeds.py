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

PROGRAM_REQUEST = (
    "GET /GetTextByPos?x=40916646&y=12524901&radius=6000&service=gettext HTTP/1.1\r\n"
    "Host:127.0.0.1\r\nAccept:*/*\r\nUser-Agent:Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\n"
    "Connection:Keep-Alive\r\n\r\n")
# Requests to the lookup service and query texts for its answerer.
SERVICE_REQUESTS = [
    PROGRAM_REQUEST,
    PROGRAM_REQUEST + PROGRAM_REQUEST.replace("x=40916646", "x=27230000"),
    "GET /GetTextByPos?x=abc&y=1&radius=6000&service=gettext HTTP/1.1\r\n\r\n",
    "GET /GetTextByPos?x=1&y=2 HTTP/1.1\r\n\r\n",
    "POST /GetTextByPos HTTP/1.1\r\nContent-Length: 5\r\n\r\nx=1&y",
    "GET /other HTTP/1.0\r\n\r\n",
    "GET /GetTextByPos?x=%34%30&y=1&radius=-1&service=gettext HTTP/1.1\r\n\r\n",
]
SERVICE_QUERIES = [
    "x=40916646&y=12524901&radius=6000&service=gettext",
    "x=31536000&y=15768000&radius=6000&service=gettext",
    "x=31644000&y=15768000&radius=6000&service=gettext",
    "x=31698000&y=15768000&radius=60000&service=gettext",
    "x=27072000&y=13572000&radius=180000&service=gettext",
    "x=-2147483648&y=2147483647&radius=2147483647&service=gettext",
    "x=40916646&x=1&y=12524901&radius=0&service=gettext",
    "x=40916646&y=12524901&radius=6000&service=other",
    "x=&y=&radius=&service=",
]

# The batch tool's sample files, and a few shapes they lack, for the reader targets.
SAMPLES = os.path.join(HERE, "..", "geocode", "tests", "data")
# CSV/TSV: the options byte (see csv_fuzzer.cpp), then the table.
TABLES = [
    (0, "survey.csv"), (0, "open-quote.csv"),
    (1, b"name\tx\ty\r\n\"a\tb\"\t113.5\t34.5\r\nc\t\"114\r\n\"\t22.3\r\n"),
    (2 | 2 << 3 | 1 << 5, b"\xef\xbb\xbfid,lat,lon\n1,34.5,113.5\n2,\"3\n"),
    (4, b"p,q\n113.5,34.5\n\n113.6,\"34.7\"\"\"\n"),
]
TRACKS = ["logger.gpx", "truncated.gpx",
          b"<gpx><wpt\n lat='34' lon = \"113\"><name>A &amp; &#x1F600;</name><time><![CDATA[1]]]></time>"
          b"<extensions><name>x</name></extensions></wpt><!-- <wpt/> ---><rtept lat=\"1x\"/></gpx>"]
SENTENCES = ["phone.nmea",
             b"$GPGGA,011201.00,3447.48350,N,11339.44100,E,1,08,1.0,99.0,M,-13.0,M,,*7f\r\n"
             b"$GPGLL,3447.48350,N,11339.44100,E,011240.00,V,A*7E\nno dollar\n$GPGGA,1*G0\n"]
PLAIN = ["points.txt", b"# c\r\n113.5,\t34.5\n113.5;34.5;1\n\n  # x\n1 2"]


def sample(item):
    if isinstance(item, bytes):
        return item
    with open(os.path.join(SAMPLES, item), "rb") as f:
        return f.read()


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
    for request in SERVICE_REQUESTS:
        write("service", b"\x00" + request.encode("latin-1"))
    for query in SERVICE_QUERIES:
        write("service", b"\x01" + query.encode("latin-1"))
    for options, table in TABLES:
        write("csv", bytes([options]) + sample(table))
    for target, items in (("gpx", TRACKS), ("nmea", SENTENCES), ("plain", PLAIN)):
        for item in items:
            write(target, sample(item))


if __name__ == "__main__":
    main()
