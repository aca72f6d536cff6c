"""The errors of the document store that other store modules raise too."""


class StoreFormatError(ValueError):
    """A directory that is not a document store of this version, or was altered."""
