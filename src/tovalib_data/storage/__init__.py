"""A graph on disk: what a saved graph is (`layout`), saving it (`save`) and
loading it back (`load`)."""

from tovalib_data.storage.layout import MAX_REPORT_DEPTH, GraphFileError, check_layout
from tovalib_data.storage.load import load
from tovalib_data.storage.save import check_save_target, save

__all__ = ["MAX_REPORT_DEPTH", "GraphFileError", "check_layout", "check_save_target", "load",
           "save"]
