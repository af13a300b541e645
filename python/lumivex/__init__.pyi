from os import PathLike
from typing import Callable, Literal, Optional, Sequence, Tuple, TypedDict, Union, overload

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

_Size = Union[int, tuple[int, int]]

class Samples:
    """A grid of samples, height rows of width texels, indexed [row, col]."""

    @property
    def size(self) -> Union[int, tuple[int, int]]:
        """Texels on a side for a square grid, else (width, height)."""
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def positions(self) -> npt.NDArray[np.float32]:
        """(height, width, 3) float32 view of the surface positions."""
    @property
    def normals(self) -> npt.NDArray[np.float32]:
        """(height, width, 3) float32 view of the unit normals."""
    @property
    def covered(self) -> npt.NDArray[np.bool_]:
        """(height, width), read-only: True where a triangle wrote the texel. Computed once."""
    @property
    def triangle_ids(self) -> Optional[npt.NDArray[np.uint32]]:
        """(height, width): each texel's triangle within its mesh, 0xFFFFFFFF where uncovered; None unless ids=True."""
    @property
    def mesh_ids(self) -> Optional[npt.NDArray[np.uint32]]:
        """(height, width): each texel's mesh, 0xFFFFFFFF where uncovered; None unless ids=True."""
    @property
    def barycentrics(self) -> Optional[npt.NDArray[np.float32]]:
        """(height, width, 2): weights w1, w2 of the triangle's second and third corners; None unless asked for."""
    @property
    def stats(self) -> dict[str, int]:
        """covered_texels, zero_normals, non_finite_normals, small_triangles_placed."""
    def save(self, path: _Path) -> None:
        """Writes the samples file (positions and normals): complete or not at all."""

def read_mesh(path: _Path) -> list[list[dict]]:
    """Reads a mesh file into groups of meshes: dicts with vertex_size, vertex_stride, format_kind,
    vertex_count, index_count, sampled, records, vertices ((n, 10) float32 or None) and indices (uint16)."""

def read_mesh_buffer(buffer: Union[bytes, bytearray, memoryview, npt.NDArray[np.generic]]) -> list[list[dict]]:
    """Reads a mesh file's contents from an object holding bytes, as read_mesh reads a file."""

@overload
def sample(
    positions: npt.ArrayLike,
    normals: npt.ArrayLike,
    lightmap_uv: npt.ArrayLike,
    triangles: npt.ArrayLike,
    size: _Size,
    *,
    sample_point: Literal["corner", "centre"] = "corner",
    ids: bool = False,
    barycentrics: bool = False,
    cover_small_triangles: bool = False,
    threads: int = 0,
    progress: Optional[Callable[[float], object]] = None,
) -> Samples:
    """Samples one mesh: positions (n, 3), normals (n, 3), lightmap_uv (n, 2), triangles (m, 3) into a
    size x size or (width, height) grid (1 to 16384 each). float32 column slices of an interleaved buffer
    are read in place. Raises ValueError naming a bad argument."""

@overload
def sample(
    meshes: Sequence[dict],
    size: _Size,
    *,
    sample_point: Literal["corner", "centre"] = "corner",
    ids: bool = False,
    barycentrics: bool = False,
    cover_small_triangles: bool = False,
    threads: int = 0,
    progress: Optional[Callable[[float], object]] = None,
) -> Samples:
    """Samples several meshes in order (later ones win): a list of mesh dicts, as read_mesh gives a group."""

@overload
def bake(
    positions: npt.ArrayLike,
    normals: npt.ArrayLike,
    lightmap_uv: npt.ArrayLike,
    triangles: npt.ArrayLike,
    size: _Size,
    *,
    sun: Optional[Sequence[float]] = None,
    sky: Optional[Sequence[float]] = None,
    horizon: Optional[Sequence[float]] = None,
    ao: bool = False,
    ao_distance: float = 0.0,
    rays: int = 64,
    bounces: int = 0,
    albedo: float = 0.5,
    seed: int = 0,
    dilate: int = 2,
    threads: int = 0,
    progress: Optional[Callable[[float], object]] = None,
) -> Tuple[npt.NDArray[np.float32], npt.NDArray[np.bool_]]:
    """Bakes light into a lightmap (where the module was built with the baker): (image, valid)."""

@overload
def bake(
    meshes: Sequence[dict],
    size: _Size,
    *,
    sun: Optional[Sequence[float]] = None,
    sky: Optional[Sequence[float]] = None,
    horizon: Optional[Sequence[float]] = None,
    ao: bool = False,
    ao_distance: float = 0.0,
    rays: int = 64,
    bounces: int = 0,
    albedo: float = 0.5,
    seed: int = 0,
    dilate: int = 2,
    threads: int = 0,
    progress: Optional[Callable[[float], object]] = None,
) -> Tuple[npt.NDArray[np.float32], npt.NDArray[np.bool_]]:
    """Bakes several meshes (a list of mesh dicts, as read_mesh gives a group) into one lightmap."""

