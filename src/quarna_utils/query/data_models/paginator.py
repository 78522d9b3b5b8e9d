from typing import Optional

from pydantic import BaseModel


class NumberPaginator(BaseModel):
    """Page by position: ``limit`` None means no limit, a missing offset starts at the first row."""

    limit: Optional[int] = None
    offset: Optional[int] = None


class CursorPaginator(BaseModel):
    """Page by an opaque cursor handed out with the previous page."""

    cursor: Optional[str] = None
    limit: Optional[int] = None
