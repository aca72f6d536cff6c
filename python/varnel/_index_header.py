"""The header of an index file, read without loading its codes.

A file starts with the magic ("VNIX" for a ``SkerryIndex``, "VNIM" for an
``IdMapIndex``), a version byte, then bits, rotation tag, dim and count; the
codes and norms follow, then the 64-bit seed, then (VNIM only) one 64-bit id
per vector. All integers are little-endian. Bytes after the last field are
allowed, so only a file shorter than its header announces is broken. Files
written today end with a 16-byte integrity trailer: "VNCK", the number of bytes
it covers (everything before it) and their CRC-32C.

Files of the mapped layout (``write(path, layout="mapped")``, see
docs/formats.md) start with "VMAP"; their 64-byte header names the kind, the
shape and the file's size, and is checked against its own CRC-32C here.
"""

from __future__ import annotations

import os
import struct
from dataclasses import dataclass
from typing import BinaryIO

from varnel._cli_common import CliError
from varnel._cli_inputs import require_readable_file

KINDS = {b"VNIX": "SkerryIndex", b"VNIM": "IdMapIndex"}
ROTATION_TAGS = {2: "planar2", 3: "rotor3", 4: "iso4", 5: "walshrotor3"}
FORMAT_VERSION = 2
FIXED_PART = 15  # magic, version, bits, tag, dim, count
TRAILER = struct.Struct("<4sQI")  # tag, covered bytes, CRC-32C
TRAILER_TAG = b"VNCK"
MAPPED_MAGIC = b"VMAP"
MAPPED_KINDS = {1: "SkerryIndex", 2: "IdMapIndex", 3: "PartitionedIndex"}
MAPPED_HEADER = struct.Struct("<4sBBBBIIQQQI20x")  # see docs/formats.md
MAPPED_SECTION = struct.Struct("<4sIQQQ")  # tag, group, offset, size, count


@dataclass(frozen=True)
class IndexHeader:
    path: str
    magic: str
    version: int
    bits: int
    rotation: str
    dim: int
    count: int
    seed: int
    file_bytes: int
    checksummed: bool = False
    layout: str = "rows"
    mapped_kind: int = 0

    @property
    def kind(self) -> str:
        if self.layout == "mapped":
            return MAPPED_KINDS[self.mapped_kind]
        return KINDS[self.magic.encode()]

    @property
    def has_ids(self) -> bool:
        return self.magic == "VNIM" or self.mapped_kind in (2, 3)

    @property
    def code_bytes_per_vector(self) -> int:
        return self.dim // 8 * self.bits

    @property
    def bytes_per_vector(self) -> int:
        """Codes, norm and (VNIM) id of one vector, as stored in the file (without block padding)."""
        lookup = 16 if self.has_ids and self.layout == "mapped" else 0  # the sorted (id, position) table
        return self.code_bytes_per_vector + 4 + (8 if self.has_ids else 0) + lookup

    @property
    def announced_bytes(self) -> int:
        if self.layout == "mapped":
            return self.file_bytes - TRAILER.size
        return FIXED_PART + 8 + self.count * self.bytes_per_vector

    def as_dict(self) -> dict[str, object]:
        return {
            "path": self.path,
            "kind": self.kind,
            "format": self.magic,
            "version": self.version,
            "dim": self.dim,
            "bits": self.bits,
            "rotation": self.rotation,
            "seed": self.seed,
            "vectors": self.count,
            "file_bytes": self.file_bytes,
            "bytes_per_vector": self.bytes_per_vector,
            "code_bytes_per_vector": self.code_bytes_per_vector,
            "trailing_bytes": self.file_bytes - self.announced_bytes,
            "checksummed": self.checksummed,
            "layout": self.layout,
        }


