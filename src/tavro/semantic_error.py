"""The package's error for model errors."""


class SemanticError(Exception):
    """A model or data file that the compiler rejects; str() is the message."""
