"""Finding and reading the key file the service writes at every start.

The service writes "marlinAuth.key" into the user's roaming application-data
folder under "Orvex": XML with the three ports and a fresh key. Under Wine that
folder is drive_c/users/<user>/AppData/Roaming/Orvex/ inside the prefix.
"""

import glob
import os
import re
import time
from typing import Mapping, NamedTuple, Optional, Sequence

from .errors import KeyFileError

KEY_FILE_NAME = "marlinAuth.key"
_FIELDS = ("commandPort", "pressurePort", "airAppsPort", "authKey")


class KeyFile(NamedTuple):
    command_port: int
    pressure_port: int
    apps_port: int
    auth_key: str
    text: str
    path: str = ""
    mtime: float = 0.0  # seconds since the epoch when the file was last written; 0 when unknown

    def written(self) -> str:
        """The time the file was written, for messages ("2026-12-07 13:04:14"), or "unknown"."""
        return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(self.mtime)) if self.mtime else "unknown"


def parse_key_file(text: str, path: str = "", mtime: float = 0.0) -> Optional[KeyFile]:
    """The key file's fields, or None while the file is incomplete (the service is still writing it)."""
    fields = {}
    for name in _FIELDS:
        match = re.search(r"<%s>(.*?)</%s>" % (name, name), text)
        if not match:
            return None
        fields[name] = match.group(1)
    if not text.rstrip().endswith("</root>"):
        return None
    try:
        ports = [int(fields[name]) for name in _FIELDS[:3]]
    except ValueError:
        return None
    return KeyFile(ports[0], ports[1], ports[2], fields["authKey"], text, path, mtime)


def key_file_in_prefix(prefix: str) -> str:
    """The key file's path inside a Wine prefix (it need not exist yet)."""
    users = os.path.join(prefix, "drive_c", "users")
    found = sorted(glob.glob(os.path.join(users, "*", "AppData", "Roaming", "Orvex", KEY_FILE_NAME)))
    if found:
        return found[0]
    profiles = [u for u in sorted(os.listdir(users)) if u != "Public"] if os.path.isdir(users) else []
    user = profiles[0] if profiles else "*"
    return os.path.join(users, user, "AppData", "Roaming", "Orvex", KEY_FILE_NAME)


def find_key_file(path: Optional[str] = None, prefix: Optional[str] = None,
                  environ: Mapping[str, str] = os.environ, default_prefixes: Sequence[str] = ()) -> str:
    """The key file to use: path if given; else the one in prefix; else $MARLIN_KEY_FILE;
    else the one in $WINEPREFIX; else the first of default_prefixes that has one.

    Raises KeyFileError naming every place looked at when none is found.
    """
    if path:
        return path
    if environ.get("MARLIN_KEY_FILE") and not prefix:
        return environ["MARLIN_KEY_FILE"]
    prefixes = [prefix] if prefix else [p for p in [environ.get("WINEPREFIX")] if p] + list(default_prefixes)
    looked = []
    for candidate in prefixes:
        found = key_file_in_prefix(candidate)
        if os.path.isfile(found):
            return found
        looked.append(found)
    raise KeyFileError("no key file (looked at %s): is the service running in that prefix? It writes the "
                       "file at every start; pass its path, or the Wine prefix the service runs in"
                       % (", ".join(looked) or "no prefix given"))


def read_key_file(path: str) -> KeyFile:
    """Reads and parses the key file; KeyFileError says what is wrong with it."""
    try:
        with open(path, "rb") as f:
            text = f.read().decode("utf-8", "replace")
        mtime = os.path.getmtime(path)
    except OSError as e:
        raise KeyFileError("cannot read the key file %s: %s (is the service running? It writes the file at "
                           "every start)" % (path, e.strerror or e)) from None
    key = parse_key_file(text, path, mtime)
    if key is None:
        raise KeyFileError("the key file %s (written %s) is incomplete: it should hold commandPort, pressurePort, "
                           "airAppsPort and authKey" % (path, time.strftime("%H:%M:%S", time.localtime(mtime))))
    return key


def wait_key_file(path: str, timeout: float, newer_than: float = 0.0) -> Optional[KeyFile]:
    """Waits until a complete key file written after newer_than exists; None after timeout."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            key = read_key_file(path)
            if key.mtime >= newer_than:
                return key
        except KeyFileError:
            pass
        if time.monotonic() >= deadline:
            return None
        time.sleep(0.05)
