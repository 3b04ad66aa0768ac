"""The version of the toviipc package: the project's version, which the build checks."""

__version__ = "0.1.0"
