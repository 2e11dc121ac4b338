"""The release, read by the build for the distribution's metadata as well."""

__version__ = "0.2.0"
