"""Local stand-in for the drive service: listings, download addresses and
lazily generated downloads over real HTTP, with a request log, faults, a rate
limit and a cookie that dies."""

from .drive import (Drive, File, Folder, PREFIX_BYTES, expected_line, full_sha1, load,
                    prefix_sha1)
from .faults import FAULTS, KINDS, Faults
from .limits import CookieLife, Limits, TokenBucket
from .log import Log, Record
from .route import API_HOST, APS_HOST, DEFAULT_HOSTS, SITE_HOST, Router
from .server import StandIn

__all__ = ["Drive", "File", "Folder", "PREFIX_BYTES", "expected_line", "full_sha1", "load",
           "prefix_sha1", "FAULTS", "KINDS", "Faults", "CookieLife",
           "Limits", "TokenBucket", "Log", "Record", "API_HOST",
           "APS_HOST", "DEFAULT_HOSTS", "SITE_HOST", "Router", "StandIn"]
