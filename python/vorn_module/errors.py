"""The error queue as both drivers read it: ``SYSTem:ERRor?`` entries, parsed, until the queue is empty."""
from __future__ import annotations

import re
from typing import Callable, Iterable, List, Optional, Tuple

ErrorEntry = Tuple[int, str]

# The most entries one check reads: vornlan keeps 32 of its own per client, the module its own queue.
MAX_ERROR_READS = 64

_ERROR_ENTRY = re.compile(r'\s*([+-]?\d+)\s*,\s*"(.*)"\s*\Z', re.DOTALL)


class VornError(Exception):
    """An error the module or vornlan reported through ``SYSTem:ERRor?``.

    ``number`` and ``message`` are the first entry read (``-221`` and
    ``"Settings conflict;nothing acquired to save"``); ``errors`` holds every entry the check read, as
    (number, message) pairs, oldest first; ``command`` is what was sent just before, when known.
    """

    def __init__(self, errors: Iterable[ErrorEntry], command: Optional[str] = None) -> None:
        self.errors: List[ErrorEntry] = list(errors)
        if not self.errors:
            raise ValueError("VornError needs at least one error entry")
        self.number, self.message = self.errors[0]
        self.command = command
        text = f'{self.number},"{self.message}"'
        if command is not None:
            text += f" after {command!r}"
        if len(self.errors) > 1:
            text += "; then " + "; ".join(f'{n},"{m}"' for n, m in self.errors[1:])
        super().__init__(text)


def parse_error_entry(entry: str) -> ErrorEntry:
    """(number, message) from one ``SYSTem:ERRor?`` reply such as ``-224,"Illegal parameter value;..."``.

    A doubled quote inside the message stands for one. Raises ValueError for a reply of another shape.
    """
    match = _ERROR_ENTRY.match(entry)
    if not match:
        raise ValueError(f"not an error queue entry: {entry!r}")
    return int(match.group(1)), match.group(2).replace('""', '"')


def read_error_queue(ask: Callable[[str], str]) -> List[ErrorEntry]:
    """Asks ``SYST:ERR?`` through ``ask`` until it answers 0 (at most MAX_ERROR_READS times) and
    returns the entries, oldest first."""
    errors = []
    for _ in range(MAX_ERROR_READS):
        number, message = parse_error_entry(ask("SYST:ERR?"))
        if number == 0:
            break
        errors.append((number, message))
    return errors
