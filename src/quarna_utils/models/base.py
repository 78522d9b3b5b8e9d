from typing import Optional

from pydantic import BaseModel, ConfigDict, PrivateAttr

from quarna_utils.models.data_models.reference import Reference


class ModelMetadata(BaseModel):
    """What the platform records about a stored object besides its fields."""

    reference: Optional[Reference] = None


class ModelBase(BaseModel):
    """Base class of stored objects; the metadata is held apart from the model's fields."""

    model_config = ConfigDict(arbitrary_types_allowed=True)

    _metadata: ModelMetadata = PrivateAttr(default_factory=ModelMetadata)

    def get_metadata(self) -> ModelMetadata:
        return self._metadata

    def set_reference(self, reference: Optional[Reference]) -> None:
        self._metadata.reference = reference
