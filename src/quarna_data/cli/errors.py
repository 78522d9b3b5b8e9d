"""The error the tool reports as one line."""


class UserError(Exception):
    """Bad input: reported as one line, without a traceback (unless QUARNA_DEBUG=1)."""


class UserInterrupt(KeyboardInterrupt):
    """Ctrl-C, with the message that says what it left behind (exit status 130)."""
