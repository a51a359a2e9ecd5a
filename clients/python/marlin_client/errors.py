"""Errors of the client library. Each message says what to check."""


class MarlinError(Exception):
    """Base of every error this library raises."""


class KeyFileError(MarlinError):
    """The key file is missing, unreadable or incomplete."""


class ServiceNotRunning(MarlinError, ConnectionRefusedError):
    """Nothing listens on the port the key file names."""


class AuthorizationRefused(MarlinError):
    """The command port closed the connection instead of answering "authOk"."""


class ConnectionClosed(MarlinError, ConnectionError):
    """The service closed the connection."""


class NoReply(MarlinError, TimeoutError):
    """No reply (or no message) arrived within the time allowed."""
