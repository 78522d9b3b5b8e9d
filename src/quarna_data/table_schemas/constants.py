# Columns of every model table that hold an object's id and its version.
PRIMARY_PARTITION_KEY = "partition_key"
SECONDARY_PARTITION_KEY = "range_key"
