"""A release as the publisher makes it, the way docs/publishing.md has it:
ndnpack (under Wine) makes the torrent and the packed, signed description; nginx, opentracker
and rtorrent run with the configuration of tools/publish, changed only in addresses, ports,
folders and users. The demo and the scenario tests of publishing use it.

- make_torrent(), pack(): ndnpack --make-torrent, ndnpack [--sign ... --version --expires]
- Origin: nginx with the kit's server block (Mirel.ndn and the installer, the web seed)
- Tracker: opentracker with the kit's configuration file and whitelist
- RTorrentSeed: rtorrent with the kit's rtorrent.rc
- sign_by_hand(): a release trailer from the documented layout, signed by openssl, for what
  ndnpack will not make (an expiry that has passed)
- taken_releases(), forget_releases(): the keyed launcher's record in the prefix's registry
"""
import re
import struct
import subprocess
import tempfile
import time
import urllib.parse
import urllib.request
from pathlib import Path

from harness import BUILD, ROOT, wait_for
from harness.launcher import pack as pack_plain

import seeder as S
import swarm as W

KIT = ROOT / "tools" / "publish"
NDNPACK = BUILD / "ndnpack.exe"
# The test publisher keys (tests/CMakeLists.txt): "test" is MirelLauncherSigned's key, "test"
# and "next" are MirelLauncherRollover's.
SIGNED_LAUNCHER = BUILD / "tests" / "MirelLauncherSigned.exe"
ROLLOVER_LAUNCHER = BUILD / "tests" / "MirelLauncherRollover.exe"
TEST_SECRET = BUILD / "tests" / "publisher-test.key"
NEXT_SECRET = BUILD / "tests" / "publisher-next.key"
RECORD_KEY = r"HKCU\Software\Mirel Online\Launcher\Releases"


def public_key(secret):
    """The public key (hex) beside a test key's secret file."""
    return Path(secret).with_suffix(".pub").read_text().strip()


def kit_config(name, changes):
    """tools/publish/`name` with each directive of `changes` (directive -> the whole new line)
    replaced where the file has it; a directive the file no longer has is an error, so that the
    demo and the tests never drift from the kit."""
    out, seen = [], set()
    for line in (KIT / name).read_text().splitlines():
        stripped = line.strip()
        for directive, replacement in changes.items():
            if not stripped.startswith("#") and re.match(rf"{re.escape(directive)}(\s|=|;|$)", stripped):
                line = line[:len(line) - len(line.lstrip())] + replacement
                seen.add(directive)
        out.append(line)
    missing = set(changes) - seen
    if missing:
        raise AssertionError(f"tools/publish/{name} no longer has {sorted(missing)}")
    return "\n".join(out) + "\n"


# ---------------------------------------------------------------------------------------------
# ndnpack

def make_torrent(wine, installer, out, web_seeds=(), trackers=(), piece_kib=None, hybrid=False, check=True,
                 timeout=600):
    """ndnpack --make-torrent; the finished process (stdout, stderr as bytes)."""
    args = ["--make-torrent"]
    for url in web_seeds:
        args += ["--web-seed", url]
    for url in trackers:
        args += ["--tracker", url]
    if piece_kib:
        args += ["--piece-kib", str(piece_kib)]
    if hybrid:
        args.append("--hybrid")
    return wine.run(NDNPACK, *args, installer, out, timeout=timeout, check=check)


def printed_info_hash(result, v2=False):
    """The info-hash ndnpack --make-torrent printed (hex)."""
    pattern = r"^info-hash v2 ([0-9a-f]{64})\r?$" if v2 else r"^info-hash ([0-9a-f]{40})\r?$"
    m = re.search(pattern, result.stdout.decode(), re.M)
    assert m, result.stdout
    return m.group(1)


def pack(wine, torrent, out, secret=None, version=None, expires=None, check=True):
    """ndnpack [--sign SECRET [--version N] [--expires DATE]] TORRENT OUT."""
    args = []
    if secret:
        args += ["--sign", secret]
    if version is not None:
        args += ["--version", str(version)]
    if expires:
        args += ["--expires", expires]
    return wine.run(NDNPACK, *args, torrent, out, check=check)


def sign_by_hand(plain, secret, version, expiry_day):
    """The packed description `plain` with a release trailer as docs/publishing.md lays it out:
    "MirelRel", the version (64-bit) and the expiry day (32-bit, days since 1970-01-01),
    little-endian, then the Ed25519 signature of those 20 bytes and the description, made by
    openssl."""
    seed = bytes.fromhex(Path(secret).read_text().strip())
    fields = b"MirelRel" + struct.pack("<QI", version, expiry_day)
    with tempfile.TemporaryDirectory() as tmp:
        key, message, sig = Path(tmp) / "key.der", Path(tmp) / "message", Path(tmp) / "sig"
        # PKCS#8 of an Ed25519 seed: a fixed prefix, then the 32 bytes.
        key.write_bytes(bytes.fromhex("302e020100300506032b657004220420") + seed)
        message.write_bytes(fields + plain)
        subprocess.run(["openssl", "pkeyutl", "-sign", "-inkey", key, "-keyform", "DER", "-rawin", "-in", message,
                        "-out", sig], check=True, stdin=subprocess.DEVNULL, capture_output=True)
        signature = sig.read_bytes()
    assert len(signature) == 64
    return pack_plain(plain) + fields + signature


# ---------------------------------------------------------------------------------------------
# The keyed launcher's record

