from typing import List

from pydantic import BaseModel, Field


class QuerySpecifier(BaseModel):
    """Which fields a read returns (``only``) and which of them are selected as distinct."""

    only: List[str] = Field(default_factory=list)
    distinct: List[str] = Field(default_factory=list)
