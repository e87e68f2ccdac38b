#!/usr/bin/python3
"""geopy's Nominatim geocoder, unchanged, against the service's /reverse route.

Usage: geopy_client.py LOOKUPD INDEX. Starts the service on a free port of its own choosing,
reads the port from its first line, asks, and stops it whatever happens.
"""
import subprocess
import sys

from geopy.geocoders import Nominatim

lookupd, index = sys.argv[1:3]
service = subprocess.Popen([lookupd, "--listen", "127.0.0.1:0", "--data", index, "--quiet"],
                           stderr=subprocess.PIPE, text=True)
try:
    first = service.stderr.readline()  # "lumeno-lookupd: listening on 127.0.0.1:PORT ..."
    if "listening on 127.0.0.1:" not in first:
        sys.exit(f"geopy_client: the service did not start: {first.strip()}")
    port = first.split("listening on 127.0.0.1:")[1].split()[0].rstrip(";,)")
    geocoder = Nominatim(domain=f"127.0.0.1:{port}", scheme="http", user_agent="lumeno-tests", timeout=10)

    place = geocoder.reverse("34.79139167, 113.65735")
    assert place is not None, "no answer for the example position"
    assert place.raw["address"]["county"] == "金水区", place.raw
    assert place.address == "金水区, 郑州市, 河南省, 中国", place.address
    assert abs(place.latitude - 34.79139167) < 1e-6 and abs(place.longitude - 113.65735) < 1e-6, place.point
    assert geocoder.reverse("20.0, 120.0") is None, "a position at sea got a place"
    province = geocoder.reverse("34.79139167, 113.65735", zoom=5)
    assert province.address == "河南省, 中国", province.address
    print("geopy_client: passed")
finally:
    service.terminate()
    try:
        service.wait(timeout=10)
    except subprocess.TimeoutExpired:
        service.kill()