def sample_file(
    path: _Path,
    size: _Size,
    threads: int = 0,
    progress: Optional[Callable[[float], object]] = None,
    *,
    sample_point: Literal["corner", "centre"] = "corner",
    ids: bool = False,
    barycentrics: bool = False,
    cover_small_triangles: bool = False,
) -> Samples:
    """Samples the first group of a mesh file, exactly as the lumivex command does with the default options."""

def read_samples(path: _Path) -> Samples:
    """Reads a samples file of any size."""

class _MeshArrays(TypedDict):
    xref: npt.NDArray[np.uint32]
    """Per new vertex, the input vertex it copies (position, normal, everything)."""
    triangles: npt.NDArray[np.uint32]
    """(m, 3): the input triangles over the new vertices, in the input's order."""
    uvs: npt.NDArray[np.float32]
    """(k, 2): each new vertex's lightmap coordinates, within [0, 1]."""
    chart_ids: npt.NDArray[np.uint32]
    """Per triangle, its chart (0xFFFFFFFF for a triangle of no area, in no chart)."""

class _LayoutFigures(TypedDict):
    charts: int
    texels_per_unit: float
    covered_share: float
    """The share of the square's texel corners inside some triangle."""
    snapped_vertices: int
    unsampled_triangles: int
    unsampled_area_share: float
    smallest_sampling_size: Optional[int]
    """The smallest size at which every triangle holds a sample; None when none up to 16384 does."""

class _GeneratedLayout(_MeshArrays, _LayoutFigures):
    """One mesh's layout and the layout's figures."""

class _MeshLayout(_MeshArrays):
    texels_per_unit: float
    """The mesh's own density: above the layout's for a finely divided mesh that would lose much otherwise."""

class _GeneratedLayouts(_LayoutFigures):
    meshes: list[_MeshLayout]

class _LayoutCounts(TypedDict):
    triangles: int
    outside: int
    zero_area: int
    unsampled_triangles: int
    unsampled_area_share: float
    overlap: int
    """Texels inside two or more triangles."""

class _LayoutCheck(_LayoutCounts):
    size: int
    covered_texels: int
    smallest_sampling_size: Optional[int]
    meshes: list[_LayoutCounts]
    """The same counts per mesh, in the order given."""

@overload
def generate_lightmap_uvs(
    positions: list[npt.NDArray[np.floating]],
    triangles: Sequence[npt.ArrayLike],
    size: int = 512,
    padding: int = 2,
    normals: Optional[Sequence[npt.ArrayLike]] = None,
    *,
    texels_per_unit: float = 0.0,
    max_chart_angle: float = 60.0,
    threads: int = 0,
    progress: Optional[Callable[[float], object]] = None,
    kept: Optional[Sequence[dict]] = None,
) -> _GeneratedLayouts:
    """Lays out several meshes in one square: lists of positions (each (n, 3)), triangles and normals."""

@overload
def generate_lightmap_uvs(
    positions: npt.ArrayLike,
    triangles: npt.ArrayLike,
    size: int = 512,
    padding: int = 2,
    normals: Optional[npt.ArrayLike] = None,
    *,
    texels_per_unit: float = 0.0,
    max_chart_angle: float = 60.0,
    threads: int = 0,
    progress: Optional[Callable[[float], object]] = None,
    kept: Optional[Sequence[dict]] = None,
) -> _GeneratedLayout:
    """Makes a lightmap layout for a mesh without one: positions (n, 3), triangles (m, 3), in a size x size
    square with padding texels between charts and from the border. texels_per_unit 0 takes the largest
    density that fits; another is kept or refused (ValueError). kept: meshes already laid out in the square
    (dicts with positions, triangles and lightmap_uv, or as read_mesh gives them), whose texels the new
    charts keep clear of. The GIL is released and Ctrl-C stops it."""

def check_layout(
    positions: Union[npt.ArrayLike, Sequence[npt.ArrayLike]],
    triangles: Union[npt.ArrayLike, Sequence[npt.ArrayLike]],
    uvs: Union[npt.ArrayLike, Sequence[npt.ArrayLike]],
    size: int,
) -> _LayoutCheck:
    """Checks a lightmap layout at size exactly as the sampler sees it: one mesh as arrays (positions (n, 3),
    triangles (m, 3), uvs (n, 2)) or several as lists of them."""

def write_mesh(path: _Path, groups: Union[Sequence[dict], Sequence[Sequence[dict]]]) -> None:
    """Writes a mesh file that the lumivex command reads (it samples the first group): a list of groups of
    mesh dicts, or one list of mesh dicts for one group. Complete or not at all."""
