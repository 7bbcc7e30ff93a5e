"""Engineering units: the JSON description of an instrument's input ranges and sensors that the
``vexdaq`` tool reads with ``--scale FILE`` (the README gives the format), and the conversion of
counts to float64 values in those units::

    description = vexdaq.scaling.load("bench.json")
    volts = samples.in_units(description)       # samples: an Acquisition in counts

A channel's value is counts * scale + offset, scale = full-scale volts of its range /
2^(bits-1) / sensitivity (volts per unit). Without a sensor the unit is "V".
"""

from __future__ import annotations

import json
import math
import os
from dataclasses import dataclass, field
from typing import Any, Dict, List, Mapping, Optional, Sequence, Union

from .errors import InvalidArgumentError

_MAX_FILE_BYTES = 1 << 20
_MAX_GEAR = 8
_MAX_CHANNEL = 63
_MAX_UNIT = 32


@dataclass(frozen=True)
class Sensor:
    """What sits on one channel: its range code, volts per unit, an offset in the unit."""

    gear: Optional[int] = None
    sensitivity: float = 1.0
    offset: float = 0.0
    unit: str = "V"


@dataclass(frozen=True)
class ChannelScale:
    """value = counts * scale + offset, in unit."""

    scale: float = 1.0
    offset: float = 0.0
    unit: str = "counts"


@dataclass(frozen=True)
class ScaleDescription:
    """Volts at full scale per range code, the range of channels without their own, sensors."""

    gear_full_scale_volts: Dict[int, float]
    default_gear: Optional[int] = None
    channels: Dict[int, Sensor] = field(default_factory=dict)

    def channel_scales(
        self, channels: Sequence[int], sample_bits: int, gears: Optional[Sequence[int]] = None
    ) -> List[ChannelScale]:
        """The conversion of each channel; gears: the range each is on (-1 or None: the file
        says). Raises InvalidArgumentError when a channel's range or its volts are unknown."""
        full_scale = float(1 << (sample_bits - 1))
        scales = []
        for i, channel in enumerate(channels):
            sensor = self.channels.get(int(channel), Sensor())
            gear = gears[i] if gears is not None and gears[i] is not None and gears[i] >= 0 else None
            if gear is None:
                gear = sensor.gear if sensor.gear is not None else self.default_gear
            if gear is None and len(self.gear_full_scale_volts) == 1:
                gear = next(iter(self.gear_full_scale_volts))
            if gear is None:
                raise InvalidArgumentError(
                    f"channel {channel}: which input range is it on? Set it (set_gear) or give "
                    "default_gear or the channel's gear in the description"
                )
            if gear not in self.gear_full_scale_volts:
                raise InvalidArgumentError(
                    f"the description gives no full-scale volts for range {gear} (channel {channel})"
                )
            scale = self.gear_full_scale_volts[gear] / full_scale / sensor.sensitivity
            scales.append(ChannelScale(scale, sensor.offset, sensor.unit))
        return scales


def _bad(origin: str, what: str) -> InvalidArgumentError:
    return InvalidArgumentError(f"{origin}: {what}")


def _index(origin: str, where: str, key: str, maximum: int) -> int:
    if not (key.isdigit() and len(key) <= 3 and int(key) <= maximum):
        raise _bad(origin, f"{where}: {key!r} is not a number from 0 to {maximum}")
    return int(key)


def _number(origin: str, where: str, value: Any, positive: bool) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise _bad(origin, f"{where} must be a number")
    if not math.isfinite(value) or (positive and not value > 0):
        raise _bad(origin, f"{where} must be {'positive and ' if positive else ''}finite")
    return float(value)


def _gear(origin: str, where: str, value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= _MAX_GEAR:
        raise _bad(origin, f"{where} must be a range code from 0 to {_MAX_GEAR}")
    return value


def _sensor(origin: str, channel: int, entry: Any) -> Sensor:
    where = f"channels.{channel}"
    if not isinstance(entry, Mapping):
        raise _bad(origin, f"{where} must be an object")
    values: Dict[str, Any] = {}
    for key, value in entry.items():
        if key == "gear":
            values["gear"] = _gear(origin, f"{where}.gear", value)
        elif key in ("sensitivity", "offset"):
            values[key] = _number(origin, f"{where}.{key}", value, key == "sensitivity")
        elif key == "unit":
            if not isinstance(value, str) or not 1 <= len(value) <= _MAX_UNIT:
                raise _bad(origin, f"{where}.unit must be a text of 1 to {_MAX_UNIT} characters")
            values["unit"] = value
        else:
            raise _bad(origin, f"{where}: unknown key {key!r} (gear, sensitivity, offset, unit)")
    if "sensitivity" in values and "unit" not in values:
        raise _bad(origin, f'{where}: a sensitivity needs the unit it is per ("unit": "g")')
    return Sensor(**values)


def parse(document: Mapping[str, Any], origin: str = "scale description") -> ScaleDescription:
    """A description from its parsed JSON (a dict), checked as the tool checks it."""
    if not isinstance(document, Mapping):
        raise _bad(origin, "the description must be a JSON object")
    volts: Dict[int, float] = {}
    default_gear = None
    sensors: Dict[int, Sensor] = {}
    for key, value in document.items():
        if key == "gear_full_scale_volts":
            if not isinstance(value, Mapping):
                raise _bad(origin, "gear_full_scale_volts must be an object")
            for gear, v in value.items():
                code = _index(origin, "gear_full_scale_volts", gear, _MAX_GEAR)
                volts[code] = _number(origin, f"gear_full_scale_volts.{gear}", v, True)
        elif key == "default_gear":
            default_gear = _gear(origin, "default_gear", value)
        elif key == "channels":
            if not isinstance(value, Mapping):
                raise _bad(origin, "channels must be an object")
            for channel, entry in value.items():
                number = _index(origin, "channels", channel, _MAX_CHANNEL)
                sensors[number] = _sensor(origin, number, entry)
        elif key != "description":
            raise _bad(
                origin,
                f"unknown key {key!r} (description, gear_full_scale_volts, default_gear, channels)",
            )
    if not volts:
        raise _bad(origin, "gear_full_scale_volts is missing: the volts at full scale of each input range")
    return ScaleDescription(volts, default_gear, sensors)


def load(path: Union[str, "os.PathLike[str]"]) -> ScaleDescription:
    """Reads a scale file (JSON, 1 MiB at most)."""
    origin = os.fspath(path)
    try:
        with open(path, "rb") as f:
            text = f.read(_MAX_FILE_BYTES + 1)
    except OSError as e:
        raise InvalidArgumentError(f"cannot open the scale file {origin!r}: {e.strerror}") from e
    if len(text) > _MAX_FILE_BYTES:
        raise _bad(origin, "larger than 1 MiB")
    try:
        document = json.loads(text)
    except ValueError as e:
        raise _bad(origin, f"not valid JSON: {e}") from e
    return parse(document, origin)


def virtual_instrument(full_scale_mv: float = 10000) -> ScaleDescription:
    """The virtual instrument's own description: full scale is its profile's full_scale_mv
    (10000 unless plugged with another) on every range."""
    volts = full_scale_mv / 1000.0
    return ScaleDescription({gear: volts for gear in range(_MAX_GEAR + 1)}, default_gear=0)
