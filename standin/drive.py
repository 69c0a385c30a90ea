"""Virtual drive served by the stand-in.

A drive is a tree of folders holding files.  File contents are never stored:
byte ``i`` of a file is byte ``i % BLOCK`` of a pseudo-random block derived
from the drive seed and the file's pickcode, so any range of any size can be
produced on demand (a 64 GiB file costs one 64 KiB block).
"""

import hashlib
import json
import random
import threading
from collections import OrderedDict

from .limits import check_retry_after

PREFIX_BYTES = 131072          # how much of each file the client hashes
BLOCK = 65521                  # repeating block length (prime: no alignment with PREFIX_BYTES)
REAL_SHA_LIMIT = 64 << 20      # above this the listed SHA-1 is a stable fake
EMPTY_SHA1 = hashlib.sha1(b"").hexdigest().upper()

# Per-file serving options and their defaults.
FILE_OPTIONS = OrderedDict([
    ("chunked", False),    # Transfer-Encoding: chunked, 8 KiB chunks
    ("gzip", False),       # Content-Encoding: gzip
    ("status", None),      # answer the download with this HTTP status + HTML page
    ("address_status", None),  # answer the download-address request likewise
    ("retry_after", None),  # Retry-After of those two replies: seconds, or "past"
    ("latency", 0.0),      # seconds to wait before answering the download
    ("trickle", None),     # [bytes_per_write, pause_seconds]
    ("truncate", None),    # announce the full length, close after this many bytes
    ("ranges", True),      # honour a Range request header
])

# What File.refuse refuses, and the option that does it.
REFUSABLE = OrderedDict([("address", "address_status"), ("download", "status")])

_block_cache = OrderedDict()
_block_lock = threading.Lock()
_BLOCK_CACHE_MAX = 64


def _block(seed, pickcode):
    key = (seed, pickcode)
    with _block_lock:
        blk = _block_cache.get(key)
        if blk is not None:
            _block_cache.move_to_end(key)
            return blk
    blk = hashlib.shake_256(("standin|%s|%s" % (seed, pickcode)).encode("utf-8")).digest(BLOCK)
    with _block_lock:
        _block_cache[key] = blk
        while len(_block_cache) > _BLOCK_CACHE_MAX:
            _block_cache.popitem(last=False)
    return blk


class File(object):
    """A file of the drive; content is generated lazily."""

    def __init__(self, drive, parent, name, size, pickcode, fid, sha=None, **options):
        unknown = set(options) - set(FILE_OPTIONS)
        if unknown:
            raise ValueError("unknown file option(s): %s" % ", ".join(sorted(unknown)))
        if size < 0:
            raise ValueError("negative size for %r" % name)
        self.drive = drive
        self.parent = parent
        self.name = name
        self.size = int(size)
        self.pickcode = pickcode
        self.fid = fid
        self.sha_override = sha.upper() if sha else None
        self._sha = self.sha_override
        self._prefix = None
        for key, default in FILE_OPTIONS.items():
            setattr(self, key, options.get(key, default))
        if self.trickle is not None:
            n, pause = self.trickle
            self.trickle = (max(1, int(n)), float(pause))
        check_retry_after(self.retry_after)

    def __repr__(self):
        return "File(%r, size=%d, pickcode=%r)" % (self.name, self.size, self.pickcode)

    def refuse(self, what, status=503, retry_after=None):
        """Refuse this file's "address" request or its "download" for good,
        with `status` and that Retry-After (see check_retry_after)."""
        if what not in REFUSABLE:
            raise ValueError("a file refuses its %s" % " or its ".join(REFUSABLE))
        setattr(self, REFUSABLE[what], int(status))
        self.retry_after = check_retry_after(retry_after)

    @property
    def options(self):
        """Non-default serving options as a dict."""
        out = {}
        for key, default in FILE_OPTIONS.items():
            value = getattr(self, key)
            if value != default:
                out[key] = list(value) if isinstance(value, tuple) else value
        return out

    # -- content -----------------------------------------------------------
    def read(self, offset, length):
        """Bytes [offset, offset+length) of the content, clipped to the size."""
        end = min(self.size, offset + length)
        if offset >= end:
            return b""
        blk = _block(self.drive.seed, self.pickcode)
        out = []
        pos = offset
        while pos < end:
            start = pos % BLOCK
            n = min(BLOCK - start, end - pos)
            out.append(blk[start:start + n])
            pos += n
        return b"".join(out)

    def iter_content(self, start=0, end=None, piece=65536):
        """Yield the content of [start, end) in pieces of at most `piece` bytes."""
        end = self.size if end is None else min(end, self.size)
        pos = start
        while pos < end:
            n = min(piece, end - pos)
            yield self.read(pos, n)
            pos += n

    @property
    def prefix_sha1(self):
        if self._prefix is None:
            if self.size == 0:
                self._prefix = ""
            else:
                self._prefix = hashlib.sha1(self.read(0, PREFIX_BYTES)).hexdigest().upper()
        return self._prefix

    @property
    def real_sha1(self):
        """True upper-case SHA-1 of the whole content (costly for big files)."""
        h = hashlib.sha1()
        for piece in self.iter_content(piece=1 << 20):
            h.update(piece)
        return h.hexdigest().upper()

    @property
    def sha(self):
        """The SHA-1 the listing announces.

        Real for files up to drive.real_sha_limit bytes; above that a stable
        fake (the client copies the listed value, it never hashes whole
        files).  An explicit `sha` given at creation always wins.
        """
        if self._sha is None:
            if self.size <= self.drive.real_sha_limit:
                self._sha = self.real_sha1
            else:
                key = "standin-fake|%s|%s|%d" % (self.drive.seed, self.pickcode, self.size)
                self._sha = hashlib.sha1(key.encode("utf-8")).hexdigest().upper()
        return self._sha

    @property
    def expected_line(self):
        return "%s|%d|%s|%s" % (self.name, self.size, self.sha, self.prefix_sha1)

    def to_dict(self):
        d = OrderedDict([("name", self.name), ("size", self.size),
                         ("pickcode", self.pickcode), ("fid", self.fid)])
        if self.sha_override is not None:
            d["sha"] = self.sha_override
        d.update(self.options)
        return d


