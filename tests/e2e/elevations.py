"""Elevated starts a suite caused, read from the service's session log.

Every program start goes through the service's one launcher, which logs it
as "Start <file> (@<folder>)[ with args '<arguments>'] and elevated ..."
(followed by " succeeded." or, for a failed start, inside a "Call to ...,
returned error:" block). Each such line is one "runas" request: on Windows,
one elevation prompt. Failed requests count too; the user may have seen the
prompt.

    starts(log_text) -> [(file, arguments)] in the order of the log
    count(log_text, arguments=None) -> number of elevated starts, only those
        whose arguments begin with `arguments` when given (e.g. "Fixer")

Use with Service.log() (this start's lines) or WinePrefix.read_log() (all).
"""

import re

_ELEVATED = re.compile(r"Start (?P<file>.+?) \(@.*?\)(?: with args '(?P<arguments>.*)')? and elevated\b")


def starts(log_text):
    found = []
    for line in log_text.splitlines():
        match = _ELEVATED.search(line)
        if match:
            found.append((match.group("file"), match.group("arguments") or ""))
    return found


def count(log_text, arguments=None):
    return sum(1 for _, args in starts(log_text) if arguments is None or args.startswith(arguments))
