"""Sample points of a lightmap, from meshes held as NumPy arrays or read from mesh files.

For every texel of a grid (size x size, or width x height), the surface position and unit normal that
map to the texel's corner (or, with sample_point="centre", its centre) through the meshes' lightmap
UVs, and on request the triangle, mesh and barycentric weights behind each texel. Columns follow u and
rows follow v, with no flip (v = 0 is row 0); arrays of samples are indexed [row, col].
"""

from ._lumivex import (  # noqa: F401
    DamagedFile,
    Samples,
    __version__,
    check_layout,
    generate_lightmap_uvs,
    read_mesh,
    read_mesh_buffer,
    read_samples,
    sample,
    sample_file,
    write_mesh,
)

DamagedFile.__module__ = __name__
Samples.__module__ = __name__

__all__ = ["DamagedFile", "Samples", "check_layout", "generate_lightmap_uvs", "write_mesh", "read_mesh", "read_mesh_buffer", "read_samples", "sample", "sample_file", "__version__"]