def taken_releases(wine):
    """{public key (hex): version} as the keyed launcher recorded them for the prefix's user
    (Wine's reg.exe shows no 64-bit values; regedit exports them)."""
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "record.reg"
        wine.run("regedit", "/E", wine.win_path(out), RECORD_KEY.replace("HKCU", "HKEY_CURRENT_USER", 1))
        if not out.exists():
            return {}
        raw = out.read_bytes()
    text = raw.decode("utf-16") if raw[:2] in (b"\xff\xfe", b"\xfe\xff") else raw.decode(errors="replace")
    text = re.sub(r"\\\r?\n\s*", "", text)  # a long line goes on after a backslash
    return {m.group(1): int.from_bytes(bytes.fromhex(m.group(2).replace(",", "")), "little")
            for m in re.finditer(r'^"([0-9a-f]{64})"=hex\(b\):([0-9a-f,]{23})\r?$', text, re.M)}


def forget_releases(wine):
    wine.run("reg", "delete", RECORD_KEY, "/f")


# ---------------------------------------------------------------------------------------------
# The servers

class Origin(S.WebSeed):
    """nginx with the kit's server block (tools/publish/nginx-mirel.conf) on 127.0.0.1, serving
    `root`: Mirel.ndn and the installer."""

    def server_block(self):
        return kit_config("nginx-mirel.conf", {
            "listen": f"listen {S.LOOPBACK}:{self.port};",
            "root": f"root {self.root};",
            "access_log": f"access_log {self.workdir}/access.log;",
        })

    def requests(self, path):
        """The answers (status codes) to requests of `path`, in order."""
        codes = []
        for line in self.access_log().splitlines():
            m = W.LOG_LINE.match(line)
            if m and urllib.parse.unquote(m.group(3)) == path:
                codes.append(int(m.group(4)))
        return codes


class Tracker(W.OpenTracker):
    """opentracker with the kit's configuration (tools/publish/opentracker.conf) on
    `host`:`port`, tracking the info-hashes given to start()."""

    def start(self, info_hashes):
        w = self.workdir
        w.mkdir(parents=True, exist_ok=True)
        w.chmod(0o755)
        whitelist = w / "whitelist.txt"
        whitelist.write_text("".join(h + "\n" for h in info_hashes))
        whitelist.chmod(0o644)
        conf = w.parent / f"{w.name}.conf"
        conf.write_text(kit_config("opentracker.conf", {
            "listen.tcp_udp": f"listen.tcp_udp {self.host}:{self.port}",
            "tracker.rootdir": f"tracker.rootdir {w}",
            "tracker.user": "tracker.user nobody",
        }))
        self.proc = subprocess.Popen(["opentracker", "-f", str(conf)], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=open(w.parent / f"{w.name}.log", "ab"))
        if not S.wait_port(self.host, self.port) or not wait_for(lambda: all(map(self._takes, info_hashes)), 20):
            self.stop()
            raise RuntimeError("opentracker did not start")
        return self

    def seeds(self, info_hash):
        """Seeds it knows of for an info-hash (hex), from its scrape."""
        query = W.info_hash_query(info_hash)
        try:
            with urllib.request.urlopen(f"http://{self.host}:{self.port}/scrape?{query}", timeout=2) as r:
                m = re.search(rb"8:completei(\d+)e", r.read())
        except OSError:
            return 0
        return int(m.group(1)) if m else 0


class RTorrentSeed(S._ChildProcess):
    """rtorrent with the kit's rtorrent.rc seeding `torrent` from `folder` on `host`:`port`;
    `upload_kib` (KiB/s, 0: none) is the demo's own addition, so that the bar can be watched."""
    stop_signal = 2  # SIGINT: it announces "stopped" and ends

    def __init__(self, torrent, folder, workdir, host="127.0.0.2", port=0, upload_kib=0):
        self.torrent = Path(torrent)
        self.folder = Path(folder)
        self.workdir = Path(workdir)
        self.host = host
        self.port = port or S.free_port(host)
        self.upload_kib = upload_kib

    def start(self):
        session = self.workdir / "session"
        session.mkdir(parents=True, exist_ok=True)
        conf = kit_config("rtorrent.rc", {
            "directory.default.set": f"directory.default.set = {self.folder}",
            "session.path.set": f"session.path.set = {session}",
            "network.bind_address.set": f"network.bind_address.set = {self.host}",
            "network.port_range.set": f"network.port_range.set = {self.port}-{self.port}",
            "load.start_verbose": f"load.start_verbose = {self.torrent}",
        })
        if self.upload_kib:
            conf += f"throttle.global_up.max_rate.set_kb = {self.upload_kib}\n"
        (self.workdir / "rtorrent.rc").write_text(conf)
        self.log = self.workdir / "rtorrent.log"
        self.proc = subprocess.Popen(["rtorrent", "-n", "-o", f"import={self.workdir / 'rtorrent.rc'}"],
                                     stdin=subprocess.DEVNULL, stdout=open(self.log, "ab"), stderr=subprocess.STDOUT,
                                     cwd=self.workdir, env={"HOME": str(self.workdir), "PATH": "/usr/bin:/bin"})
        if not S.wait_port(self.host, self.port, 20):
            self.stop()
            raise RuntimeError("rtorrent did not start: " + self.log.read_text(errors="replace"))
        return self

    def wait_seeding(self, tracker, info_hash, timeout=60):
        """Until the tracker counts it as a seed (it has checked its file and announced)."""
        return wait_for(lambda: self.proc.poll() is None and tracker.seeds(info_hash) > 0, timeout, interval=0.2)