class Folder(object):
    def __init__(self, drive, cid, name, parent=None, api_fails=False, numeric=None):
        self.drive = drive
        self.cid = str(cid)
        self.name = name
        self.parent = parent
        self.api_fails = bool(api_fails)
        self.numeric = numeric      # None: follow drive.numeric_ids
        self.folders = []
        self.files = []

    def __repr__(self):
        return "Folder(%r, cid=%r)" % (self.name, self.cid)

    @property
    def pid(self):
        return self.parent.cid if self.parent is not None else "0"

    @property
    def items(self):
        """Sub-folders first, then files, in creation order."""
        return self.folders + self.files

    def add_folder(self, name, **kw):
        return self.drive.add_folder(self, name, **kw)

    def add_file(self, name, size, **kw):
        return self.drive.add_file(self, name, size, **kw)

    def walk(self):
        """Depth-first: this folder, then each sub-folder's walk."""
        yield self
        for sub in self.folders:
            for f in sub.walk():
                yield f

    def to_dict(self):
        d = OrderedDict([("cid", self.cid), ("name", self.name)])
        if self.api_fails:
            d["api_fails"] = True
        if self.numeric is not None:
            d["numeric"] = self.numeric
        d["folders"] = [f.to_dict() for f in self.folders]
        d["files"] = [f.to_dict() for f in self.files]
        return d


