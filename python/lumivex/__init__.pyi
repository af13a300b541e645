from os import PathLike
from typing import Callable, Optional, Union

import numpy as np
import numpy.typing as npt

__version__: str

_Path = Union[str, bytes, PathLike[str], PathLike[bytes]]

class DamagedFile(ValueError):
    """A mesh or samples file that is cut short or holds a count no valid file has."""

    reason: str
    """Why, as the lumivex command prints it: "index array cut short at byte 208"."""
    offset: int
    """The byte offset in the file where the problem was found."""
    path: Optional[str]

class Samples:
    """A size x size grid of samples, indexed [row, col]."""

    @property
    def size(self) -> int: ...
    @property
    def positions(self) -> npt.NDArray[np.float32]:
        """(size, size, 3) float32 view of the surface positions."""
    @property
    def normals(self) -> npt.NDArray[np.float32]:
        """(size, size, 3) float32 view of the unit normals."""
    @property
    def covered(self) -> npt.NDArray[np.bool_]:
        """(size, size): True where a triangle covers the texel."""
    def save(self, path: _Path) -> None:
        """Writes the samples file: complete or not at all."""

def read_mesh(path: _Path) -> list[list[dict]]:
    """Reads a mesh file into groups of meshes: dicts with vertex_size, vertex_stride, format_kind,
    vertex_count, index_count, sampled, records, vertices ((n, 10) float32 or None) and indices (uint16)."""

def read_mesh_buffer(buffer: Union[bytes, bytearray, memoryview, npt.NDArray[np.generic]]) -> list[list[dict]]:
    """Reads a mesh file's contents from an object holding bytes, as read_mesh reads a file."""

def sample(
    positions: npt.ArrayLike,
    normals: npt.ArrayLike,
    lightmap_uv: npt.ArrayLike,
    triangles: npt.ArrayLike,
    size: int,
    threads: int = 0,
    progress: Optional[Callable[[float], object]] = None,
) -> Samples:
    """Samples one mesh: positions (n, 3), normals (n, 3), lightmap_uv (n, 2), triangles (m, 3) into a
    size x size grid (1 to 16384). Raises ValueError naming a bad argument."""

def sample_file(
    path: _Path, size: int, threads: int = 0, progress: Optional[Callable[[float], object]] = None
) -> Samples:
    """Samples the first group of a mesh file, exactly as the lumivex command does."""

def read_samples(path: _Path) -> Samples:
    """Reads a samples file of any size."""
