"""Store roots on object storage and other fsspec file systems.

`lumora.settings.get_simulations_dir` hands the extension a `StorePath` when
LUMORA_SIMULATIONS_DIR holds a URL; `store_path` picks its class for the
URL's scheme: `S3StorePath` (lumora.remote.s3) for s3:// and s3a://,
`LocalURLPath` (lumora.remote.local) for file:// and local://, the generic
`StorePath` (lumora.remote.generic) for any other fsspec file system. The
read-ahead window of listings is lumora.remote.window's.

Needs the optional dependencies: ``pip install 'lumora[remote]'``.
"""

from __future__ import annotations

from lumora.remote.generic import StorePath, split_url
from lumora.remote.local import LocalURLPath
from lumora.remote.s3 import S3StorePath
from lumora.remote.window import DEFAULT_WINDOW, remote_window

__all__ = ["DEFAULT_WINDOW", "LocalURLPath", "S3StorePath", "StorePath", "remote_window", "store_path"]

_CLASSES: dict[str, type[StorePath]] = {
    "s3": S3StorePath,
    "s3a": S3StorePath,
    "file": LocalURLPath,
    "local": LocalURLPath,
}


def store_path(url: str) -> StorePath:
    """The store root that url names.

    Raises ImportError when the fsspec driver for the URL's scheme (such as
    s3fs for s3://) is not installed, ValueError for a scheme fsspec does not
    know or an S3 URL without a bucket.
    """
    return _CLASSES.get(split_url(url)[0], StorePath).for_url(url)
