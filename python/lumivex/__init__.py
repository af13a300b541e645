"""Sample points of a lightmap, from meshes held as NumPy arrays or read from mesh files.

For every texel of a grid (size x size, or width x height), the surface position and unit normal that
map to the texel's corner (or, with sample_point="centre", its centre) through the meshes' lightmap
UVs, and on request the triangle, mesh and barycentric weights behind each texel. Columns follow u and
rows follow v, with no flip (v = 0 is row 0); arrays of samples are indexed [row, col].
"""

try:
    import numpy as _numpy  # noqa: F401  (every array the module takes or gives is a NumPy array)
except ImportError as _missing:
    raise ImportError(
        "lumivex needs NumPy, which this Python cannot import: install it (Debian: apt install python3-numpy; "
        "elsewhere: python3 -m pip install numpy) and import lumivex again"
    ) from _missing

from ._lumivex import (  # noqa: E402,F401
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

try:  # the baker, where the module was built with it
    from ._lumivex import bake  # noqa: E402,F401
except ImportError:
    pass

DamagedFile.__module__ = __name__
Samples.__module__ = __name__

__all__ = ["DamagedFile", "bake", "Samples", "check_layout", "generate_lightmap_uvs", "write_mesh", "read_mesh", "read_mesh_buffer", "read_samples", "sample", "sample_file", "__version__"]
if "bake" not in globals():
    __all__.remove("bake")
