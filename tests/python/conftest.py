import importlib

import pytest


@pytest.fixture(scope="session")
def native():
    return importlib.import_module("tarvel_binary._native")


@pytest.fixture(scope="session")
def probe():
    """The tests' probe module over the module's own argument and object rules."""
    return importlib.import_module("_probe")


def container_file(path, headers=(("_schema", "s@1"),), header_area=4096, magic=b"TARVEL",
                   version=1, flags=0, zone=None):
    """Writes the head of a container: preamble and header zone, no data."""
    if zone is None:
        zone = "".join(f"{k}:{v}\n" for k, v in headers).encode() + b"\n"
    zone = zone.ljust(header_area, b"\0")
    preamble = magic + bytes([version, flags]) + header_area.to_bytes(4, "little") + bytes(4)
    path.write_bytes(preamble + zone)
    return path
