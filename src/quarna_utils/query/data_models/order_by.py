from pydantic import BaseModel

from quarna_utils.query.enums import OrderDirection


class OrderBy(BaseModel):
    field_name: str
    direction: OrderDirection = OrderDirection.ASC