class Drive(object):
    """The whole virtual drive: folders by cid, files by pickcode."""

    def __init__(self, seed=0, root_cid="0", root_name="", numeric_ids=False,
                 real_sha_limit=REAL_SHA_LIMIT):
        self.seed = seed
        self.numeric_ids = numeric_ids
        self.real_sha_limit = real_sha_limit
        self._folders = {}
        self._files = OrderedDict()
        self._next_cid = 100
        self._next_fid = 2000000
        self.root = Folder(self, root_cid, root_name)
        self._folders[self.root.cid] = self.root

    # -- building ----------------------------------------------------------
    def add_folder(self, parent, name, cid=None, api_fails=False, numeric=None):
        if cid is None:
            while str(self._next_cid) in self._folders:
                self._next_cid += 1
            cid = self._next_cid
            self._next_cid += 1
        cid = str(cid)
        if cid in self._folders:
            raise ValueError("duplicate folder id %r" % cid)
        folder = Folder(self, cid, name, parent, api_fails, numeric)
        self._folders[cid] = folder
        parent.folders.append(folder)
        return folder

    def _make_pickcode(self, n):
        digest = hashlib.sha1(("pc|%s|%d" % (self.seed, n)).encode("utf-8")).hexdigest()
        return "pc" + digest[:16]

    def add_file(self, parent, name, size, pickcode=None, fid=None, sha=None, **options):
        n = len(self._files)
        if pickcode is None:
            pickcode = self._make_pickcode(n)
            while pickcode in self._files:
                n += 1
                pickcode = self._make_pickcode(n)
        if pickcode in self._files:
            raise ValueError("duplicate pickcode %r" % pickcode)
        if fid is None:
            fid = str(self._next_fid)
            self._next_fid += 1
        f = File(self, parent, name, size, pickcode, str(fid), sha, **options)
        self._files[pickcode] = f
        parent.files.append(f)
        return f

    # -- lookup ------------------------------------------------------------
    def folder(self, cid):
        return self._folders.get(str(cid))

    def file(self, pickcode):
        return self._files.get(pickcode)

    def folders(self):
        return list(self.root.walk())

    def files(self):
        """Every file, folder by folder in depth-first order."""
        return [f for folder in self.root.walk() for f in folder.files]

    def expected_lines(self):
        return [f.expected_line for f in self.files()]

    # -- listing -----------------------------------------------------------
    def _emit_cid(self, folder):
        numeric = self.numeric_ids if folder.numeric is None else folder.numeric
        if numeric and folder.cid.isdigit():
            return int(folder.cid)
        return folder.cid

    def item_json(self, item):
        if isinstance(item, Folder):
            parent = item.parent
            pid = self._emit_cid(parent) if parent is not None else 0
            return OrderedDict([("cid", self._emit_cid(item)), ("n", item.name), ("pid", pid)])
        return OrderedDict([("n", item.name), ("s", item.size), ("sha", item.sha),
                            ("pc", item.pickcode), ("fid", item.fid),
                            ("cid", self._emit_cid(item.parent))])

    def listing(self, cid, offset, limit):
        """(count, [item json]) for items [offset, offset+limit) of folder `cid`.

        Raises KeyError for an unknown folder.
        """
        folder = self._folders[str(cid)]
        items = folder.items
        return len(items), [self.item_json(i) for i in items[offset:offset + max(0, limit)]]

    # -- (de)serialisation ------------------------------------------------
    def to_dict(self):
        return OrderedDict([("seed", self.seed), ("numeric_ids", self.numeric_ids),
                            ("root", self.root.to_dict())])

    @classmethod
    def from_dict(cls, d):
        """Build from {"seed", "numeric_ids", "root": {folder}}.

        folder: {"cid"?, "name"?, "api_fails"?, "numeric"?, "folders": [...],
        "files": [{"name", "size", "pickcode"?, "fid"?, "sha"?, <options>}]}
        """
        root = d.get("root", {})
        drive = cls(seed=d.get("seed", 0), root_cid=str(root.get("cid", "0")),
                    root_name=root.get("name", ""), numeric_ids=d.get("numeric_ids", False),
                    real_sha_limit=d.get("real_sha_limit", REAL_SHA_LIMIT))
        drive.root.api_fails = bool(root.get("api_fails", False))
        drive.root.numeric = root.get("numeric")

        def fill(folder, desc):
            for fs in desc.get("files", []):
                fs = dict(fs)
                drive.add_file(folder, fs.pop("name"), fs.pop("size"), **fs)
            for sub in desc.get("folders", []):
                child = drive.add_folder(folder, sub.get("name", ""), cid=sub.get("cid"),
                                         api_fails=sub.get("api_fails", False),
                                         numeric=sub.get("numeric"))
                fill(child, sub)

        fill(drive.root, root)
        return drive

    @classmethod
    def from_json(cls, path):
        with open(path, "r", encoding="utf-8") as fh:
            return cls.from_dict(json.load(fh))

    # -- generators --------------------------------------------------------
    @staticmethod
    def _size_fn(size, seed):
        if callable(size):
            return size
        if size is not None:
            return lambda i: size
        rng = random.Random(seed)
        specials = [0, 1, PREFIX_BYTES - 1, PREFIX_BYTES, PREFIX_BYTES + 1]
        table = {}

        def pick(i):
            if i not in table:
                table[i] = specials[i] if i < len(specials) else rng.randint(1, 3 * PREFIX_BYTES)
            return table[i]
        return pick

    @classmethod
    def flat(cls, n_files, size=None, seed=0, **drive_kw):
        """Root with `n_files` files "file-00001.bin"...; size: int, callable(i) or
        None for deterministic mixed sizes (0, 1, around 128 KiB, up to 384 KiB)."""
        drive = cls(seed=seed, **drive_kw)
        size_of = cls._size_fn(size, seed)
        for i in range(n_files):
            drive.add_file(drive.root, "file-%05d.bin" % (i + 1), size_of(i))
        return drive

    @classmethod
    def tree(cls, n_folders, files_per_folder, fanout=3, depth=None, size=None, seed=0,
             **drive_kw):
        """`n_folders` folders below the root, filled breadth-first with at most
        `fanout` sub-folders each (and at most `depth` levels, if given); every
        folder, the root included, holds `files_per_folder` files."""
        drive = cls(seed=seed, **drive_kw)
        size_of = cls._size_fn(size, seed)
        queue = [(drive.root, 0)]
        made = 0
        head = 0
        while made < n_folders:
            if head >= len(queue):
                raise ValueError("cannot fit %d folders with fanout=%d depth=%s"
                                 % (n_folders, fanout, depth))
            parent, level = queue[head]
            head += 1
            if depth is not None and level >= depth:
                continue
            for _ in range(fanout):
                if made >= n_folders:
                    break
                made += 1
                child = drive.add_folder(parent, "dir-%04d" % made)
                queue.append((child, level + 1))
        k = 0
        for folder in drive.root.walk():
            for j in range(files_per_folder):
                drive.add_file(folder, "f%04d-%03d.dat" % (k, j + 1), size_of(k))
                k += 1
        return drive

    @classmethod
    def sizes(cls, sizes=None, seed=0, **drive_kw):
        """Root with one file "size-<n>.bin" per size (default: a range of edge sizes)."""
        if sizes is None:
            sizes = DEFAULT_SIZES
        drive = cls(seed=seed, **drive_kw)
        for n in sizes:
            name = "size-%d.bin" % n
            k = 2
            while any(f.name == name for f in drive.root.files):
                name = "size-%d-%d.bin" % (n, k)
                k += 1
            drive.add_file(drive.root, name, n)
        return drive

    @classmethod
    def sample(cls):
        """The bundled demo drive (fully deterministic)."""
        d = cls(seed=20240607)
        root = d.root
        docs = root.add_folder(u"文档")
        resumes = docs.add_folder(u"Résumés")
        summer = resumes.add_folder(u"Été 2023")
        summer.add_file(u"café-menu.pdf", 48213)
        summer.add_file(u"报告-final.docx", PREFIX_BYTES + 1)
        resumes.add_file(u"Zoë's CV.txt", 1000)
        docs.add_file(u"说明.txt", 2345)

        photos = root.add_folder("Photos 2019")
        rng = random.Random(7)
        for day in (1, 2, 3):
            sub = photos.add_folder("Day %d" % day)
            for k in (1, 2):
                sub.add_file("day%d-%d.jpg" % (day, k), rng.randint(20000, 400000))
        for i in range(1, 136):
            photos.add_file("IMG_%04d.JPG" % i, rng.randint(30000, 500000))

        archive = root.add_folder("Archive & Old", api_fails=True)
        nested = archive.add_folder(u"Ünterordner")
        nested.add_file("old-notes.txt", 5000)
        archive.add_file("backup-2015.tar", 777777)
        archive.add_file(u"老照片.zip", PREFIX_BYTES)

        root.add_file("disk-image.iso", 8 << 30)
        root.add_file("empty.txt", 0)
        root.add_file("exactly-128k.bin", PREFIX_BYTES)
        root.add_file(u"naïve 🌱 notes.md", 777)
        root.add_file("server.log", 300000, chunked=True)
        return d


