from typing import Optional

from pydantic import BaseModel


class Reference(BaseModel):
    """The address of one stored object, optionally pinned to a version."""

    object_id: str
    object_version: Optional[str] = None
    class_name: Optional[str] = None
