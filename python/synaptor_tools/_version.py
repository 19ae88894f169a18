# The one version of the distribution: pyproject.toml reads it from here.
__version__ = "0.2.0"
