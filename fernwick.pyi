# Interface of the fernwick extension module, for editors and type checkers.
import configparser as configparser
import hashlib as hashlib
import json as json
import math as math
import queue as queue
import threading as threading
import time as time
from typing import Any, Dict, List, Union

import requests as requests
from _thread import LockType

_FolderId = Union[str, int]

sha1list: List[str]
cidlist: List[_FolderId]
encodinglist: List[str]
lock: LockType
__test__: Dict[Any, Any]

class mythread(threading.Thread):
    cookie: str
    cid: _FolderId
    q: "queue.Queue[str]"
    def __init__(self, q: "queue.Queue[str]", cookie: str, cid: _FolderId) -> None: ...
    def run(self) -> None: ...

def run_down(q: "queue.Queue[str]", cookie: str, cid: _FolderId) -> None: ...
def get_url(pickcode: str, cookie: str) -> Any: ...
def get_preid(url: str, cookie: str, cid: _FolderId) -> str: ...
def get_sha1list(cid: _FolderId, type: str, cookie: str) -> Any: ...
def get_cidlist(cid: _FolderId, cookie: str) -> None: ...
def main() -> None: ...
