"""The extension module. Everything above, plus the constants a caller needs
to avoid hard-coding numbers the format owns."""

import os
from collections.abc import Sequence
from typing import ClassVar, Final, Literal, final

_Path = str | os.PathLike[str]

__all__ = [
    "Container",
    "Schema",
    "FieldSpec",
    "RecordLayout",
    "Frame",
    "Preamble",
    "ValidateReport",
    "RebuildReport",
    "RepackReport",
    "peek_headers",
    "validate",
    "rebuild_headers",
    "repack",
    "split_records",
    "xxh64",
    "max_frames_for",
    "TarvelError",
    "TarvelMalformedError",
    "TarvelUsageError",
    "TarvelZoneFullError",
    "TarvelCompressionError",
    "VERSION",
    "EXTENSION",
    "DEFAULT_HEADER_AREA",
    "MAX_HEADER_AREA",
    "HOT_LEVEL",
    "COLD_LEVEL",
    "__version__",
]

@final
class Container:
    """A container file, open for reading or appending."""

    @staticmethod
    def create(
        path: _Path,
        schema: Schema,
        source: str,
        writer: str,
        created_at_millis: int = 0,
        header_area: int = ...,
        user: Sequence[tuple[str, str]] | None = None,
    ) -> Container:
        """Creates a file: preamble and header zone, no data yet."""
    @staticmethod
    def open_read(path: _Path) -> Container:
        """Opens a file read-only. Nothing is recovered and nothing is written."""
    @staticmethod
    def open_append(path: _Path) -> Container:
        """Opens a file for appending, replaying a pending seal journal and
        cutting a torn record off the tail first.

        Holds the file's writer lock until the object is released: another
        writer, in this process or another, is refused with TarvelUsageError."""
    def headers(self) -> dict[str, str]:
        """Every header, system and application alike."""
    def schema(self) -> Schema:
        """The schema the file declares."""
    def frames(self) -> list[Frame]:
        """The closed frames, in file order."""
    def records(self) -> int:
        """Records ever appended, the unflushed buffer included."""
    def append_record(self, body: bytes) -> None:
        """Appends one record body."""
    def flush_data(self) -> None:
        """Writes whatever is buffered."""
    def flush_headers(self) -> None:
        """Rewrites the header zone in place."""
    def close_frame(self, frame_id: int, level: int) -> None:
        """Compresses the raw tail into one frame, crash-safe."""
    def seal(self, frame_id: int, level: int) -> None:
        """Closes the tail and marks the file finished."""
    def set_user_header(self, key: str, value: str) -> None:
        """Sets an application header. Keys may not start with `_`."""
    def read_frame(self, frame_id: int) -> bytes:
        """Decompresses the frame with this id. Ids may repeat; prefer
        `read_frame_at` when sweeping."""
    def read_frame_at(self, index: int) -> bytes:
        """Decompresses the frame at this position in the list."""
    def read_tail(self) -> bytes:
        """The uncompressed tail, whole records only."""
    def __enter__(self) -> Container: ...
    def __exit__(self, *_args: object) -> Literal[False]: ...

@final
class Schema:
    """What the records in a file look like."""

    def __new__(cls, name: str, fields: Sequence[FieldSpec], layout: RecordLayout) -> Schema: ...
    @property
    def name(self) -> str:
        """The schema's name, `name@version` by convention."""
    @property
    def fields(self) -> list[FieldSpec]:
        """Its fields, in declaration order."""
    @property
    def layout(self) -> RecordLayout:
        """How records are delimited."""
    def hash_hex(self) -> str:
        """The FNV-1a 64 fingerprint over the field list, as the file stores it."""
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class FieldSpec:
    """One field of a schema."""

    def __new__(cls, name: str, ty: str, offset: int) -> FieldSpec: ...
    @property
    def name(self) -> str:
        """The field's name."""
    @property
    def ty(self) -> str:
        """Its type, as the format spells it: `u8`, `u16`, `u32`, `u64`, `i64`,
        `f64` or `uuid`."""
    @property
    def offset(self) -> int:
        """Byte offset inside the record."""
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class RecordLayout:
    """How a record's bytes are delimited inside a frame."""

    @staticmethod
    def fixed(size: int) -> RecordLayout:
        """Records of exactly `size` bytes."""
    @staticmethod
    def prefixed() -> RecordLayout:
        """Records preceded by a little-endian `u16` length."""
    @property
    def fixed_size(self) -> int | None:
        """Bytes per record, or `None` when records carry a length prefix."""
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Frame:
    """One closed frame in the data section."""

    @property
    def id(self) -> int:
        """The id the writer gave it. Ids may repeat."""
    @property
    def offset(self) -> int:
        """Byte offset from the start of the data section."""
    @property
    def len(self) -> int:
        """Compressed length."""
    @property
    def hash(self) -> int:
        """XXH64 of the compressed bytes, `0` when the file predates checksums."""
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Preamble:
    """The fixed binary head of a file."""

    @property
    def version(self) -> int:
        """Container format version."""
    @property
    def flags(self) -> int:
        """Flag bits; bit 0 means the data section is compressed."""
    @property
    def header_area(self) -> int:
        """Size of the header zone in bytes."""
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class ValidateReport:
    """What `validate` found."""

    @property
    def problems(self) -> list[str]:
        """Everything wrong, empty when the file is sound."""
    @property
    def frames(self) -> int:
        """Closed frames checked."""
    @property
    def records(self) -> int:
        """Records seen in frames and the tail."""

@final
class RebuildReport:
    """What `rebuild_headers` found and did."""

    @property
    def differences(self) -> list[str]:
        """Header values that disagreed with the data."""
    @property
    def fixed(self) -> bool:
        """Whether the zone was rewritten."""

@final
class RepackReport:
    """What `repack` measured."""

    @property
    def bytes_before(self) -> int:
        """File size before, bytes."""
    @property
    def bytes_after(self) -> int:
        """File size after, bytes."""
    @property
    def frames(self) -> int:
        """Frames re-encoded."""

def peek_headers(path: _Path) -> tuple[Preamble, dict[str, str]]:
    """Preamble and headers without touching the data section."""

def validate(path: _Path) -> ValidateReport:
    """Reads every frame, checks the counters, the alignment and the checksums."""

def rebuild_headers(path: _Path, fix: bool = False) -> RebuildReport:
    """Derives the system headers from the data, and writes them back when asked."""

def repack(path: _Path, level: int = ..., header_area: int | None = None) -> RepackReport:
    """Re-encodes every frame at another level, atomically."""

def split_records(data: bytes, layout: RecordLayout) -> tuple[list[bytes], int]:
    """Splits raw bytes into records. Returns the records and the torn leftover."""

def xxh64(data: bytes) -> int:
    """XXH64 with seed 0 — the hash the frame checksums use."""

def max_frames_for(header_area: int) -> int:
    """Roughly how many frames a header zone of this size can list."""

class TarvelError(Exception):
    """Base of every error this package raises."""

class TarvelMalformedError(TarvelError):
    """The file is not a well-formed container."""

class TarvelUsageError(TarvelError):
    """The calling code asked for something it may not."""

class TarvelZoneFullError(TarvelError):
    """The header zone cannot hold the headers."""

class TarvelCompressionError(TarvelError):
    """zstd refused to compress or decompress."""

VERSION: Final[int]
EXTENSION: Final[str]
DEFAULT_HEADER_AREA: Final[int]
MAX_HEADER_AREA: Final[int]
HOT_LEVEL: Final[int]
COLD_LEVEL: Final[int]
__version__: Final[str]
