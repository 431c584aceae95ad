"""pemux-service: a solving service for the pemux module on one machine."""


def _version() -> str:
    # One number for module and service: the package's, as installed.
    from importlib import metadata

    try:
        return metadata.version("pemux")
    except metadata.PackageNotFoundError:  # run from a source tree
        return "0+unknown"


__version__ = _version()
