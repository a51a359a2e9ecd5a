"""Seeded generator of hostile messages for the service's three ports.

Messages are built from the ports' real command words, quotes, blanks, '|',
CR/LF, invalid UTF-8, NUL bytes and very long words, then mutated at the byte
level. The same seed gives the same messages, so a failure can be replayed.

    MessageFuzzer(seed, words)
        .message()         one message (bytes, no trailing delimiter); may hold
                           anything, '|' included
        .clean_message()   a message whose reply count is predictable: valid
                           UTF-8, no NUL, '|', CR or LF, shorter than the
                           service's per-message limit
        .chunks(data)      data cut at random byte boundaries (for sending in
                           several writes)
    runs_something(message, words) -> True when the message could start one of
        the words after framing (quotes, CR and LF removed): used to keep
        commands with side effects out of an authorized fuzzer
"""
import random

# Every word the command port knows.
COMMAND_WORDS = [
    "exit", "update", "dockUpdateFinished", "userCanAdministerAirApps", "userCanPerformDockUpdate",
    "getCommonUserDir", "getCoreVersion", "startProcess", "checkExists", "fixFilePermissions",
    "fixDirectoryPermissions", "createUUID", "platform", "removeWidget", "setAsStartup", "removeAsStartup",
    "getLocalCountryCode", "associateFileTypes", "unassociateFileTypes", "uninstallAirApp", "installAirApp",
    "upgradeAirApp", "isAirAppInstalled", "startAirApplication", "installNativeApp", "uninstallNativeApp",
    "upgradeNativeApp", "isNativeAppInstalled", "startNativeApplication", "stopNativeApplication",
    "isNativeAppRunning", "auth",
]
# Command-port words whose work is quick and leaves the machine as it was:
# the only ones an authorized fuzzer may run.
QUICK_COMMAND_WORDS = [
    "userCanAdministerAirApps", "userCanPerformDockUpdate", "getCommonUserDir", "getCoreVersion", "checkExists",
    "fixFilePermissions", "fixDirectoryPermissions", "createUUID", "platform", "getLocalCountryCode",
    "isAirAppInstalled", "isNativeAppInstalled", "isNativeAppRunning",
]
# Words that start programs, installers, workers or a restart, end the
# connection or change the registry.
ACTING_COMMAND_WORDS = [w for w in COMMAND_WORDS if w not in QUICK_COMMAND_WORDS and w != "auth"]

PRESSURE_WORDS = ["listenTablet", "stopListenTablet", "startTablet", "stopTablet", "getDriverVersion"]
APPS_WORDS = ["registerChannel", "sendDataToChannel"]

# The service closes a client whose unfinished message grows past this many characters.
MESSAGE_LIMIT = 65536

_INVALID_UTF8 = [b"\xff", b"\xfe", b"\xc0\x80", b"\xe2\x82", b"\x80", b"\xed\xa0\x80", b"\xf4\x90\x80\x80",
                 b"\xc3", b"\xf0\x9f\x98"]
_TEXT = ["a", "x", "Z", "0", "42", "-1", "{7C41A9E3-25D0-4B8F-9E16-3F0B8D52C6A4}", "C:\\", "%APPDATA%",
         "%s%s%s%n", "%d", "\u00e9", "\u20ac", "\U0001f58a", "..\\..\\", "*", "?", "<x>", "&amp;", "\t", "=",
         ".txt", "true", "ünïcödé"]


class MessageFuzzer:
    def __init__(self, seed, words):
        self.rng = random.Random(seed)
        self.words = list(words)

    # -- pieces
    def _word(self):
        r = self.rng.random()
        if r < 0.45:
            return self.rng.choice(self.words)
        if r < 0.8:
            return self.rng.choice(_TEXT)
        alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-:"
        return "".join(self.rng.choice(alphabet) for _ in range(self.rng.randint(1, 24)))

    def _quoted(self, text):
        q = self.rng.choice(["'", '"'])
        # An unclosed quote now and then: the splitter must cope with it.
        return q + text + (q if self.rng.random() < 0.85 else "")

    def _blanks(self):
        return " " * self.rng.choice([1, 1, 1, 1, 2, 3])

    def _words_message(self, clean):
        parts = [self.rng.choice(self.words)]
        if self.rng.random() < 0.2:
            parts[0] = self._mutate_word(parts[0])
        for _ in range(self.rng.choice([0, 1, 1, 2, 3, 4, 6])):
            word = self._word()
            if self.rng.random() < 0.25:
                word = self._quoted(word + " " + self._word())
            parts.append(word)
        text = parts[0]
        for p in parts[1:]:
            text += self._blanks() + p
        if self.rng.random() < 0.1:
            text = self._blanks() + text
        if self.rng.random() < 0.05:
            text += self._blanks()
        if self.rng.random() < 0.03:
            text += " " + "W" * self.rng.randint(1000, 20000 if clean else MESSAGE_LIMIT + 5000)
        return text.encode("utf-8")

    def _mutate_word(self, word):
        ops = [lambda w: w[:-1], lambda w: w + self.rng.choice(["X", "s", "0", "é"]), lambda w: w.upper(),
               lambda w: w[: self.rng.randint(0, len(w))], lambda w: w.swapcase()]
        return self.rng.choice(ops)(word) or word

    def _byte_mutation(self, data):
        data = bytearray(data)
        for _ in range(self.rng.randint(1, 4)):
            r = self.rng.random()
            pos = self.rng.randint(0, len(data))
            if r < 0.2:
                data[pos:pos] = self.rng.choice(_INVALID_UTF8)
            elif r < 0.3:
                data[pos:pos] = b"\x00"
            elif r < 0.45:
                data[pos:pos] = self.rng.choice([b"\r", b"\n", b"\r\n"])
            elif r < 0.55:
                data[pos:pos] = b"|"
            elif r < 0.7 and data:
                data[min(pos, len(data) - 1)] = self.rng.randrange(256)
            elif r < 0.85 and data:
                del data[pos:pos + self.rng.randint(1, 8)]
            else:
                data[pos:pos] = data[pos:pos + self.rng.randint(1, 32)]
        return bytes(data)

    def _random_bytes(self):
        return bytes(self.rng.randrange(256) for _ in range(self.rng.randint(0, 200)))

    # -- messages
    def message(self):
        r = self.rng.random()
        if r < 0.5:
            return self._words_message(clean=False)
        if r < 0.85:
            return self._byte_mutation(self._words_message(clean=False))
        if r < 0.95:
            return self._random_bytes()
        return b""

    def clean_message(self):
        while True:
            data = self._words_message(clean=True)
            if self.rng.random() < 0.3:
                data = self._byte_mutation(data)
            if is_clean(data):
                return data

    def chunks(self, data):
        out = []
        i = 0
        while i < len(data):
            n = self.rng.choice([1, 2, 3, 7, 64, 511, 512, 513, 4096, 70000])
            out.append(data[i:i + n])
            i += n
        return out


def is_clean(data):
    if any(b in data for b in (b"\x00", b"|", b"\r", b"\n")) or len(data) >= MESSAGE_LIMIT // 2:
        return False
    try:
        data.decode("utf-8", "strict")
    except UnicodeDecodeError:
        return False
    return True


def runs_something(message, words):
    """True when message, as the service sees it after framing, could begin one of words."""
    text = message.replace(b"\r", b"").replace(b"\n", b"").replace(b"'", b"").replace(b'"', b"")
    return any(w.encode("utf-8") in text for w in words)
