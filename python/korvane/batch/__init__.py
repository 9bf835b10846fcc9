"""Batches of molecules: one JSON-ready record per molecule, compound files in and out, the
local process pool and the Dask path."""
from .record import RECORD_KEYS, SCHEMA_VERSION, error_record, predict_record
from .predict import analyse_item, lost_record, predict_many