def read_header(path: str) -> IndexHeader:
    """Reads and checks the header; fails on anything a load would refuse or misread."""
    require_readable_file(path)
    size = os.path.getsize(path)
    with open(path, "rb") as file:
        head = file.read(FIXED_PART)
        magic, version = head[:4], head[4:5]
        if magic == MAPPED_MAGIC:
            return read_mapped_header(path, file, size)
        if magic not in KINDS:
            raise CliError(f"{path}: not a varnel index file (no VNIX or VNIM magic)")
        if len(head) < FIXED_PART:
            raise CliError(f"{path}: truncated index file ({size} bytes)")
        if version[0] != FORMAT_VERSION:
            raise CliError(f"{path}: unsupported {magic.decode()} version {version[0]}")
        bits, tag = head[5], head[6]
        dim, count = struct.unpack("<II", head[7:15])
        if tag not in ROTATION_TAGS:
            raise CliError(f"{path}: unknown rotation tag {tag}")
        if bits not in (2, 3, 4) or dim == 0 or dim % 8:
            raise CliError(f"{path}: the header holds bits {bits} and dim {dim}, which no index has")
        header = IndexHeader(path, magic.decode(), version[0], bits, ROTATION_TAGS[tag], dim, count, 0, size)
        if size < header.announced_bytes:
            raise CliError(
                f"{path}: truncated: the header announces {header.announced_bytes:,} bytes, the file holds {size:,}"
            )
        file.seek(FIXED_PART + count * (header.code_bytes_per_vector + 4))
        (seed,) = struct.unpack("<Q", file.read(8))
        checksummed = has_trailer(file, header)
    return IndexHeader(path, magic.decode(), version[0], bits, ROTATION_TAGS[tag], dim, count, seed, size, checksummed)


def read_mapped_header(path: str, file: BinaryIO, size: int) -> IndexHeader:
    """The header of a mapped-layout file, with the checks `open` makes on it."""
    file.seek(0)
    head = file.read(MAPPED_HEADER.size)
    if len(head) < MAPPED_HEADER.size or size < MAPPED_HEADER.size + TRAILER.size:
        raise CliError(f"{path}: truncated index file ({size} bytes)")
    magic, version, kind, bits, tag, dim, sections, count, seed, announced, checksum = MAPPED_HEADER.unpack(head)
    if version != 1:
        raise CliError(f"{path}: unsupported {magic.decode()} version {version}")
    table = file.read(MAPPED_SECTION.size * min(sections, 1024))
    if sections > 1024 or len(table) < MAPPED_SECTION.size * sections:
        raise CliError(f"{path}: damaged: the section table is cut short")
    if crc32c(head[:40] + table) != checksum:
        raise CliError(f"{path}: damaged: header checksum mismatch")
    if announced != size:
        raise CliError(f"{path}: truncated or damaged: the header announces {announced:,} bytes, the file holds {size:,}")
    if kind not in MAPPED_KINDS or tag not in ROTATION_TAGS:
        raise CliError(f"{path}: unknown index kind {kind} or rotation tag {tag}")
    if bits not in (2, 3, 4) or dim == 0 or dim % 8:
        raise CliError(f"{path}: the header holds bits {bits} and dim {dim}, which no index has")
    file.seek(size - TRAILER.size)
    trailer_tag, covered, _ = TRAILER.unpack(file.read(TRAILER.size))
    checksummed = trailer_tag == TRAILER_TAG and covered == size - TRAILER.size
    return IndexHeader(
        path, magic.decode(), version, bits, ROTATION_TAGS[tag], dim, count, seed, size, checksummed, "mapped", kind
    )


def crc32c(data: bytes) -> int:
    """CRC-32C (Castagnoli), bitwise: only a header's few hundred bytes pass through it."""
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ (0x82F63B78 if crc & 1 else 0)
    return crc ^ 0xFFFFFFFF


def has_trailer(file: BinaryIO, header: IndexHeader) -> bool:
    """Whether the file ends with an integrity trailer; one that covers a length other
    than the header announces means a damaged header, which a load refuses too."""
    if header.file_bytes < header.announced_bytes + TRAILER.size:
        return False
    file.seek(header.file_bytes - TRAILER.size)
    tag, covered, _ = TRAILER.unpack(file.read(TRAILER.size))
    if tag != TRAILER_TAG:
        return False
    if covered != header.announced_bytes:
        raise CliError(
            f"{header.path}: damaged: the header announces {header.announced_bytes:,} bytes of data, "
            f"the integrity trailer covers {covered:,}"
        )
    return True