DEFAULT_SIZES = [0, 1, 1000, PREFIX_BYTES - 1, PREFIX_BYTES, PREFIX_BYTES + 1,
                 1000000, 64 << 30]


# Module-level helpers.
def prefix_sha1(f):
    """Upper-case hex SHA-1 of the first min(size, 131072) bytes ("" if empty)."""
    return f.prefix_sha1


def full_sha1(f):
    """The SHA-1 the listing shows: real up to 64 MiB, stable fake above."""
    return f.sha


def expected_line(f):
    """name|size|sha|prefix, the line the client should write for `f`."""
    return f.expected_line


def load(name, seed=0):
    """Drive from a command-line name: sample | flat:N | tree:FOLDERS:FILES[:FANOUT]
    | sizes[:N,N,...] | path.json"""
    if name == "sample":
        return Drive.sample()
    if name.endswith(".json"):
        return Drive.from_json(name)
    kind, _, rest = name.partition(":")
    if kind == "flat" and rest:
        return Drive.flat(int(rest), seed=seed)
    if kind == "tree" and rest:
        nums = [int(p) for p in rest.split(":")]
        if len(nums) == 2:
            return Drive.tree(nums[0], nums[1], seed=seed)
        if len(nums) == 3:
            return Drive.tree(nums[0], nums[1], fanout=nums[2], seed=seed)
    if kind == "sizes":
        sizes = [int(p) for p in rest.split(",") if p.strip()] if rest else None
        return Drive.sizes(sizes, seed=seed)
    raise ValueError("unknown drive %r" % name)
