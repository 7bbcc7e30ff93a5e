"""The virtual instrument built into the library, for tests and work without hardware.

    with vexdaq.sim.plug(waveform="counter", in_bits=16) as instrument:
        with vexdaq.open() as device:
            samples = device.acquire([0, 1], rate=10000, frames=1000)
        print(instrument.trace())

Profile keys and fault commands are those of ``include/vexdaq/vexdaq_sim.h``; keyword arguments
become "key=value" pairs, and keys with a dot (``waveform.3``) go in the profile text.
"""

from __future__ import annotations

import ctypes
from typing import List, Optional, Union

from . import _library, scaling
from .errors import InvalidArgumentError, VexdaqError

ProfileValue = Union[str, int, float, bool]


def _profile(profile: Optional[str], keys: "dict[str, ProfileValue]") -> str:
    parts = [profile] if profile else []
    for key, value in keys.items():
        if isinstance(value, bool):
            value = int(value)
        parts.append(f"{key}={value}")
    return ";".join(parts)


class VirtualInstrument:
    """One plugged virtual instrument; a context manager that unplugs it on exit."""

    def __init__(self, instrument_id: int, profile: str) -> None:
        self._lib = _library.load()
        #: The id the library gave it.
        self.id = instrument_id
        #: The profile text it was plugged with.
        self.profile = profile
        self._plugged = True

    def __enter__(self) -> "VirtualInstrument":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.unplug()

    def __repr__(self) -> str:
        return f"VirtualInstrument(id={self.id}, profile={self.profile!r})"

    @property
    def scale_description(self) -> "scaling.ScaleDescription":
        """What its samples stand for in volts (its profile's full_scale_mv, 10000 by default),
        for Acquisition.in_units."""
        millivolts = 10000.0
        for entry in self.profile.split(";"):
            key, _, value = entry.partition("=")
            if key.strip() == "full_scale_mv":
                millivolts = float(value)
        return scaling.virtual_instrument(millivolts)

    @property
    def plugged(self) -> bool:
        return self._plugged

    def unplug(self) -> None:
        """Surprise removal: open sessions see the instrument vanish. Harmless when unplugged."""
        if self._plugged:
            self._plugged = False
            self._lib.vexdaq_sim_unplug(self.id)

    def _check(self, result: int, call: str, what: str) -> int:
        if result == -1:
            raise VexdaqError(f"{what}: virtual instrument {self.id} is unplugged", result=result, call=call)
        if result < 0:
            raise InvalidArgumentError(f"{what} was refused (details on stderr)", result=result, call=call)
        return result

    def set(self, profile: Optional[str] = None, **keys: ProfileValue) -> None:
        """Changes profile keys while it runs (waveform, pacing, loopback...)."""
        text = _profile(profile, keys)
        self._check(self._lib.vexdaq_sim_set(self.id, text.encode()), "vexdaq_sim_set", f"profile '{text}'")

    def fault(self, command: str) -> None:
        """Injects a fault, such as "stall=rx", "fail_request=0xC5" or "replug"; "clear" ends all."""
        self._check(
            self._lib.vexdaq_sim_fault(self.id, command.encode()), "vexdaq_sim_fault", f"fault '{command}'"
        )

    def _take_text(self, function, call: str) -> str:
        size = 4096
        while True:
            buffer = ctypes.create_string_buffer(size)
            length = self._check(function(self.id, buffer, size), call, "reading the trace")
            if length < size:  # it fitted, and was consumed
                return buffer.value.decode("ascii", "replace")
            size = length + 4096  # more may arrive before the next call

    def trace(self) -> List[str]:
        """The control requests received since the previous call, one line each."""
        return self._take_text(self._lib.vexdaq_sim_trace, "vexdaq_sim_trace").splitlines()

    def driver_trace(self) -> List[str]:
        """The driver calls made since the previous call, one line each."""
        return self._take_text(self._lib.vexdaq_sim_driver_trace, "vexdaq_sim_driver_trace").splitlines()

    def counter(self, name: str) -> int:
        """A counter by name: rx_frames, rx_dropped_frames, tx_bytes, stream_starts, ..."""
        value = self._lib.vexdaq_sim_counter(self.id, name.encode())
        if value < 0:
            raise InvalidArgumentError(f"no counter '{name}' (or the instrument is unplugged)", result=value)
        return int(value)

    def eeprom_read(self, address: int, size: int) -> bytes:
        """size bytes of the loader's EEPROM from address."""
        buffer = ctypes.create_string_buffer(max(1, size))
        got = self._check(
            self._lib.vexdaq_sim_eeprom_read(self.id, address, buffer, size), "vexdaq_sim_eeprom_read", "EEPROM"
        )
        return buffer.raw[:got]

    def output_read(self, size: int) -> bytes:
        """Takes up to size of the sample bytes the instrument received on its output stream."""
        buffer = ctypes.create_string_buffer(max(1, size))
        got = self._check(
            self._lib.vexdaq_sim_output_read(self.id, buffer, size), "vexdaq_sim_output_read", "output"
        )
        return buffer.raw[:got]

    def uart_inject(self, data: bytes) -> int:
        """Queues bytes as if the far end of the UART had sent them."""
        buffer = ctypes.create_string_buffer(bytes(data), max(1, len(data)))
        return self._check(
            self._lib.vexdaq_sim_uart_inject(self.id, buffer, len(data)), "vexdaq_sim_uart_inject", "UART"
        )

    def uart_output_read(self, size: int) -> bytes:
        """Takes up to size of the bytes the host sent on the UART (with uart_loop=0)."""
        buffer = ctypes.create_string_buffer(max(1, size))
        got = self._check(
            self._lib.vexdaq_sim_uart_output_read(self.id, buffer, size),
            "vexdaq_sim_uart_output_read",
            "UART",
        )
        return buffer.raw[:got]


def plug(profile: Optional[str] = None, **keys: ProfileValue) -> VirtualInstrument:
    """Plugs in a virtual instrument: ``plug("waveform.2=dc", in_bits=16, pacing="free")``.

    Raises InvalidArgumentError for a bad profile (the library writes the reason to stderr).
    """
    text = _profile(profile, keys)
    instrument_id = _library.load().vexdaq_sim_plug(text.encode())
    if instrument_id < 0:
        raise InvalidArgumentError(f"bad virtual instrument profile '{text}'", result=instrument_id,
                                   call="vexdaq_sim_plug")
    return VirtualInstrument(instrument_id, text)


def reset() -> None:
    """Unplugs every virtual instrument and clears their faults; ids start again at 0."""
    _library.load().vexdaq_sim_reset()
