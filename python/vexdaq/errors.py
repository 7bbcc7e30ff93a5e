"""The exceptions of the vexdaq package.

Every failure the library reports is raised as a :class:`VexdaqError`; the subclasses are the ones a
caller would handle differently:

* :class:`LibraryNotFoundError`: the shared library could not be loaded (an installation problem);
* :class:`DeviceNotFoundError`: no instrument, or it could not be opened;
  :class:`PermissionDeniedError` when this user may not open it;
* :class:`StreamError`: the stream stopped while data was moving (a transfer failed or timed out);
  :class:`DeviceDisconnectedError` when the instrument is gone;
* :class:`InvalidArgumentError` (also a :class:`ValueError`): a request the instrument cannot do,
  refused before the device is asked;
* :class:`SessionClosedError`: a call on a device that was closed.

Each carries the library's return value (``result``, None where no call failed) and the path of the
session's log (``log_path``, None before any session wrote one).
"""

from __future__ import annotations

from typing import Optional


class VexdaqError(Exception):
    """A failure reported by the vexdaq library or found by this package."""

    def __init__(
        self,
        message: str,
        *,
        result: Optional[int] = None,
        call: Optional[str] = None,
        log_path: Optional[str] = None,
    ) -> None:
        self.message = message
        #: What the failing library function returned (None when no call failed).
        self.result = result
        #: The library function that failed, such as "vexdaq_start".
        self.call = call
        #: The session's log file, where the library wrote what the device answered.
        self.log_path = log_path
        super().__init__(message)

    def __str__(self) -> str:
        text = self.message
        if self.call is not None:
            text += f" ({self.call} returned {self.result})"
        if self.log_path:
            text += f"; the log is {self.log_path}"
        return text


class DataLossError(VexdaqError):
    """The run completed but samples are missing: the instrument lost frames before they reached
    the host (``gaps``), or the application read too slowly (``loss``). ``data`` holds what was
    recorded (an :class:`~vexdaq.device.Acquisition`), or None for a stream."""

    def __init__(self, message: str, *, gaps: list, loss: dict, data: object = None) -> None:
        super().__init__(message)
        #: The gaps the library found (:class:`~vexdaq.timing.Gap`).
        self.gaps = gaps
        #: Loss counters per channel.
        self.loss = loss
        self.data = data


class DataLossWarning(UserWarning):
    """Warned instead of raising :class:`DataLossError` with ``on_loss="warn"``."""


class LibraryNotFoundError(VexdaqError, OSError):
    """The shared library could not be loaded; the message names every place tried."""


class DeviceNotFoundError(VexdaqError):
    """No instrument was found at the index asked for, or it could not be opened."""


class PermissionDeniedError(DeviceNotFoundError, PermissionError):
    """An instrument is there but this user may not open it (Linux: install the udev rule)."""


class StreamError(VexdaqError):
    """The stream stopped while samples were moving: a transfer failed or timed out."""


class DeviceDisconnectedError(StreamError):
    """The instrument went away (unplugged) while the session was open."""


class InvalidArgumentError(VexdaqError, ValueError):
    """The request cannot be carried out with this instrument (rate, channel, size...)."""


class SessionClosedError(VexdaqError):
    """The device was closed, or another session of this process replaced it."""
