class QuarnaConnectionError(Exception):
    """A request that the storage connection cannot carry out."""
